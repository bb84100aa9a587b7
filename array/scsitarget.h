/*++

Module Name:

    scsitarget.h

Abstract:

    What a storage target is to the host: something that accepts one SCSI
    command on one I_T nexus and completes it with a transport outcome,
    a SCSI status, sense data and data.  The simulated array implements
    it; a real SCSI target reached over iSCSI will too.  Nothing here
    knows the driver.

--*/

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <scsi.h>

namespace array {

// The logical block every unit made here has unless told otherwise, and
// the one hosts address a disk in.
constexpr uint32_t kBlockSize = 512;

// One I_T nexus and the logical unit addressed through it.  Initiator
// identifies an initiator port of a host (unique across hosts sharing the
// target), TargetPort one port of the target.
struct Nexus {
    uint32_t Initiator = 0;
    uint32_t TargetPort = 0;
    uint64_t Lun = 0;
};

// How the command ended at the transport.
enum class Transport {
    Completed,  // the target answered: Status and sense are meaningful
    LinkDown,   // no connection to the target port: nothing was delivered
    // Delivered, never answered, and the transport has already given up
    // on it: its own command timeout passed (an iSCSI session's).
    Timeout,
    // Delivered, and the target will never answer: nothing ends the
    // command but the initiator's own timer (the port's request timeout).
    NoAnswer,
};

struct Command {
    const uint8_t *Cdb = nullptr;
    size_t CdbLength = 0;
    const uint8_t *DataOut = nullptr;   // data to the target (WRITE, PERSISTENT RESERVE OUT)
    size_t DataOutLength = 0;
    uint8_t *DataIn = nullptr;          // room for data from the target
    size_t DataInLength = 0;
};

// SCSI status codes, under the names older callers know.
constexpr uint8_t kStatusGood = SCSISTAT_GOOD;
constexpr uint8_t kStatusCheckCondition = SCSISTAT_CHECK_CONDITION;
constexpr uint8_t kStatusBusy = SCSISTAT_BUSY;
constexpr uint8_t kStatusReservationConflict = SCSISTAT_RESERVATION_CONFLICT;

constexpr size_t kFixedSenseLength = 18;

struct Result {
    Transport Outcome = Transport::Completed;
    uint8_t Status = kStatusGood;
    size_t DataInTransferred = 0;
    uint8_t Sense[kFixedSenseLength] = {};  // fixed format, valid with CHECK CONDITION
    size_t SenseLength = 0;
};

class ScsiTarget {
public:
    virtual ~ScsiTarget() = default;

    // Executes one command.  Thread-safe: commands may arrive on several
    // nexuses at once.
    virtual Result Execute(const Nexus &nexus, const Command &command) = 0;

    // A transport that keeps a connection per nexus notices when one is
    // lost with no command on it, and tells the host, as a port driver
    // reports a lost link.  The handler runs on the transport's own
    // thread; setting another (or none) waits for a call in progress.
    // Targets without such connections never call it.
    using LinkLostHandler = std::function<void(uint32_t initiator, uint32_t targetPort)>;
    virtual void WatchLinks(LinkLostHandler handler) { (void)handler; }
};

// Fixed-format sense data with key, ASC and ASCQ (response code 0x70).
void SetFixedSense(Result *result, uint8_t key, uint8_t asc, uint8_t ascq);

// A command the target answered CHECK CONDITION, with that sense.
Result CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq);

} // namespace array
