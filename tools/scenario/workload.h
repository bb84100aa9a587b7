/*++

Module Name:

    workload.h

Abstract:

    The verified workload: every block of every LUN is written through the
    host with content derived from its LUN, its LBA and a generation, so a
    stale, lost or misplaced block shows when it is read back.  While the
    faults happen, each LUN gets a write and a read every interval; at the
    end every block is read back and compared.  The books say which
    contents a block may hold: after a write that failed, the old and the
    new one are both right.

--*/

#pragma once

#include "requests.h"
#include "scsitarget.h"
#include "scenario.h"

#include <cstdint>
#include <string>
#include <vector>

namespace scenario {

using array::kBlockSize;

// A block's content: LUN, LBA and generation in a readable header, the
// rest a sequence seeded by all three.  Generation 0 is a block never
// written, all zeros.
void FillBlock(uint32_t lun, uint64_t lba, uint32_t generation, uint8_t *block);
// What a block's header says it is; false when it is no block of ours.
bool DescribeBlock(const uint8_t *block, uint32_t *lun, uint64_t *lba, uint32_t *generation);

// One LUN of the workload and the multipath disk it is seen as.
struct WorkloadLun {
    uint32_t Lun = 0;
    size_t Disk = 0;
    uint64_t Blocks = 0;
};

struct DataVerdict {
    uint64_t BlocksWritten = 0;
    uint64_t BlocksRead = 0;
    uint64_t Mismatches = 0;            // blocks read back with content they may not hold
    uint64_t Errors = 0;                // requests that failed to the workload
    std::vector<std::string> Details;   // the first mismatches and errors, in plain words
};

class VerifiedWorkload {
public:
    VerifiedWorkload(const Workload &settings, Requests *requests, std::vector<WorkloadLun> luns);

    // Writes every block of every LUN once.
    void StartFill();
    // One write and one read on every LUN that has room for them.
    void Tick();
    // Reads every block of every LUN back.
    void StartReadBack();

    const DataVerdict &Verdict() const { return verdict_; }

private:
    struct Block {
        std::vector<uint32_t> Possible{0};  // generations the block may hold
        bool Busy = false;                  // a request of ours is on it
    };
    struct Unit {
        WorkloadLun Lun;
        std::vector<Block> Blocks;
        uint32_t Generation = 0;
        uint64_t WriteCursor = 0;
        uint64_t ReadCursor = 0;
        uint32_t InFlight = 0;
    };

    bool Free(const Unit &unit, uint64_t lba, uint32_t blocks) const;
    void StartWrite(Unit *unit, uint64_t lba, uint32_t blocks, uint32_t generation);
    void StartRead(Unit *unit, uint64_t lba, uint32_t blocks);
    uint32_t WindowAt(const Unit &unit, uint64_t lba) const;
    void Note(const std::string &detail);

    Workload settings_;
    Requests *requests_;
    std::vector<Unit> units_;
    DataVerdict verdict_;
};

} // namespace scenario
