/*++

Module Name:

    simarray.h

Abstract:

    A simulated dual-controller disk array: two controllers with two target
    ports each, logical units backed by sparse in-memory blocks, and fault
    switches a test flips at run time (a dead link, a port that never
    answers, BUSY, a LUN masked on one path, unit attentions, a failed
    controller).  It answers SCSI and knows nothing of the host above it.

--*/

#pragma once

#include "scsitarget.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace array {

constexpr uint32_t kControllerCount = 2;
constexpr uint32_t kPortsPerController = 2;
constexpr uint32_t kTargetPortCount = kControllerCount * kPortsPerController;

// Size of the array status buffer READ BUFFER returns for buffer ID 0x40.
constexpr size_t kStatusBufferLength = 448;

struct LogicalUnitConfig {
    uint64_t Lun = 0;           // 0..16383 (single level, peripheral or flat addressing)
    uint64_t BlockCount = 0;
    uint32_t BlockSize = kBlockSize;
};

// How the device identification page (VPD 83h) names things; arrays of
// different makes and firmware differ.  In every style the logical unit's
// binary NAA name is the first NAA designator not naming a port.
enum class IdentifierStyle {
    // Target port NAA, T10 vendor id, LU NAA 6 (16 bytes), relative port.
    Standard,
    // LU EUI-64, LU NAA 5 (8 bytes), target device NAA (association 2),
    // target port group, relative port, target port NAA.
    Short,
    // SCSI name strings first (UTF-8, NUL-terminated, not padded to 4
    // bytes) for the LU, the target device and the target port; then the
    // LU NAA 6, the target device NAA, target port group and relative port.
    Names,
};

// The name a scenario uses for a style ("standard", "short", "names"), and
// back; false for a name that is none of them.
const char *IdentifierStyleName(IdentifierStyle style);
bool ParseIdentifierStyle(const std::string &name, IdentifierStyle *style);

struct ArrayConfig {
    std::string Vendor = "KESTROM ";            // padded with blanks to 8
    std::string Product = "TARN 4000 FC    ";   // padded with blanks to 16
    std::string Revision = "0730";              // padded with blanks to 4
    uint32_t CompanyId = 0x3A5D09;              // 24-bit IEEE company id in the NAA names
    uint64_t Seed = 0x1D2C0730;                 // every serial and name derives from it
    std::vector<LogicalUnitConfig> Units;
    // A powered-on array has POWER ON RESET pending on every I_T_L nexus,
    // as a real one has; false starts without it, for tests of unrelated
    // commands that talk straight to the array.
    bool PowerOnAttention = true;
    IdentifierStyle Identifiers = IdentifierStyle::Standard;
    // Bytes READ BUFFER holds in the status buffer (buffer 40h); firmware
    // with a shorter buffer answers every request with at most this much.
    size_t StatusBufferLength = kStatusBufferLength;
};

// Returns seconds; its value modulo one day is the time of day.
using ClockSource = std::function<int64_t()>;

enum class Fault : uint8_t {
    LinkDown = 1,           // nothing delivered, nothing executed
    NoAnswer = 2,           // delivered, never answered, nothing executed
    Busy = 4,               // status BUSY, nothing executed
    // Every LU is masked through the scope and answers as an absent one:
    // LOGICAL UNIT NOT SUPPORTED, standard INQUIRY with qualifier 3 / type
    // 1Fh, an empty REPORT LUNS list.
    LunNotSupported = 8,
};

enum class UnitAttention {
    PowerOnReset,           // POWER ON, RESET, OR BUS DEVICE RESET OCCURRED
    // Raised by the array itself where a dead link or a port that stopped
    // answering comes back: the I_T nexuses through it were lost.
    ItNexusLoss,            // I_T NEXUS LOSS OCCURRED (29h/07h)
    ParametersChanged,      // MODE PARAMETERS CHANGED
    // Raised by the array itself on the I_T_L nexuses a persistent
    // reservation change concerns.
    ReservationsPreempted,  // RESERVATIONS PREEMPTED (2Ah/03h)
    ReservationsReleased,   // RESERVATIONS RELEASED (2Ah/04h)
    RegistrationsPreempted, // REGISTRATIONS PREEMPTED (2Ah/05h)
};

// Persistent reservation types the array supports; the value is the TYPE
// code of PERSISTENT RESERVE OUT.  Scope is always the logical unit.
enum class ReservationType : uint8_t {
    WriteExclusive = 1,
    ExclusiveAccess = 3,
    WriteExclusiveRegistrantsOnly = 5,
    ExclusiveAccessRegistrantsOnly = 6,
};

// One I_T nexus registered with a logical unit.
struct Registration {
    uint32_t Initiator = 0;
    uint32_t TargetPort = 0;
    uint64_t Key = 0;
};

// The persistent reservation of a logical unit: the I_T nexus holding it,
// with that nexus's registered key.
struct Reservation {
    uint32_t Initiator = 0;
    uint32_t TargetPort = 0;
    uint64_t Key = 0;
    ReservationType Type = ReservationType::WriteExclusive;
};

// Whether a command with this operation code may run on an I_T nexus while
// the logical unit has a persistent reservation of this type.  Persistent
// reservation commands always pass: each service action applies its own
// rules.  Operation codes it does not know are treated as writes.
bool ReservationAllows(uint8_t opcode, ReservationType type, bool registered, bool holder);

// Where a fault or unit attention applies: one path (initiator + target
// port), one target port (every initiator), or one controller (both ports).
struct Scope {
    enum class Level { Path, TargetPort, Controller };
    Level Where = Level::TargetPort;
    uint32_t Initiator = 0;
    uint32_t TargetPort = 0;
    uint32_t Controller = 0;

    static Scope OnPath(uint32_t initiator, uint32_t targetPort);
    static Scope OnTargetPort(uint32_t targetPort);
    static Scope OnController(uint32_t controller);
};

// Commands that reached the device server (not refused by a link down,
// timeout or BUSY), whatever their status.
struct ArrayStatistics {
    std::array<std::array<uint64_t, 256>, kTargetPortCount> Executed{};  // [target port][opcode]

    uint64_t OnTargetPort(uint32_t targetPort) const;
    uint64_t WithOpcode(uint8_t opcode) const;
};

class SimulatedArray : public ScsiTarget {
public:
    // Throws std::invalid_argument for a configuration a real array could
    // not have (duplicate or unaddressable LUN, empty LU, oversized strings).
    // The clock is read with the array's lock held; it must not call back.
    explicit SimulatedArray(ArrayConfig config, ClockSource clock = {});

    Result Execute(const Nexus &nexus, const Command &command) override;

    // Identity, fixed at construction.
    static uint32_t ControllerOf(uint32_t targetPort) { return targetPort / kPortsPerController; }
    static uint32_t PortOf(uint32_t targetPort) { return targetPort % kPortsPerController; }
    std::array<uint8_t, 8> PortName(uint32_t targetPort) const;       // NAA 5
    // The LU's binary NAA name (16 bytes, or 8 in the short style), the one
    // a host keys the LU by; throws for an unknown LUN.
    std::vector<uint8_t> LuIdentifier(uint64_t lun) const;
    std::string LuSerial(uint64_t lun) const;                         // throws for an unknown LUN

    // Fault switches.  Scopes naming a port or controller that does not
    // exist throw std::out_of_range.  Clearing a LinkDown or NoAnswer that
    // was set raises I_T NEXUS LOSS OCCURRED on the scope.
    void SetFault(const Scope &scope, Fault fault);
    void ClearFault(const Scope &scope, Fault fault);
    // Pending on every I_T_L nexus in the scope, including initiators that
    // have not yet sent anything there.
    void RaiseUnitAttention(const Scope &scope, UnitAttention kind);
    // A failed controller's ports are link down until it is restored.  A
    // returning controller has been reset, so by default every nexus
    // through it gets POWER ON RESET.
    void FailController(uint32_t controller);
    void RestoreController(uint32_t controller, bool powerOnReset = true);
    // Drops every fault, pending unit attention and controller failure.
    // Data, clocks and statistics stay.
    void ClearFaults();

    // Controller time of day, reported in the status buffer.
    void SetControllerClock(uint32_t controller, int hours, int minutes, int seconds);
    void ClearControllerClock(uint32_t controller);

    ArrayStatistics Statistics() const;
    void ResetStatistics();

    // Persistent reservation state of a logical unit, as PERSISTENT RESERVE
    // IN would report it.  Each throws std::out_of_range for an unknown LUN.
    // Faults and controller resets leave this state alone.
    std::vector<Registration> Registrations(uint64_t lun) const;   // in registration order
    std::optional<Reservation> ReservationOf(uint64_t lun) const;
    uint32_t PrGeneration(uint64_t lun) const;

private:
    using PathKey = std::pair<uint32_t, uint32_t>;     // initiator, target port
    using LunKey = std::tuple<uint32_t, uint32_t, uint64_t>;   // initiator, target port, LUN
    // Per unit attention kind: the sequence number of the latest raise, or
    // of the latest report; 0 = never.
    using AttentionMarks = std::array<uint64_t, 6>;

    struct LogicalUnit {
        LogicalUnitConfig Config;
        std::string Serial;
        std::vector<uint8_t> Naa;
        std::array<uint8_t, 8> Eui64{};
        std::unordered_map<uint64_t, std::vector<uint8_t>> Blocks;  // absent = zeros
        // Persistent reservations, per I_T nexus.  Keys are never 0: a zero
        // key unregisters.  The holder is always registered.
        std::vector<Registration> Registrations;   // in registration order
        std::optional<PathKey> Holder;
        ReservationType Type = ReservationType::WriteExclusive;
        uint32_t Generation = 0;

        Registration *RegistrationOf(const Nexus &nexus);
        bool Holds(const Nexus &nexus) const;
        uint64_t HolderKey() const;     // 0 without a reservation
    };

    struct ControllerClock {
        bool Set = false;
        int64_t Offset = 0;     // seconds added to the clock source
    };

    const LogicalUnit *FindUnit(uint64_t lun) const;
    LogicalUnit *FindUnit(uint64_t lun);
    uint8_t FaultsOn(const Nexus &nexus) const;
    bool TakeUnitAttention(const Nexus &nexus, Result *result);
    static void Validate(const Scope &scope);
    void RaiseLocked(const Scope &scope, UnitAttention kind);
    void ChangeFault(const Scope &scope, Fault fault, bool on);

    Result Inquiry(const Nexus &nexus, const LogicalUnit *unit, const Command &command);
    void DeviceIdentification(const Nexus &nexus, const LogicalUnit &unit, std::vector<uint8_t> *page) const;
    Result ReportLuns(bool masked, const Command &command);
    Result RequestSense(const Nexus &nexus, const LogicalUnit *unit, const Command &command);
    Result ReadCapacity(const LogicalUnit &unit, const Command &command);
    Result ReadWrite(LogicalUnit &unit, const Command &command);
    Result ReadBuffer(const Nexus &nexus, const Command &command);
    Result PersistentReserveIn(const LogicalUnit &unit, const Command &command);
    Result PersistentReserveOut(const Nexus &nexus, LogicalUnit &unit, const Command &command);
    Result Preempt(const Nexus &nexus, LogicalUnit &unit, uint8_t scopeType, uint64_t serviceKey);
    void Unregister(LogicalUnit &unit, const Nexus &nexus);
    void RaiseOnRegistrants(const LogicalUnit &unit, const Nexus &except, UnitAttention kind);
    const LogicalUnit &UnitOrThrow(uint64_t lun) const;

    const ArrayConfig config_;
    const ClockSource clock_;
    std::array<std::array<uint8_t, 8>, kTargetPortCount> portNames_{};
    std::array<uint8_t, 8> deviceName_{};      // the target device, NAA 5

    mutable std::mutex mutex_;
    std::map<uint64_t, LogicalUnit> units_;
    std::map<PathKey, uint8_t> pathFaults_;
    std::array<uint8_t, kTargetPortCount> portFaults_{};
    std::array<uint8_t, kControllerCount> controllerFaults_{};
    std::array<bool, kControllerCount> controllerFailed_{};
    std::map<PathKey, AttentionMarks> pathAttention_;
    std::array<AttentionMarks, kTargetPortCount> portAttention_{};
    std::map<LunKey, AttentionMarks> lunAttention_;    // raised by reservation changes
    // Latest sequence each I_T_L nexus has consumed of each kind: a unit
    // attention is reported once to every logical unit an initiator reaches
    // through a port.
    std::map<LunKey, AttentionMarks> attentionSeen_;
    uint64_t attentionSequence_ = 0;
    std::array<ControllerClock, kControllerCount> clocks_{};
    ArrayStatistics statistics_;
};

} // namespace array
