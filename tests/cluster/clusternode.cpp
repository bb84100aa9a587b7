/*++

Module Name:

    clusternode.cpp

Abstract:

    One cluster node: a machine of its own with the driver started under
    MPIO, its own registry (and so its own reservation key), reaching a
    shared array served by arrayd over its socket.  The driver keeps
    driver-wide state as a kernel driver does, so each node is a process.

        tarn_clusternode SOCKET HOSTID KEY [off] [verify=MS]
        tarn_clusternode iscsi:IQN@PORTAL,PORTAL HOSTID KEY [off] [verify=MS]

    (over iSCSI, TARN_ISCSI_CHAP=USER:SECRET in the environment gives the
    target's CHAP account)

    The first form reaches an array served by arrayd on SOCKET, through
    four paths; the second a real target over iSCSI (tgtd keeps LUN 0 for
    itself, so the node's LUNs 0 and 1 are the target's 1 and 2), through
    two paths, one to each portal, each over a cable of its own.  HOSTID
    (1-255) names this node's initiator ports on the array; KEY is its
    reservation key in 16 hex digits; "off" switches persistent
    reservations off; verify=MS sets how often MPIO verifies failed paths.  Once the driver has started and MPIO has found the
    array's disks the node prints "ready disks=N paths=M", then carries
    out one command per line of standard input and answers each with one
    line:

        reserve D | release D | reset D   the cluster's requests through MPIO
        write D LBA WORD                  one block filled with WORD
        read D LBA                        one block; answers data=WORD
        keys D | holder D                 PERSISTENT RESERVE IN through MPIO
        lose reserve | lose clear | lose none
                                          this node's link loses every RESERVE
                                          or CLEAR it sends from now on
                                          (answers "lost=...")
        events                            events logged since the last ask
        cable P plugged|hung|pulled       the cable of path P (iSCSI only;
                                          answers "cable=P STATE")
        paths                             MPIO's state of each path, in order
                                          ("paths=Live,Failed,...")
        quit

    An I/O answer reads "category=C status=0x... srb=0x.. scsi=0x..
    sense=K/ASC/ASCQ"; a line that is not a command answers "error ...".

--*/

#include "mpiohost.h"
#include "remotetarget.h"
#ifdef TARN_WITH_ISCSI
#include "cable.h"
#include "iscsitarget.h"
#endif
#include "tarn.h"
#include "tarnresources.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char *kServiceName = "tarndsm";
constexpr const char *kParametersKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndsm\\Parameters";

// The topology every node sees: its ports 2 and 3 each reach one port of
// each controller, four paths to every LUN.
const mpio::PathSpec kPaths[] = {{2, 0, 0, 0}, {2, 0, 1, 2}, {3, 0, 0, 1}, {3, 0, 1, 3}};
// Over iSCSI: host port 2 to the first portal, 3 to the second.
const mpio::PathSpec kIscsiPaths[] = {{2, 0, 0, 0}, {3, 0, 1, 1}};
constexpr UCHAR kLuns = 2;

// The storage the node reaches, and the cables of its paths when it has any.
struct Storage {
    std::unique_ptr<array::ScsiTarget> Target;
#ifdef TARN_WITH_ISCSI
    std::vector<std::unique_ptr<iscsi::Cable>> Cables;
#endif
    std::vector<mpio::PathSpec> Paths;
};

// "iscsi:IQN@PORTAL,PORTAL": a session per path through a cable to each
// portal; anything else is arrayd's socket.
bool OpenStorage(const std::string &where, uint32_t hostId, Storage *storage, std::string *error)
{
    const std::string scheme = "iscsi:";
    if (where.compare(0, scheme.size(), scheme) != 0) {
        storage->Target = std::make_unique<array::RemoteTarget>(where);
        storage->Paths.assign(std::begin(kPaths), std::end(kPaths));
        return true;
    }
#ifdef TARN_WITH_ISCSI
    size_t at = where.find('@');
    size_t comma = where.find(',', at);
    if (at == std::string::npos || comma == std::string::npos) {
        *error = "expected iscsi:IQN@PORTAL,PORTAL";
        return false;
    }
    iscsi::IscsiOptions options;
    options.TargetName = where.substr(scheme.size(), at - scheme.size());
    options.CommandTimeoutMs = 2000;
    options.LoginTimeoutMs = 2000;
    // The target's CHAP account, from the environment: an argument would
    // show the secret to every user of the machine.
    if (const char *chap = getenv("TARN_ISCSI_CHAP")) {
        std::string account = chap;
        size_t colon = account.find(':');
        options.ChapUser = account.substr(0, colon);
        options.ChapSecret = colon == std::string::npos ? "" : account.substr(colon + 1);
    }
    auto target = std::make_unique<iscsi::IscsiTarget>(options);
    const std::string portals[] = {where.substr(at + 1, comma - at - 1), where.substr(comma + 1)};
    storage->Paths.assign(std::begin(kIscsiPaths), std::end(kIscsiPaths));
    for (size_t i = 0; i < storage->Paths.size(); i++) {
        auto cable = std::make_unique<iscsi::Cable>(portals[i]);
        if (!cable->Start(error)) {
            return false;
        }
        const mpio::PathSpec &path = storage->Paths[i];
        target->Route(hostId * 256 + path.PortNumber, path.TargetPort, cable->Address());
        storage->Cables.push_back(std::move(cable));
    }
    storage->Target = std::move(target);
    return true;
#else
    (void)hostId;
    *error = "this build has no iSCSI (libiscsi was not found)";
    return false;
#endif
}

// This node's link to the array, which can be told to lose one kind of
// PERSISTENT RESERVE OUT on the way: delivered, never answered.  The
// other nodes' links are untouched.
class LossyLink : public array::ScsiTarget {
public:
    explicit LossyLink(array::ScsiTarget *inner) : inner_(inner) {}

    // 0 loses nothing; otherwise the service action lost.
    void Lose(uint8_t serviceAction) { lost_ = serviceAction; }

    array::Result Execute(const array::Nexus &nexus, const array::Command &command) override
    {
        uint8_t lost = lost_;
        if (lost != 0 && command.CdbLength >= 2 && command.Cdb[0] == SCSIOP_PERSISTENT_RESERVE_OUT &&
            (command.Cdb[1] & 0x1F) == lost) {
            array::Result result;
            result.Outcome = array::Transport::Timeout;
            return result;
        }
        return inner_->Execute(nexus, command);
    }

    void WatchLinks(LinkLostHandler handler) override { inner_->WatchLinks(std::move(handler)); }

private:
    array::ScsiTarget *inner_;
    std::atomic<uint8_t> lost_{0};
};

std::string Hex(uint64_t value, int digits)
{
    char text[24];
    snprintf(text, sizeof(text), "0x%0*llX", digits, (unsigned long long)value);
    return text;
}

std::string Describe(const mpio::IoResult &result)
{
    std::ostringstream line;
    line << "category=" << result.Category << " status=" << Hex((uint32_t)result.Status, 8)
         << " srb=" << Hex(result.SrbStatus, 2) << " scsi=" << Hex(result.ScsiStatus, 2);
    if (result.ScsiStatus == SCSISTAT_CHECK_CONDITION) {
        char sense[16];
        snprintf(sense, sizeof(sense), "%X/%02X/%02X", result.Sense[2] & 0x0F, result.Sense[12], result.Sense[13]);
        line << " sense=" << sense;
    }
    return line.str();
}

bool ParseNumber(const std::string &text, uint64_t max, uint64_t *value)
{
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *value = std::stoull(text);
    return *value <= max;
}

bool ParseKey(const char *text, std::vector<uint8_t> *key)
{
    if (strlen(text) != 16 || strspn(text, "0123456789abcdefABCDEF") != 16) {
        return false;
    }
    for (int i = 0; i < 8; i++) {
        key->push_back((uint8_t)std::stoul(std::string(text + 2 * i, 2), nullptr, 16));
    }
    return true;
}

std::string KeyText(const uint8_t *bytes)
{
    std::string text;
    for (int i = 0; i < 8; i++) {
        text += Hex(bytes[i], 2).substr(2);
    }
    return text;
}

uint32_t Be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// PERSISTENT RESERVE IN through MPIO: a request like any other, sent down
// the drive's current path.
std::string PersistentReserveIn(mpio::Host &host, size_t disk, uint8_t action)
{
    uint8_t data[256] = {};
    mpio::IoResult result =
        host.Scsi(disk,
                  {SCSIOP_PERSISTENT_RESERVE_IN, action, 0, 0, 0, 0, 0, (uint8_t)(sizeof(data) >> 8),
                   (uint8_t)sizeof(data), 0},
                  data,
                  sizeof(data), true);
    if (result.Status != STATUS_SUCCESS) {
        return Describe(result);
    }
    std::ostringstream line;
    line << Describe(result) << " generation=" << Be32(data);
    uint32_t length = std::min<uint32_t>(Be32(data + 4), sizeof(data) - 8);
    if (action == 0) {
        line << " keys=";
        for (uint32_t at = 0; at + 8 <= length; at += 8) {
            line << (at == 0 ? "" : ",") << KeyText(data + 8 + at);
        }
        if (length < 8) {
            line << "none";
        }
    } else if (length >= 16) {
        line << " holder=" << KeyText(data + 8) << " type=" << (data[21] & 0x0F);
    } else {
        line << " holder=none";
    }
    return line.str();
}

std::string Carry(mpio::Host &host, LossyLink &link, Storage &storage, const std::vector<std::string> &words,
                  size_t *eventsSeen)
{
    const std::string &verb = words[0];
    if (verb == "paths") {
        std::string line = "paths=";
        for (size_t i = 0; i < host.Devices().size(); i++) {
            line += (i == 0 ? "" : ",") + std::string(mpio::PathStateName(host.StateOf(i)));
        }
        return line;
    }
#ifdef TARN_WITH_ISCSI
    if (verb == "cable") {
        static const iscsi::CableState states[] = {iscsi::CableState::Plugged, iscsi::CableState::Hung,
                                                   iscsi::CableState::Pulled};
        uint64_t path = 0;
        if (words.size() == 3 && ParseNumber(words[1], storage.Cables.size() - 1, &path) && !storage.Cables.empty()) {
            for (iscsi::CableState state : states) {
                if (words[2] == iscsi::CableStateName(state)) {
                    storage.Cables[path]->Set(state);
                    return "cable=" + words[1] + " " + words[2];
                }
            }
        }
        return "error: cable P plugged, hung or pulled";
    }
#else
    (void)storage;
#endif
    if (verb == "lose") {
        static const struct {
            const char *Name;
            uint8_t ServiceAction;
        } kinds[] = {{"none", 0}, {"reserve", 0x01}, {"clear", 0x03}};
        for (const auto &kind : kinds) {
            if (words.size() == 2 && words[1] == kind.Name) {
                link.Lose(kind.ServiceAction);
                return std::string("lost=") + kind.Name;
            }
        }
        return "error: lose reserve, clear or none";
    }
    if (verb == "events") {
        std::vector<host::EventRecord> events = host::EventLog();
        std::string line = "events=" + std::to_string(events.size() - *eventsSeen);
        for (size_t i = *eventsSeen; i < events.size(); i++) {
            line += (i == *eventsSeen ? " " : " | ") + host::EventDescription(events[i]);
        }
        *eventsSeen = events.size();
        // One answer is one line.
        for (char &c : line) {
            c = (c == '\r' || c == '\n') ? ' ' : c;
        }
        return line;
    }

    static const char *const verbs[] = {"reserve", "release", "reset", "keys", "holder", "write", "read"};
    if (std::find(std::begin(verbs), std::end(verbs), verb) == std::end(verbs)) {
        return "error: unknown command \"" + verb + "\"";
    }
    uint64_t disk = 0, lba = 0;
    if (words.size() < 2 || !ParseNumber(words[1], host.Disks().size() - 1, &disk) || host.Disks().empty()) {
        return "error: no such disk";
    }
    if (verb == "reserve" && words.size() == 2) {
        return Describe(host.Scsi(disk, {SCSIOP_RESERVE_UNIT, 0, 0, 0, 0, 0}, nullptr, 0, false));
    }
    if (verb == "release" && words.size() == 2) {
        return Describe(host.Scsi(disk, {SCSIOP_RELEASE_UNIT, 0, 0, 0, 0, 0}, nullptr, 0, false));
    }
    if (verb == "reset" && words.size() == 2) {
        return Describe(host.DeviceControl(disk, IOCTL_STORAGE_RESET_BUS));
    }
    if (verb == "keys" && words.size() == 2) {
        return PersistentReserveIn(host, disk, 0);
    }
    if (verb == "holder" && words.size() == 2) {
        return PersistentReserveIn(host, disk, 1);
    }
    if ((verb == "write" && words.size() == 4) || (verb == "read" && words.size() == 3)) {
        if (!ParseNumber(words[2], 0xFFFFFFFF, &lba)) {
            return "error: bad block address";
        }
        uint8_t block[512] = {};
        if (verb == "write") {
            strncpy(reinterpret_cast<char *>(block), words[3].c_str(), sizeof(block) - 1);
            return Describe(host.Write(disk, lba, 1, block));
        }
        mpio::IoResult result = host.Read(disk, lba, 1, block);
        block[sizeof(block) - 1] = 0;
        return Describe(result) + (result.Status == STATUS_SUCCESS
                                       ? " data=" + std::string(reinterpret_cast<char *>(block))
                                       : std::string());
    }
    return "error: wrong arguments for " + verb;
}

} // namespace

int main(int argc, char **argv)
{
    uint64_t hostId = 0;
    std::vector<uint8_t> key;
    bool reservations = true;
    mpio::HostOptions options;
    bool usage = argc < 4 || !ParseNumber(argv[2], 255, &hostId) || hostId == 0 || !ParseKey(argv[3], &key);
    for (int i = 4; i < argc && !usage; i++) {
        uint64_t period = 0;
        if (strcmp(argv[i], "off") == 0) {
            reservations = false;
        } else if (strncmp(argv[i], "verify=", 7) == 0 && ParseNumber(argv[i] + 7, 3600000, &period) && period > 0) {
            options.PathVerifyEnabled = true;
            options.PathVerificationPeriodMs = (ULONG)period;
        } else {
            usage = true;
        }
    }
    if (usage) {
        fprintf(stderr, "usage: %s SOCKET|iscsi:IQN@PORTAL,PORTAL HOSTID(1-255) KEY(16 hex digits) [off] "
                        "[verify=MS]\n", argv[0]);
        return 2;
    }

    host::ResetMachine();
    TarnRegisterMessages(u"tarndsm");
    TarnRegisterTraceFormats();
    host::RegistrySetMultiString(kParametersKey, "SupportedDeviceList",
                                 {"KESTROM TARN 4000 FC    ", "KESTROM TARN 4000 ISCSI "});
    host::RegistrySetDword(kParametersKey, "UsePersistentReservations", reservations ? 1 : 0);
    host::RegistrySetValue(kParametersKey, "PRKey", REG_BINARY, key);

    Storage storage;
    std::string error;
    if (!OpenStorage(argv[1], (uint32_t)hostId, &storage, &error)) {
        fprintf(stderr, "tarn_clusternode: %s\n", error.c_str());
        return 2;
    }
    LossyLink link(storage.Target.get());
    int exitCode = 0;
    {
        mpio::Host mpioHost(options);
        NTSTATUS status = mpioHost.LoadDriver(DriverEntry, kServiceName);
        if (!NT_SUCCESS(status) || !mpioHost.Registered()) {
            fprintf(stderr, "tarn_clusternode: the driver did not start (%s)\n", DsmStatusName(status));
            return 1;
        }
        mpio::Topology topology;
        topology.HostId = (uint32_t)hostId;
        topology.Paths = storage.Paths;
        for (UCHAR lun = 0; lun < kLuns; lun++) {
            topology.Luns.push_back(lun);
        }
        // Discovery brings every path into use through the driver's own
        // binding and verification.
        mpioHost.Discover(&link, topology);
        // From now on time passes as it does for a running system: MPIO's
        // retries and path verification, and the driver's timer, run on it.
        host::SetRealTime(true);

        size_t eventsSeen = host::EventLog().size();
        std::cout << "ready disks=" << mpioHost.Disks().size() << " paths=" << mpioHost.Devices().size()
                  << std::endl;
        std::string line;
        while (std::getline(std::cin, line)) {
            std::istringstream split(line);
            std::vector<std::string> words;
            for (std::string word; split >> word;) {
                words.push_back(word);
            }
            if (words.empty()) {
                continue;
            }
            if (words[0] == "quit") {
                break;
            }
            std::cout << Carry(mpioHost, link, storage, words, &eventsSeen) << std::endl;
        }
        host::SetRealTime(false);
        if (!NT_SUCCESS(mpioHost.Unload())) {
            exitCode = 1;
        }
    }
    host::Reboot();
    return exitCode;
}
