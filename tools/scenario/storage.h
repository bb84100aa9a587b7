/*++

Module Name:

    storage.h

Abstract:

    The storage behind the host's paths, as the runner drives it: the SCSI
    target MPIO discovers, a line saying what it is, which faults it can
    carry and how it carries them.  Two kinds exist: the simulated
    dual-controller array (on the stepped clock, every fault switch) and a
    live tgtd reached over iSCSI through one cable per path (in real time;
    only what a cable can do: pulled, hung, and a stray host's write).

--*/

#pragma once

#include "scenario.h"
#include "simarray.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace mpio {
struct Topology;
}

namespace scenario {

// Where a fault applies, resolved when it begins: the storage's scopes
// (one nexus, one target port, one controller), and in plain words: short
// for the phase's title, and in full below it.
struct ResolvedPlace {
    std::vector<array::Scope> Scopes;
    std::string Place;
    std::string Detail;
    std::string ReturnDetail;   // when the return needs other words than the fault
    int Link = -1;              // the topology's path, when the place is one path
};

class Storage {
public:
    virtual ~Storage() = default;

    // Why the storage cannot carry this fault (empty when it can): the
    // scenario is refused before anything is started.
    virtual std::string Refusal(const Fault &fault) const = 0;

    // Builds the storage and the topology MPIO discovers it through.  False
    // with a one-line reason; *badInput says whether the scenario is at
    // fault (or the machine).
    virtual bool Start(mpio::Topology *topology, std::string *error, bool *badInput) = 0;

    virtual array::ScsiTarget &Target() = 0;

    // What runs, for the report's "Storage:" line.
    virtual std::string Description() const = 0;
    // Its answers take real time: the clock cannot be stepped.
    virtual bool NeedsRealTime() const = 0;
    // A target port in plain words.
    virtual std::string TargetPortText(uint32_t targetPort) const = 0;

    // Applies a fault or its return; what happened, for the phase's title.
    virtual std::string Apply(const Fault &fault, const ResolvedPlace &where, bool isReturn) = 0;
    // The state the faults leave behind, for the phase's detail (empty
    // when the place says it all).
    virtual std::string FaultState() const { return ""; }

    // Stops what runs outside this process at once: the process is about
    // to end without unwinding (a verifier failure).
    virtual void Abandon() {}
};

// "simulated" or "tgtd"; null for another name.
std::unique_ptr<Storage> MakeStorage(const std::string &kind, const Scenario &scenario);

// The initiator port of the other host a stray write comes from.
constexpr uint32_t kStrayInitiator = 0xFFFF;

// Copies the block after `block` over it, as another host on an initiator
// port of its own would, through `targetPort`; true when the target took
// the write.  The first commands of a new initiator meet its unit
// attentions, and are sent again.
bool StrayWrite(array::ScsiTarget &target, uint32_t targetPort, uint32_t lun, uint64_t block);

} // namespace scenario
