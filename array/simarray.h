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
    uint32_t BlockSize = 512;
};

struct ArrayConfig {
    std::string Vendor = "KESTROM ";            // padded with blanks to 8
    std::string Product = "TARN 4000 FC    ";   // padded with blanks to 16
    std::string Revision = "0730";              // padded with blanks to 4
    uint32_t CompanyId = 0x3A5D09;              // 24-bit IEEE company id in the NAA names
    uint64_t Seed = 0x1D2C0730;                 // every serial and name derives from it
    std::vector<LogicalUnitConfig> Units;
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
    ParametersChanged,      // MODE PARAMETERS CHANGED
};

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
    uint32_t TargetPortCount() const { return kTargetPortCount; }
    static uint32_t ControllerOf(uint32_t targetPort) { return targetPort / kPortsPerController; }
    static uint32_t PortOf(uint32_t targetPort) { return targetPort % kPortsPerController; }
    std::array<uint8_t, 8> PortName(uint32_t targetPort) const;       // NAA 5
    std::array<uint8_t, 16> LuIdentifier(uint64_t lun) const;         // NAA 6, throws for an unknown LUN
    std::string LuSerial(uint64_t lun) const;                         // throws for an unknown LUN

    // Fault switches.  Scopes naming a port or controller that does not
    // exist throw std::out_of_range.
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

private:
    using PathKey = std::pair<uint32_t, uint32_t>;     // initiator, target port
    // Sequence number of the latest raise of each kind; 0 = never.
    using AttentionMarks = std::array<uint64_t, 2>;

    struct LogicalUnit {
        LogicalUnitConfig Config;
        std::string Serial;
        std::array<uint8_t, 16> Naa{};
        std::unordered_map<uint64_t, std::vector<uint8_t>> Blocks;  // absent = zeros
        // SPC-3 persistent reservations (registrations per I_T nexus,
        // reservation holder, generation) belong here.
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
    Result ReportLuns(bool masked, const Command &command);
    Result RequestSense(const Nexus &nexus, const LogicalUnit *unit, const Command &command);
    Result ReadCapacity(const LogicalUnit &unit, const Command &command);
    Result ReadWrite(LogicalUnit &unit, const Command &command);
    Result ReadBuffer(const Nexus &nexus, const Command &command);

    const ArrayConfig config_;
    const ClockSource clock_;
    std::array<std::array<uint8_t, 8>, kTargetPortCount> portNames_{};

    mutable std::mutex mutex_;
    std::map<uint64_t, LogicalUnit> units_;
    std::map<PathKey, uint8_t> pathFaults_;
    std::array<uint8_t, kTargetPortCount> portFaults_{};
    std::array<uint8_t, kControllerCount> controllerFaults_{};
    std::array<bool, kControllerCount> controllerFailed_{};
    std::map<PathKey, AttentionMarks> pathAttention_;
    std::array<AttentionMarks, kTargetPortCount> portAttention_{};
    // Latest sequence each I_T_L nexus has consumed: a unit attention is
    // reported once to every logical unit an initiator reaches through a port.
    std::map<std::tuple<uint32_t, uint32_t, uint64_t>, uint64_t> attentionSeen_;
    uint64_t attentionSequence_ = 0;
    std::array<ControllerClock, kControllerCount> clocks_{};
    ArrayStatistics statistics_;
};

} // namespace array
