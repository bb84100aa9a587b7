/*++

Module Name:

    simreservation.cpp

Abstract:

    The simulated array's persistent reservations: PERSISTENT RESERVE IN
    and OUT, registrations and the holder per I_T nexus, which commands a
    reservation lets through, and the unit attentions its changes raise on
    other registrants.  Runs under the array's lock like every command.

--*/

#include "simarray.h"
#include "simscsi.h"

#include <algorithm>

namespace array {

using namespace sim;

namespace {

// PERSISTENT RESERVE IN service actions.
constexpr uint8_t kReadKeys = 0x00;
constexpr uint8_t kReadReservation = 0x01;
constexpr uint8_t kReportCapabilities = 0x02;
// PERSISTENT RESERVE OUT service actions.
constexpr uint8_t kRegister = 0x00;
constexpr uint8_t kReserve = 0x01;
constexpr uint8_t kRelease = 0x02;
constexpr uint8_t kClear = 0x03;
constexpr uint8_t kPreempt = 0x04;
constexpr uint8_t kPreemptAndAbort = 0x05;
constexpr uint8_t kRegisterAndIgnoreExistingKey = 0x06;
constexpr uint32_t kProutParameterLength = 24;   // without SPEC_I_PT there is nothing more
constexpr uint8_t kSpecIPt = 0x08;               // parameter list byte 20
constexpr uint8_t kAllTgPt = 0x04;

bool Supported(uint8_t type)
{
    switch (static_cast<ReservationType>(type)) {
    case ReservationType::WriteExclusive:
    case ReservationType::ExclusiveAccess:
    case ReservationType::WriteExclusiveRegistrantsOnly:
    case ReservationType::ExclusiveAccessRegistrantsOnly:
        return true;
    }
    return false;
}

bool RegistrantsOnly(ReservationType type)
{
    return type == ReservationType::WriteExclusiveRegistrantsOnly ||
           type == ReservationType::ExclusiveAccessRegistrantsOnly;
}

} // namespace

bool ReservationAllows(uint8_t opcode, ReservationType type, bool registered, bool holder)
{
    switch (opcode) {
    case SCSIOP_TEST_UNIT_READY:
    case SCSIOP_REQUEST_SENSE:
    case SCSIOP_INQUIRY:
    case SCSIOP_READ_CAPACITY:
    case SCSIOP_SERVICE_ACTION_IN16:
    case SCSIOP_READ_DATA_BUFF:
    case SCSIOP_PERSISTENT_RESERVE_IN:
    case SCSIOP_PERSISTENT_RESERVE_OUT:
    case SCSIOP_REPORT_LUNS:
        return true;
    default:
        break;
    }
    if (holder) {
        return true;
    }
    const bool read = opcode == SCSIOP_READ || opcode == SCSIOP_READ16;
    switch (type) {
    case ReservationType::WriteExclusive:
        return read;
    case ReservationType::ExclusiveAccess:
        return false;
    case ReservationType::WriteExclusiveRegistrantsOnly:
        return read || registered;
    case ReservationType::ExclusiveAccessRegistrantsOnly:
        return registered;
    }
    return false;
}

//
// Persistent reservation state.
//

Registration *SimulatedArray::LogicalUnit::RegistrationOf(const Nexus &nexus)
{
    for (Registration &registration : Registrations) {
        if (registration.Initiator == nexus.Initiator && registration.TargetPort == nexus.TargetPort) {
            return &registration;
        }
    }
    return nullptr;
}

bool SimulatedArray::LogicalUnit::Holds(const Nexus &nexus) const
{
    return Holder && *Holder == PathKey(nexus.Initiator, nexus.TargetPort);
}

uint64_t SimulatedArray::LogicalUnit::HolderKey() const
{
    for (const Registration &registration : Registrations) {
        if (Holder && *Holder == PathKey(registration.Initiator, registration.TargetPort)) {
            return registration.Key;
        }
    }
    return 0;
}

std::vector<Registration> SimulatedArray::Registrations(uint64_t lun) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return UnitOrThrow(lun).Registrations;
}

std::optional<Reservation> SimulatedArray::ReservationOf(uint64_t lun) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const LogicalUnit &unit = UnitOrThrow(lun);
    if (!unit.Holder) {
        return std::nullopt;
    }
    Reservation reservation;
    reservation.Initiator = unit.Holder->first;
    reservation.TargetPort = unit.Holder->second;
    reservation.Key = unit.HolderKey();
    reservation.Type = unit.Type;
    return reservation;
}

uint32_t SimulatedArray::PrGeneration(uint64_t lun) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return UnitOrThrow(lun).Generation;
}

// Pending on this logical unit only, for every registered I_T nexus but one.
void SimulatedArray::RaiseOnRegistrants(const LogicalUnit &unit, const Nexus &except, UnitAttention kind)
{
    const uint64_t stamp = ++attentionSequence_;
    for (const Registration &registration : unit.Registrations) {
        if (registration.Initiator != except.Initiator || registration.TargetPort != except.TargetPort) {
            lunAttention_[LunKey(registration.Initiator, registration.TargetPort, unit.Config.Lun)]
                         [static_cast<size_t>(kind)] = stamp;
        }
    }
}

// Every type the array supports has a single holder, so a holder that
// leaves takes the reservation with it.
void SimulatedArray::Unregister(LogicalUnit &unit, const Nexus &nexus)
{
    if (unit.Holds(nexus)) {
        unit.Holder.reset();
        if (RegistrantsOnly(unit.Type)) {
            RaiseOnRegistrants(unit, nexus, UnitAttention::ReservationsReleased);
        }
    }
    auto &registrations = unit.Registrations;
    registrations.erase(std::remove_if(registrations.begin(), registrations.end(),
                                       [&](const Registration &r) {
                                           return r.Initiator == nexus.Initiator &&
                                                  r.TargetPort == nexus.TargetPort;
                                       }),
                        registrations.end());
}

Result SimulatedArray::PersistentReserveIn(const LogicalUnit &unit, const Command &command)
{
    const uint8_t *cdb = command.Cdb;
    if (command.CdbLength < 10) {
        return InvalidFieldInCdb();
    }
    std::vector<uint8_t> data(8, 0);
    switch (cdb[1] & 0x1F) {
    case kReadKeys:
        PutBe(data.data(), unit.Generation, 4);
        for (const Registration &registration : unit.Registrations) {
            data.resize(data.size() + 8);
            PutBe(&data[data.size() - 8], registration.Key, 8);
        }
        PutBe(&data[4], data.size() - 8, 4);
        break;
    case kReadReservation:
        PutBe(data.data(), unit.Generation, 4);
        if (unit.Holder) {
            data.resize(24, 0);
            PutBe(&data[4], 16, 4);
            PutBe(&data[8], unit.HolderKey(), 8);
            data[21] = static_cast<uint8_t>(unit.Type);     // scope 0: logical unit
        }
        break;
    case kReportCapabilities:
        data[1] = 8;
        // PTPL_C, PTPL_A: the state outlives every reset the array has.
        data[2] = 0x01;
        data[3] = 0x81;         // TMV: the type mask is valid
        data[4] = 0x6A;         // EX_AC_RO, WR_EX_RO, EX_AC, WR_EX
        break;
    default:
        return InvalidFieldInCdb();
    }
    return Answer(command, data.data(), data.size(), Be16(cdb + 7));
}

// PREEMPT, and PREEMPT AND ABORT (there are no tasks to abort), by a
// nexus whose registration was checked: removes the registrations of
// serviceKey but the nexus's own, and takes the reservation when one of
// them held it.
Result SimulatedArray::Preempt(const Nexus &nexus, LogicalUnit &unit, uint8_t scopeType, uint64_t serviceKey)
{
    // No registration has key 0, and every supported type has one holder.
    if (serviceKey == 0 && unit.Holder) {
        return InvalidFieldInParameterList();
    }
    auto &registrations = unit.Registrations;
    if (std::none_of(registrations.begin(), registrations.end(),
                     [&](const Registration &r) { return r.Key == serviceKey; })) {
        return Conflict();
    }
    bool preemptsHolder = false;
    const uint64_t stamp = ++attentionSequence_;
    for (auto it = registrations.begin(); it != registrations.end();) {
        const Nexus other{it->Initiator, it->TargetPort, unit.Config.Lun};
        if (it->Key != serviceKey) {
            ++it;
            continue;
        }
        preemptsHolder = preemptsHolder || unit.Holds(other);
        // The preempting nexus keeps its own registration.
        if (other.Initiator == nexus.Initiator && other.TargetPort == nexus.TargetPort) {
            ++it;
            continue;
        }
        lunAttention_[LunKey(other.Initiator, other.TargetPort, other.Lun)]
                     [static_cast<size_t>(UnitAttention::RegistrationsPreempted)] = stamp;
        it = registrations.erase(it);
    }
    if (preemptsHolder) {
        const ReservationType type = static_cast<ReservationType>(scopeType);
        if (type != unit.Type) {
            RaiseOnRegistrants(unit, nexus, UnitAttention::ReservationsReleased);
        }
        unit.Holder = PathKey(nexus.Initiator, nexus.TargetPort);
        unit.Type = type;
    }
    ++unit.Generation;
    return Result{};
}

// Checks come in the order a host can act on: the CDB, the parameter list,
// then the nexus's right to act.  Nothing changes unless the command
// succeeds.
Result SimulatedArray::PersistentReserveOut(const Nexus &nexus, LogicalUnit &unit, const Command &command)
{
    const uint8_t *cdb = command.Cdb;
    if (command.CdbLength < 10) {
        return InvalidFieldInCdb();
    }
    const uint8_t action = cdb[1] & 0x1F;
    const uint8_t scopeType = cdb[2];
    if (action > kRegisterAndIgnoreExistingKey) {     // REGISTER AND MOVE is not supported
        return InvalidFieldInCdb();
    }
    if ((action == kReserve || action == kPreempt || action == kPreemptAndAbort) &&
        ((scopeType & 0xF0) != 0 || !Supported(scopeType & 0x0F))) {
        return InvalidFieldInCdb();
    }
    if (Be32(cdb + 5) != kProutParameterLength) {
        return Check(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_PARAMETER_LIST_LENGTH, 0);
    }
    if (!command.DataOut || command.DataOutLength < kProutParameterLength) {
        return InvalidFieldInCdb();
    }
    const uint8_t *parameters = command.DataOut;
    const uint64_t key = Be64(parameters);
    const uint64_t serviceKey = Be64(parameters + 8);
    // APTPL (bit 0) is accepted: nothing the array simulates loses the state.
    if (parameters[20] & (kSpecIPt | kAllTgPt)) {
        return InvalidFieldInParameterList();
    }

    Registration *own = unit.RegistrationOf(nexus);
    if (action == kRegister || action == kRegisterAndIgnoreExistingKey) {
        if (action == kRegister && key != (own ? own->Key : 0)) {
            return Conflict();
        }
        if (serviceKey == 0) {
            if (own) {
                Unregister(unit, nexus);
            }
        } else if (own) {
            own->Key = serviceKey;
        } else {
            unit.Registrations.push_back({nexus.Initiator, nexus.TargetPort, serviceKey});
        }
        ++unit.Generation;
        return Result{};
    }
    if (!own || own->Key != key) {
        return Conflict();
    }

    switch (action) {
    case kReserve:
        if (!unit.Holder) {
            unit.Holder = PathKey(nexus.Initiator, nexus.TargetPort);
            unit.Type = static_cast<ReservationType>(scopeType);
            return Result{};
        }
        return unit.Holds(nexus) && scopeType == static_cast<uint8_t>(unit.Type) ? Result{} : Conflict();

    case kRelease:
        if (!unit.Holds(nexus)) {
            return Result{};
        }
        if (scopeType != static_cast<uint8_t>(unit.Type)) {
            return Check(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_FIELD_PARAMETER_LIST,
                         SCSI_SENSEQ_INVALID_RELEASE_OF_PERSISTENT_RESERVATION);
        }
        unit.Holder.reset();
        if (RegistrantsOnly(unit.Type)) {
            RaiseOnRegistrants(unit, nexus, UnitAttention::ReservationsReleased);
        }
        return Result{};

    case kClear:
        RaiseOnRegistrants(unit, nexus, UnitAttention::ReservationsPreempted);
        unit.Registrations.clear();
        unit.Holder.reset();
        ++unit.Generation;
        return Result{};

    default:
        return Preempt(nexus, unit, scopeType, serviceKey);
    }
}

} // namespace array
