/*++

Module Name:

    tgtdstorage.cpp

Abstract:

    A live tgtd as the runner's storage: one portal per target port the
    paths use, one target with a logical unit per LUN, reached over iSCSI
    sessions (one per nexus), each path through a cable of its own that
    can be pulled or hung.  Its answers take real time, and it has no
    switches for the array's other faults, nor controllers to fail.

--*/

#ifdef TARN_WITH_ISCSI

#include "storage.h"

#include "cable.h"
#include "iscsitarget.h"
#include "mpiohost.h"
#include "tgtd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace scenario {
namespace {

const char *const kTargetName = "iqn.2026-12.test.tarn:array";
constexpr int kTid = 1;
// A product the shipped registry configuration lists as supported.
const char *const kVendor = "KESTROM";
const char *const kProduct = "TARN 4000 ISCSI";

class TgtdStorage : public Storage {
public:
    explicit TgtdStorage(const Scenario &scenario) : scenario_(scenario) {}
    ~TgtdStorage() override;

    std::string Refusal(const Fault &fault) const override;
    bool Start(mpio::Topology *topology, std::string *error, bool *badInput) override;
    array::ScsiTarget &Target() override { return *iscsi_; }
    std::string Description() const override;
    bool NeedsRealTime() const override { return true; }
    std::string TargetPortText(uint32_t targetPort) const override;
    std::string Apply(const Fault &fault, const ResolvedPlace &where, bool isReturn) override;
    std::string FaultState() const override;
    void Abandon() override;

private:
    // The cable of one path: the nexus it carries and its address as the
    // host sees it.
    struct PathCable {
        uint32_t Initiator = 0;
        uint32_t TargetPort = 0;
        std::string Label;
        std::unique_ptr<iscsi::Cable> Line;
    };

    static bool Covers(const array::Scope &scope, const PathCable &cable);
    void RemoveDirectory();

    const Scenario &scenario_;
    std::string directory_;
    std::unique_ptr<iscsi::Tgtd> tgtd_;
    std::vector<uint32_t> targetPorts_;         // one portal each, in this order
    std::vector<PathCable> cables_;             // in the topology's order
    std::unique_ptr<iscsi::IscsiTarget> iscsi_;
    std::string version_;
};

TgtdStorage::~TgtdStorage()
{
    // Every cable plugged again, so the sessions log out in order rather
    // than waiting out a hung link; then the cables, the daemon and its
    // directory go.
    for (PathCable &cable : cables_) {
        cable.Line->Set(iscsi::CableState::Plugged);
    }
    iscsi_.reset();
    cables_.clear();
    tgtd_.reset();
    RemoveDirectory();
}

void TgtdStorage::RemoveDirectory()
{
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
        directory_.clear();
    }
}

void TgtdStorage::Abandon()
{
    if (tgtd_ != nullptr) {
        tgtd_->Stop();
    }
    RemoveDirectory();
}

std::string TgtdStorage::Refusal(const Fault &fault) const
{
    if (fault.Where == FaultWhere::Controller) {
        return "a fault on a controller needs the simulated array (tgtd's portals belong to no controller)";
    }
    switch (fault.Action) {
    case FaultAction::LinkDown:
    case FaultAction::NoAnswer:
    case FaultAction::StrayWrite:
        return "";
    default:
        return std::string("the action ") + FaultActionName(fault.Action) +
               " needs the simulated array (tgtd has no such switch)";
    }
}

bool TgtdStorage::Start(mpio::Topology *topology, std::string *error, bool *badInput)
{
    *badInput = false;
    TopologyOf(scenario_, topology);
    for (const mpio::PathSpec &path : topology->Paths) {
        if (std::find(targetPorts_.begin(), targetPorts_.end(), path.TargetPort) == targetPorts_.end()) {
            targetPorts_.push_back(path.TargetPort);
        }
    }
    std::sort(targetPorts_.begin(), targetPorts_.end());

    // Short, so the daemon's socket paths inside it fit.
    char pattern[] = "/tmp/tarn-scenario-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        *error = std::string("cannot make a directory for tgtd under /tmp: ") + strerror(errno);
        return false;
    }
    directory_ = pattern;
    std::string reason;
    tgtd_ = iscsi::Tgtd::Start(directory_, targetPorts_.size(), &reason);
    if (tgtd_ == nullptr) {
        *error = "tgtd did not start: " + reason + "; --target tgtd needs root and the tgt package (install tgt)";
        return false;
    }
    version_ = iscsi::Tgtd::Version();

    std::vector<iscsi::TgtdLogicalUnit> units;
    for (uint32_t lun : scenario_.Luns) {
        char serial[16];
        snprintf(serial, sizeof(serial), "TGTD%08u", lun);
        units.push_back(iscsi::TgtdLogicalUnit{lun + 1, scenario_.LunBlocks, kVendor, kProduct, serial});
    }
    // The run's own initiators only: this host's, and the one the stray
    // writer uses as another host.  Each must prove a secret made for
    // this run alone.
    iscsi::IscsiOptions options;
    const iscsi::TgtdAccess access = iscsi::Tgtd::NewAccess(
        {options.InitiatorPrefix + std::to_string(topology->HostId),
         options.InitiatorPrefix + std::to_string(kStrayInitiator >> 8)});
    if (!tgtd_->AddTarget(kTid, kTargetName, units, access, &reason)) {
        *error = "tgtd refused the target: " + reason;
        return false;
    }

    options.ChapUser = access.User;
    options.ChapSecret = access.Secret;
    options.TargetName = kTargetName;
    options.CommandTimeoutMs = scenario_.TgtdCommandTimeoutMs;
    options.LoginTimeoutMs = scenario_.TgtdCommandTimeoutMs;
    options.LunOffset = 1;
    iscsi_ = std::make_unique<iscsi::IscsiTarget>(options);
    const std::vector<std::string> &portals = tgtd_->Portals();
    for (size_t i = 0; i < targetPorts_.size() && i < portals.size(); i++) {
        // A nexus of no path (another host's) goes straight to the portal.
        iscsi_->Route(targetPorts_[i], portals[i]);
    }
    for (const mpio::PathSpec &path : topology->Paths) {
        size_t index = std::find(targetPorts_.begin(), targetPorts_.end(), path.TargetPort) - targetPorts_.begin();
        PathCable cable;
        // As MPIO numbers the host's initiator ports.
        cable.Initiator = topology->HostId * 256 + path.PortNumber;
        cable.TargetPort = path.TargetPort;
        cable.Label = std::to_string(path.PortNumber) + ":" + std::to_string(path.PathId) + ":" +
                      std::to_string(path.TargetId);
        cable.Line = std::make_unique<iscsi::Cable>(portals.at(index));
        if (!cable.Line->Start(&reason)) {
            *error = "cannot lay the cable of path " + cable.Label + ": " + reason;
            return false;
        }
        iscsi_->Route(cable.Initiator, cable.TargetPort, cable.Line->Address());
        cables_.push_back(std::move(cable));
    }
    return true;
}

std::string TgtdStorage::Description() const
{
    return "tgtd" + (version_.empty() ? "" : " " + version_) + " over iSCSI, " +
           std::to_string(targetPorts_.size()) + " portal" + (targetPorts_.size() == 1 ? "" : "s") +
           ", a cable per path";
}

std::string TgtdStorage::TargetPortText(uint32_t targetPort) const
{
    for (size_t i = 0; i < targetPorts_.size(); i++) {
        if (targetPorts_[i] == targetPort && tgtd_ != nullptr && i < tgtd_->Portals().size()) {
            return "target port " + std::to_string(targetPort) + " (portal " + tgtd_->Portals()[i] + ")";
        }
    }
    return "target port " + std::to_string(targetPort) + " (no portal)";
}

bool TgtdStorage::Covers(const array::Scope &scope, const PathCable &cable)
{
    switch (scope.Where) {
    case array::Scope::Level::Path:
        return scope.Initiator == cable.Initiator && scope.TargetPort == cable.TargetPort;
    case array::Scope::Level::TargetPort:
        return scope.TargetPort == cable.TargetPort;
    case array::Scope::Level::Controller:
        return false;   // refused before the run
    }
    return false;
}

std::string TgtdStorage::Apply(const Fault &fault, const ResolvedPlace &where, bool isReturn)
{
    if (fault.Action == FaultAction::StrayWrite) {
        bool done = !targetPorts_.empty() && StrayWrite(*iscsi_, targetPorts_.front(), fault.Lun, fault.Block);
        return "stray write on LUN " + std::to_string(fault.Lun) + ": block " + std::to_string(fault.Block + 1) +
               " copied over block " + std::to_string(fault.Block) + (done ? "" : " (tgtd refused it)");
    }
    bool pulled = fault.Action == FaultAction::LinkDown;
    iscsi::CableState state =
        isReturn ? iscsi::CableState::Plugged : (pulled ? iscsi::CableState::Pulled : iscsi::CableState::Hung);
    for (PathCable &cable : cables_) {
        for (const array::Scope &scope : where.Scopes) {
            if (Covers(scope, cable)) {
                cable.Line->Set(state);
                break;
            }
        }
    }
    const char *what = pulled ? (isReturn ? "link up (cable plugged in)" : "link down (cable pulled)")
                              : (isReturn ? "hung link answers (cable plugged in)" : "link hung (cable hung)");
    return std::string(what) + " on " + where.Place;
}

std::string TgtdStorage::FaultState() const
{
    std::string text = "cables";
    for (const PathCable &cable : cables_) {
        text += (&cable == &cables_.front() ? " " : ", ") + cable.Label + " " + iscsi::CableStateName(cable.Line->State());
    }
    return text;
}

} // namespace

std::unique_ptr<Storage> MakeTgtdStorage(const Scenario &scenario)
{
    return std::make_unique<TgtdStorage>(scenario);
}

} // namespace scenario

#endif
