/*++

Module Name:

    simarray.cpp

Abstract:

    The simulated dual-controller array: command decoding, sparse block
    storage, identifiers derived from the array seed, fault switches, unit
    attentions (persistent reservations live in simreservation.cpp).  Every
    command is answered entirely under one lock, so a command is atomic with
    respect to every other.

--*/

#include "simarray.h"
#include "simscsi.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <stdexcept>

namespace array {

using namespace sim;

namespace {

constexpr uint8_t kReadBufferData = 0x02;    // READ BUFFER mode: data
constexpr uint8_t kStatusBufferId = 0x40;
constexpr size_t kControllerRecord = 8;      // controller 0's record; controller 1's follows
constexpr size_t kControllerRecordLength = 220;
constexpr size_t kRecordTimeOfDay = 101;     // hours, minutes, seconds
constexpr uint8_t kClockSetMarker = 0xF1;
constexpr int64_t kSecondsPerDay = 86400;

constexpr uint64_t kMaxLun = 16383;          // flat space addressing limit
constexpr uint32_t kMaxBlockSize = 65536;

uint8_t Bit(Fault fault) { return static_cast<uint8_t>(fault); }

// splitmix64's finaliser: spreads the seed so that neighbouring seeds give
// unrelated names.
uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// NAA name head: NAA nibble, 24-bit company id, first 4 bits of the
// vendor-specific identifier, then its remaining 32 bits.
void PutNaaHead(uint8_t *p, uint8_t naa, uint32_t companyId, uint64_t vendorSpecific36)
{
    p[0] = uint8_t(naa << 4 | ((companyId >> 20) & 0x0F));
    p[1] = uint8_t(companyId >> 12);
    p[2] = uint8_t(companyId >> 4);
    p[3] = uint8_t((companyId & 0x0F) << 4 | ((vendorSpecific36 >> 32) & 0x0F));
    PutBe(p + 4, vendorSpecific36 & 0xFFFFFFFFULL, 4);
}

std::string Padded(const std::string &value, size_t width, const char *what)
{
    if (value.size() > width) {
        throw std::invalid_argument(std::string(what) + " longer than " + std::to_string(width));
    }
    return value + std::string(width - value.size(), ' ');
}

ArrayConfig Normalized(ArrayConfig config)
{
    config.Vendor = Padded(config.Vendor, 8, "vendor identification");
    config.Product = Padded(config.Product, 16, "product identification");
    config.Revision = Padded(config.Revision, 4, "product revision");
    if (config.CompanyId > 0xFFFFFF) {
        throw std::invalid_argument("company id wider than 24 bits");
    }
    return config;
}

int64_t WallClock()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

Scope Scope::OnPath(uint32_t initiator, uint32_t targetPort)
{
    Scope scope;
    scope.Where = Level::Path;
    scope.Initiator = initiator;
    scope.TargetPort = targetPort;
    return scope;
}

Scope Scope::OnTargetPort(uint32_t targetPort)
{
    Scope scope;
    scope.Where = Level::TargetPort;
    scope.TargetPort = targetPort;
    return scope;
}

Scope Scope::OnController(uint32_t controller)
{
    Scope scope;
    scope.Where = Level::Controller;
    scope.Controller = controller;
    return scope;
}

uint64_t ArrayStatistics::OnTargetPort(uint32_t targetPort) const
{
    uint64_t total = 0;
    for (uint64_t count : Executed.at(targetPort)) {
        total += count;
    }
    return total;
}

uint64_t ArrayStatistics::WithOpcode(uint8_t opcode) const
{
    uint64_t total = 0;
    for (const auto &port : Executed) {
        total += port[opcode];
    }
    return total;
}

SimulatedArray::SimulatedArray(ArrayConfig config, ClockSource clock)
    : config_(Normalized(std::move(config))), clock_(clock ? std::move(clock) : ClockSource(WallClock))
{
    for (uint32_t port = 0; port < kTargetPortCount; ++port) {
        uint64_t vendorSpecific = ((Mix(config_.Seed + 1) << 4) & 0xFFFFFFFF0ULL) | port;
        PutNaaHead(portNames_[port].data(), 5, config_.CompanyId, vendorSpecific);
    }
    PutNaaHead(deviceName_.data(), 5, config_.CompanyId, Mix(config_.Seed + 4) & 0xFFFFFFFFFULL);
    if (config_.StatusBufferLength > 0xFFFFFF) {
        throw std::invalid_argument("status buffer longer than READ BUFFER can address");
    }
    for (const LogicalUnitConfig &lu : config_.Units) {
        if (lu.Lun > kMaxLun || lu.BlockCount == 0 || lu.BlockSize == 0 || lu.BlockSize > kMaxBlockSize) {
            throw std::invalid_argument("logical unit " + std::to_string(lu.Lun) + " cannot exist");
        }
        LogicalUnit unit;
        unit.Config = lu;
        char serial[16];
        snprintf(serial, sizeof(serial), "%08X%04X", unsigned(Mix(config_.Seed) >> 32), unsigned(lu.Lun));
        unit.Serial = serial;
        // The low 16 bits of every LU name carry the LUN, so LUs never share
        // one.
        if (config_.Identifiers == IdentifierStyle::Short) {
            unit.Naa.assign(8, 0);
            PutNaaHead(unit.Naa.data(), 5, config_.CompanyId,
                       (Mix(config_.Seed + 3) & 0xFFFFF0000ULL) | lu.Lun);
        } else {
            unit.Naa.assign(16, 0);
            PutNaaHead(unit.Naa.data(), 6, config_.CompanyId, Mix(config_.Seed) & 0xFFFFFFFFFULL);
            PutBe(unit.Naa.data() + 8, (Mix(config_.Seed + 2) & ~0xFFFFULL) | lu.Lun, 8);
        }
        // EUI-64: the company id, then 40 bits of the array's choosing.
        PutBe(unit.Eui64.data(), config_.CompanyId, 3);
        PutBe(unit.Eui64.data() + 3, (Mix(config_.Seed + 5) & 0xFFFFFF0000ULL) | lu.Lun, 5);
        if (!units_.emplace(lu.Lun, std::move(unit)).second) {
            throw std::invalid_argument("logical unit " + std::to_string(lu.Lun) + " configured twice");
        }
    }
    if (config_.PowerOnAttention) {
        for (uint32_t controller = 0; controller < kControllerCount; ++controller) {
            RaiseLocked(Scope::OnController(controller), UnitAttention::PowerOnReset);
        }
    }
}

std::array<uint8_t, 8> SimulatedArray::PortName(uint32_t targetPort) const
{
    return portNames_.at(targetPort);
}

std::vector<uint8_t> SimulatedArray::LuIdentifier(uint64_t lun) const
{
    const LogicalUnit *unit = FindUnit(lun);
    if (!unit) {
        throw std::out_of_range("no logical unit " + std::to_string(lun));
    }
    return unit->Naa;
}

std::string SimulatedArray::LuSerial(uint64_t lun) const
{
    const LogicalUnit *unit = FindUnit(lun);
    if (!unit) {
        throw std::out_of_range("no logical unit " + std::to_string(lun));
    }
    return unit->Serial;
}

// The set of units never changes after construction, so lookups need no
// lock; only the blocks inside a unit do.
const SimulatedArray::LogicalUnit *SimulatedArray::FindUnit(uint64_t lun) const
{
    auto it = units_.find(lun);
    return it == units_.end() ? nullptr : &it->second;
}

SimulatedArray::LogicalUnit *SimulatedArray::FindUnit(uint64_t lun)
{
    auto it = units_.find(lun);
    return it == units_.end() ? nullptr : &it->second;
}

const SimulatedArray::LogicalUnit &SimulatedArray::UnitOrThrow(uint64_t lun) const
{
    const LogicalUnit *unit = FindUnit(lun);
    if (!unit) {
        throw std::out_of_range("no logical unit " + std::to_string(lun));
    }
    return *unit;
}

//
// Faults and unit attentions.
//

void SimulatedArray::Validate(const Scope &scope)
{
    if (scope.Where == Scope::Level::Controller ? scope.Controller >= kControllerCount
                                                 : scope.TargetPort >= kTargetPortCount) {
        throw std::out_of_range("scope names a port or controller the array does not have");
    }
}

void SimulatedArray::ChangeFault(const Scope &scope, Fault fault, bool on)
{
    Validate(scope);
    std::lock_guard<std::mutex> lock(mutex_);
    constexpr uint8_t kNexusFaults = uint8_t(Fault::LinkDown) | uint8_t(Fault::NoAnswer);
    bool nexusBack = false;
    auto change = [&](uint8_t &mask) {
        nexusBack = !on && (mask & Bit(fault) & kNexusFaults) != 0;
        mask = on ? uint8_t(mask | Bit(fault)) : uint8_t(mask & ~Bit(fault));
    };
    switch (scope.Where) {
    case Scope::Level::Path: {
        PathKey key(scope.Initiator, scope.TargetPort);
        change(pathFaults_[key]);
        if (pathFaults_[key] == 0) {
            pathFaults_.erase(key);
        }
        break;
    }
    case Scope::Level::TargetPort:
        change(portFaults_[scope.TargetPort]);
        break;
    case Scope::Level::Controller:
        change(controllerFaults_[scope.Controller]);
        break;
    }
    // The target dropped every nexus it could not reach; the first command
    // on each after the return learns of it.
    if (nexusBack) {
        RaiseLocked(scope, UnitAttention::ItNexusLoss);
    }
}

void SimulatedArray::SetFault(const Scope &scope, Fault fault) { ChangeFault(scope, fault, true); }

void SimulatedArray::ClearFault(const Scope &scope, Fault fault) { ChangeFault(scope, fault, false); }

void SimulatedArray::RaiseUnitAttention(const Scope &scope, UnitAttention kind)
{
    Validate(scope);
    std::lock_guard<std::mutex> lock(mutex_);
    RaiseLocked(scope, kind);
}

// A raise stamps the scope with a fresh sequence number; a nexus has the
// condition pending while the stamp is newer than the last one it consumed.
// That reaches initiators the array has never seen without listing them.
void SimulatedArray::RaiseLocked(const Scope &scope, UnitAttention kind)
{
    const size_t k = static_cast<size_t>(kind);
    const uint64_t stamp = ++attentionSequence_;
    switch (scope.Where) {
    case Scope::Level::Path:
        pathAttention_[PathKey(scope.Initiator, scope.TargetPort)][k] = stamp;
        break;
    case Scope::Level::TargetPort:
        portAttention_[scope.TargetPort][k] = stamp;
        break;
    case Scope::Level::Controller:
        for (uint32_t port = 0; port < kPortsPerController; ++port) {
            portAttention_[scope.Controller * kPortsPerController + port][k] = stamp;
        }
        break;
    }
}

// Reports one pending condition per command, in this order.  A power-on
// reset subsumes every other condition, so reporting it clears them all;
// the others are each reported in turn, so that a host learns of every
// reservation change.
bool SimulatedArray::TakeUnitAttention(const Nexus &nexus, Result *result)
{
    struct Condition {
        UnitAttention Kind;
        uint8_t Asc, Ascq;
    };
    static constexpr Condition kConditions[] = {
        {UnitAttention::PowerOnReset, SCSI_ADSENSE_BUS_RESET, SCSI_SENSEQ_POWER_ON_RESET},
        {UnitAttention::ItNexusLoss, SCSI_ADSENSE_BUS_RESET, SCSI_SENSEQ_I_T_NEXUS_LOSS},
        {UnitAttention::ParametersChanged, SCSI_ADSENSE_PARAMETERS_CHANGED, SCSI_SENSEQ_MODE_PARAMETERS_CHANGED},
        {UnitAttention::ReservationsPreempted, SCSI_ADSENSE_PARAMETERS_CHANGED, SCSI_SENSEQ_RESERVATIONS_PREEMPTED},
        {UnitAttention::ReservationsReleased, SCSI_ADSENSE_PARAMETERS_CHANGED, SCSI_SENSEQ_RESERVATIONS_RELEASED},
        {UnitAttention::RegistrationsPreempted, SCSI_ADSENSE_PARAMETERS_CHANGED, SCSI_SENSEQ_REGISTRATIONS_PREEMPTED},
    };
    static_assert(std::size(kConditions) == std::tuple_size<AttentionMarks>::value);

    const LunKey lunKey(nexus.Initiator, nexus.TargetPort, nexus.Lun);
    auto seenIt = attentionSeen_.find(lunKey);
    const AttentionMarks seen = seenIt == attentionSeen_.end() ? AttentionMarks{} : seenIt->second;
    auto pathIt = pathAttention_.find(PathKey(nexus.Initiator, nexus.TargetPort));
    auto lunIt = lunAttention_.find(lunKey);
    for (const Condition &condition : kConditions) {
        const size_t k = static_cast<size_t>(condition.Kind);
        uint64_t stamp = portAttention_[nexus.TargetPort][k];
        if (pathIt != pathAttention_.end()) {
            stamp = std::max(stamp, pathIt->second[k]);
        }
        if (lunIt != lunAttention_.end()) {
            stamp = std::max(stamp, lunIt->second[k]);
        }
        if (stamp > seen[k]) {
            AttentionMarks &marks = attentionSeen_[lunKey];
            if (condition.Kind == UnitAttention::PowerOnReset) {
                marks.fill(attentionSequence_);
            } else {
                marks[k] = attentionSequence_;
            }
            *result = Check(SCSI_SENSE_UNIT_ATTENTION, condition.Asc, condition.Ascq);
            return true;
        }
    }
    return false;
}

void SimulatedArray::FailController(uint32_t controller)
{
    Validate(Scope::OnController(controller));
    std::lock_guard<std::mutex> lock(mutex_);
    controllerFailed_[controller] = true;
}

void SimulatedArray::RestoreController(uint32_t controller, bool powerOnReset)
{
    Validate(Scope::OnController(controller));
    std::lock_guard<std::mutex> lock(mutex_);
    if (controllerFailed_[controller] && powerOnReset) {
        RaiseLocked(Scope::OnController(controller), UnitAttention::PowerOnReset);
    }
    controllerFailed_[controller] = false;
}

void SimulatedArray::ClearFaults()
{
    std::lock_guard<std::mutex> lock(mutex_);
    pathFaults_.clear();
    portFaults_.fill(0);
    controllerFaults_.fill(0);
    controllerFailed_.fill(false);
    pathAttention_.clear();
    portAttention_.fill(AttentionMarks{});
    lunAttention_.clear();
    attentionSeen_.clear();
}

uint8_t SimulatedArray::FaultsOn(const Nexus &nexus) const
{
    const uint32_t controller = ControllerOf(nexus.TargetPort);
    uint8_t faults = portFaults_[nexus.TargetPort] | controllerFaults_[controller];
    if (controllerFailed_[controller]) {
        faults |= Bit(Fault::LinkDown);
    }
    auto it = pathFaults_.find(PathKey(nexus.Initiator, nexus.TargetPort));
    if (it != pathFaults_.end()) {
        faults |= it->second;
    }
    return faults;
}

//
// Clocks and statistics.
//

void SimulatedArray::SetControllerClock(uint32_t controller, int hours, int minutes, int seconds)
{
    Validate(Scope::OnController(controller));
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59 || seconds < 0 || seconds > 59) {
        throw std::invalid_argument("not a time of day");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    clocks_[controller].Set = true;
    clocks_[controller].Offset = (hours * 3600 + minutes * 60 + seconds) - clock_() % kSecondsPerDay;
}

void SimulatedArray::ClearControllerClock(uint32_t controller)
{
    Validate(Scope::OnController(controller));
    std::lock_guard<std::mutex> lock(mutex_);
    clocks_[controller] = ControllerClock{};
}

ArrayStatistics SimulatedArray::Statistics() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return statistics_;
}

void SimulatedArray::ResetStatistics()
{
    std::lock_guard<std::mutex> lock(mutex_);
    statistics_ = ArrayStatistics{};
}

//
// Commands.
//

Result SimulatedArray::Execute(const Nexus &nexus, const Command &command)
{
    Result result;
    if (nexus.TargetPort >= kTargetPortCount) {
        result.Outcome = Transport::LinkDown;   // no such port to connect to
        return result;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const uint8_t faults = FaultsOn(nexus);
    if (faults & Bit(Fault::LinkDown)) {
        result.Outcome = Transport::LinkDown;
        return result;
    }
    if (faults & Bit(Fault::NoAnswer)) {
        result.Outcome = Transport::NoAnswer;
        return result;
    }
    if (faults & Bit(Fault::Busy)) {
        result.Status = SCSISTAT_BUSY;
        return result;
    }
    if (!command.Cdb || command.CdbLength == 0) {
        return InvalidFieldInCdb();
    }
    const uint8_t opcode = command.Cdb[0];
    ++statistics_.Executed[nexus.TargetPort][opcode];

    // A masked LU is, through this path, indistinguishable from one that
    // does not exist.
    const bool masked = (faults & Bit(Fault::LunNotSupported)) != 0;
    LogicalUnit *unit = masked ? nullptr : FindUnit(nexus.Lun);

    // These three answer even where there is no LU, and never fail with a
    // pending unit attention: INQUIRY and REPORT LUNS leave it pending,
    // REQUEST SENSE returns it as its data and so clears it.
    switch (opcode) {
    case SCSIOP_INQUIRY:
        return Inquiry(nexus, unit, command);
    case SCSIOP_REPORT_LUNS:
        return ReportLuns(masked, command);
    case SCSIOP_REQUEST_SENSE:
        return RequestSense(nexus, unit, command);
    default:
        break;
    }
    if (!unit) {
        return Check(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_LUN, 0);
    }
    if (TakeUnitAttention(nexus, &result)) {
        return result;
    }
    if (unit->Holder &&
        !ReservationAllows(opcode, unit->Type, unit->RegistrationOf(nexus) != nullptr, unit->Holds(nexus))) {
        return Conflict();
    }
    switch (opcode) {
    case SCSIOP_TEST_UNIT_READY:
        return command.CdbLength < 6 ? InvalidFieldInCdb() : result;
    case SCSIOP_READ_CAPACITY:
    case SCSIOP_SERVICE_ACTION_IN16:
        return ReadCapacity(*unit, command);
    case SCSIOP_READ:
    case SCSIOP_READ16:
    case SCSIOP_WRITE:
    case SCSIOP_WRITE16:
        return ReadWrite(*unit, command);
    case SCSIOP_READ_DATA_BUFF:
        return ReadBuffer(nexus, command);
    case SCSIOP_PERSISTENT_RESERVE_IN:
        return PersistentReserveIn(*unit, command);
    case SCSIOP_PERSISTENT_RESERVE_OUT:
        return PersistentReserveOut(nexus, *unit, command);
    default:
        return Check(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_COMMAND, 0);
    }
}

Result SimulatedArray::Inquiry(const Nexus &nexus, const LogicalUnit *unit, const Command &command)
{
    const uint8_t *cdb = command.Cdb;
    if (command.CdbLength < 6) {
        return InvalidFieldInCdb();
    }
    const bool evpd = cdb[1] & 0x01;
    const bool cmddt = cdb[1] & 0x02;   // obsolete; an SPC-3 server rejects it
    const uint8_t pageCode = cdb[2];
    const size_t allocation = Be16(cdb + 3);
    if (cmddt || (!evpd && pageCode != 0)) {
        return InvalidFieldInCdb();
    }

    if (!evpd) {
        uint8_t data[36] = {};
        // Qualifier 3, type 1Fh: the target has no LU at this address.
        data[0] = unit ? 0x00 : 0x7F;
        data[2] = 0x05;                 // SPC-3
        data[3] = 0x12;                 // HISUP, response data format 2
        data[4] = sizeof(data) - 5;
        data[6] = 0x10;                 // MULTIP: reachable through several ports
        data[7] = 0x02;                 // CMDQUE
        memcpy(data + 8, config_.Vendor.data(), 8);
        memcpy(data + 16, config_.Product.data(), 16);
        memcpy(data + 32, config_.Revision.data(), 4);
        return Answer(command, data, sizeof(data), allocation);
    }
    if (!unit) {
        return Check(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_LUN, 0);
    }

    std::vector<uint8_t> page = {0x00, pageCode, 0x00, 0x00};
    auto append = [&page](const void *bytes, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            page.push_back(static_cast<const uint8_t *>(bytes)[i]);
        }
    };
    switch (pageCode) {
    case 0x00: {  // supported VPD pages
        const uint8_t supported[] = {0x00, 0x80, 0x83};
        append(supported, sizeof(supported));
        break;
    }
    case 0x80:  // unit serial number
        append(unit->Serial.data(), unit->Serial.size());
        break;
    case 0x83:  // device identification
        DeviceIdentification(nexus, *unit, &page);
        break;
    default:
        return InvalidFieldInCdb();
    }
    PutBe(&page[2], page.size() - 4, 2);
    return Answer(command, page.data(), page.size(), allocation);
}

namespace {

constexpr uint8_t kBinary = 1, kAscii = 2, kUtf8 = 3;
constexpr uint8_t kLogicalUnit = 0, kTargetPort = 1, kTargetDevice = 2;
constexpr uint8_t kT10VendorId = 1, kEui64 = 2, kNaa = 3, kRelativeTargetPort = 4, kTargetPortGroup = 5,
                  kScsiName = 8;

std::string Hex(const uint8_t *bytes, size_t length)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

} // namespace

// The designators of VPD page 83h in the configured style.  Protocol
// identifier 0 (Fibre Channel) throughout; it is valid (PIV) only where a
// designator names a port or the target device.
void SimulatedArray::DeviceIdentification(const Nexus &nexus, const LogicalUnit &unit,
                                          std::vector<uint8_t> *page) const
{
    auto designator = [page](uint8_t codeSet, uint8_t association, uint8_t type, const void *id, size_t length) {
        const uint8_t head[4] = {codeSet, uint8_t((association ? 0x80 : 0x00) | association << 4 | type), 0x00,
                                 uint8_t(length)};
        page->insert(page->end(), head, head + sizeof(head));
        page->insert(page->end(), static_cast<const uint8_t *>(id), static_cast<const uint8_t *>(id) + length);
    };
    // A SCSI name string keeps its terminating NUL; this array does not pad
    // it to a multiple of 4, as some firmware does not.
    auto name = [&](uint8_t association, const std::string &text) {
        designator(kUtf8, association, kScsiName, text.c_str(), text.size() + 1);
    };
    const uint8_t *portName = portNames_[nexus.TargetPort].data();
    // Relative port identifiers start at 1, and so do the port groups: one
    // per controller.
    const uint8_t relative[4] = {0, 0, 0, uint8_t(nexus.TargetPort + 1)};
    const uint8_t group[4] = {0, 0, 0, uint8_t(ControllerOf(nexus.TargetPort) + 1)};

    switch (config_.Identifiers) {
    case IdentifierStyle::Standard: {
        designator(kBinary, kTargetPort, kNaa, portName, 8);
        const std::string vendorId = config_.Vendor + config_.Product + unit.Serial;
        designator(kAscii, kLogicalUnit, kT10VendorId, vendorId.data(), vendorId.size());
        designator(kBinary, kLogicalUnit, kNaa, unit.Naa.data(), unit.Naa.size());
        designator(kBinary, kTargetPort, kRelativeTargetPort, relative, sizeof(relative));
        break;
    }
    case IdentifierStyle::Short:
        designator(kBinary, kLogicalUnit, kEui64, unit.Eui64.data(), unit.Eui64.size());
        designator(kBinary, kLogicalUnit, kNaa, unit.Naa.data(), unit.Naa.size());
        designator(kBinary, kTargetDevice, kNaa, deviceName_.data(), deviceName_.size());
        designator(kBinary, kTargetPort, kTargetPortGroup, group, sizeof(group));
        designator(kBinary, kTargetPort, kRelativeTargetPort, relative, sizeof(relative));
        designator(kBinary, kTargetPort, kNaa, portName, 8);
        break;
    case IdentifierStyle::Names: {
        char portSuffix[16];
        snprintf(portSuffix, sizeof(portSuffix), ",t,0x%04X", unsigned(nexus.TargetPort + 1));
        name(kLogicalUnit, "naa." + Hex(unit.Naa.data(), unit.Naa.size()));
        name(kTargetDevice, "naa." + Hex(deviceName_.data(), deviceName_.size()));
        name(kTargetPort, "naa." + Hex(deviceName_.data(), deviceName_.size()) + portSuffix);
        designator(kBinary, kLogicalUnit, kNaa, unit.Naa.data(), unit.Naa.size());
        designator(kBinary, kTargetDevice, kNaa, deviceName_.data(), deviceName_.size());
        designator(kBinary, kTargetPort, kTargetPortGroup, group, sizeof(group));
        designator(kBinary, kTargetPort, kRelativeTargetPort, relative, sizeof(relative));
        break;
    }
    }
}

const char *IdentifierStyleName(IdentifierStyle style)
{
    switch (style) {
    case IdentifierStyle::Standard:
        return "standard";
    case IdentifierStyle::Short:
        return "short";
    case IdentifierStyle::Names:
        return "names";
    }
    return "?";
}

bool ParseIdentifierStyle(const std::string &name, IdentifierStyle *style)
{
    for (IdentifierStyle candidate : {IdentifierStyle::Standard, IdentifierStyle::Short, IdentifierStyle::Names}) {
        if (name == IdentifierStyleName(candidate)) {
            *style = candidate;
            return true;
        }
    }
    return false;
}

Result SimulatedArray::ReportLuns(bool masked, const Command &command)
{
    const uint8_t *cdb = command.Cdb;
    if (command.CdbLength < 12) {
        return InvalidFieldInCdb();
    }
    const uint8_t select = cdb[2];
    const size_t allocation = Be32(cdb + 6);
    if (select > 0x02 || allocation < 16) {
        return InvalidFieldInCdb();
    }
    std::vector<uint8_t> data(8, 0);
    // Select 1 asks for well-known LUs only, and the array has none.
    if (!masked && select != 0x01) {
        for (const auto &entry : units_) {
            const uint64_t lun = entry.first;
            uint8_t address[8] = {};
            if (lun < 256) {
                address[1] = uint8_t(lun);                          // peripheral device addressing
            } else {
                address[0] = uint8_t(0x40 | (lun >> 8));            // flat space addressing
                address[1] = uint8_t(lun);
            }
            data.insert(data.end(), address, address + 8);
        }
    }
    PutBe(data.data(), data.size() - 8, 4);
    return Answer(command, data.data(), data.size(), allocation);
}

Result SimulatedArray::RequestSense(const Nexus &nexus, const LogicalUnit *unit, const Command &command)
{
    const uint8_t *cdb = command.Cdb;
    if (command.CdbLength < 6 || (cdb[1] & 0x01)) {   // descriptor format is not supported
        return InvalidFieldInCdb();
    }
    Result sense;
    if (!unit) {
        SetFixedSense(&sense, SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_LUN, 0);
    } else if (!TakeUnitAttention(nexus, &sense)) {
        // Sense always travels with the failing command, so nothing is left over.
        SetFixedSense(&sense, SCSI_SENSE_NO_SENSE, SCSI_ADSENSE_NO_SENSE, 0);
    }
    return Answer(command, sense.Sense, sense.SenseLength, cdb[4]);
}

Result SimulatedArray::ReadCapacity(const LogicalUnit &unit, const Command &command)
{
    const uint8_t *cdb = command.Cdb;
    const uint64_t lastLba = unit.Config.BlockCount - 1;
    if (cdb[0] == SCSIOP_READ_CAPACITY) {
        if (command.CdbLength < 10 || (!(cdb[8] & 0x01) && Be32(cdb + 2) != 0)) {  // LBA needs PMI
            return InvalidFieldInCdb();
        }
        uint8_t data[8];
        // 0xFFFFFFFF tells the host to ask again with READ CAPACITY(16).
        PutBe(data, std::min<uint64_t>(lastLba, 0xFFFFFFFFULL), 4);
        PutBe(data + 4, unit.Config.BlockSize, 4);
        return Answer(command, data, sizeof(data), sizeof(data));
    }
    if (command.CdbLength < 16 || (cdb[1] & 0x1F) != SERVICE_ACTION_READ_CAPACITY16) {
        return InvalidFieldInCdb();
    }
    uint8_t data[32] = {};
    PutBe(data, lastLba, 8);
    PutBe(data + 8, unit.Config.BlockSize, 4);
    return Answer(command, data, sizeof(data), Be32(cdb + 10));
}

Result SimulatedArray::ReadWrite(LogicalUnit &unit, const Command &command)
{
    const uint8_t *cdb = command.Cdb;
    const bool sixteen = cdb[0] == SCSIOP_READ16 || cdb[0] == SCSIOP_WRITE16;
    const bool write = cdb[0] == SCSIOP_WRITE || cdb[0] == SCSIOP_WRITE16;
    if (command.CdbLength < (sixteen ? 16u : 10u)) {
        return InvalidFieldInCdb();
    }
    const uint64_t lba = sixteen ? Be64(cdb + 2) : Be32(cdb + 2);
    const uint64_t blocks = sixteen ? Be32(cdb + 10) : Be16(cdb + 7);
    const uint64_t capacity = unit.Config.BlockCount;
    if (lba > capacity || blocks > capacity - lba) {
        return Check(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_BLOCK, 0);
    }
    const size_t blockSize = unit.Config.BlockSize;
    const uint64_t bytes = blocks * blockSize;      // at most 2^32 * 2^16
    // A buffer smaller than the transfer is refused before anything moves.
    if (write ? (!command.DataOut || command.DataOutLength < bytes)
              : (!command.DataIn || command.DataInLength < bytes)) {
        return blocks ? InvalidFieldInCdb() : Result{};
    }

    Result result;
    for (uint64_t i = 0; i < blocks; ++i) {
        const size_t at = size_t(i * blockSize);
        if (write) {
            const uint8_t *from = command.DataOut + at;
            // All-zero blocks read back the same unstored, which keeps the
            // store sparse.
            if (std::all_of(from, from + blockSize, [](uint8_t b) { return b == 0; })) {
                unit.Blocks.erase(lba + i);
            } else {
                unit.Blocks[lba + i].assign(from, from + blockSize);
            }
        } else {
            auto it = unit.Blocks.find(lba + i);
            if (it == unit.Blocks.end()) {
                memset(command.DataIn + at, 0, blockSize);
            } else {
                memcpy(command.DataIn + at, it->second.data(), blockSize);
            }
        }
    }
    result.DataInTransferred = write ? 0 : size_t(bytes);
    return result;
}

Result SimulatedArray::ReadBuffer(const Nexus &nexus, const Command &command)
{
    const uint8_t *cdb = command.Cdb;
    if (command.CdbLength < 10) {
        return InvalidFieldInCdb();
    }
    const uint8_t mode = cdb[1] & 0x1F;
    const size_t offset = Be24(cdb + 3);
    const size_t length = config_.StatusBufferLength;
    if (mode != kReadBufferData || cdb[2] != kStatusBufferId || offset > length) {
        return InvalidFieldInCdb();
    }

    // Laid out in full, then cut to what this firmware holds.
    std::vector<uint8_t> status(std::max(length, kStatusBufferLength), 0);
    status[4] = uint8_t(PortOf(nexus.TargetPort) + 1);
    status[5] = uint8_t(ControllerOf(nexus.TargetPort) + 1);
    const int64_t now = clock_();
    for (uint32_t controller = 0; controller < kControllerCount; ++controller) {
        const ControllerClock &clock = clocks_[controller];
        if (!clock.Set) {
            continue;   // an unset clock reports no marker and 00:00:00
        }
        status[6 + controller] = kClockSetMarker;
        const int64_t timeOfDay = ((now + clock.Offset) % kSecondsPerDay + kSecondsPerDay) % kSecondsPerDay;
        uint8_t *time = status.data() + kControllerRecord + controller * kControllerRecordLength + kRecordTimeOfDay;
        time[0] = uint8_t(timeOfDay / 3600);
        time[1] = uint8_t(timeOfDay / 60 % 60);
        time[2] = uint8_t(timeOfDay % 60);
    }
    return Answer(command, status.data() + offset, length - offset, Be24(cdb + 6));
}

} // namespace array
