/*++

Module Name:

    workload.cpp

Abstract:

    The verified workload and its books.

--*/

#include "workload.h"

#include "tarn.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace scenario {
namespace {

const uint8_t kMagic[4] = {'T', 'A', 'R', 'N'};
constexpr size_t kMaxDetails = 8;

void Put32(uint8_t *at, uint32_t value)
{
    for (int i = 0; i < 4; i++) {
        at[i] = (uint8_t)(value >> (8 * i));
    }
}

uint32_t Get32(const uint8_t *at)
{
    return (uint32_t)at[0] | (uint32_t)at[1] << 8 | (uint32_t)at[2] << 16 | (uint32_t)at[3] << 24;
}

std::string Range(uint32_t lun, uint64_t lba, uint32_t blocks)
{
    return "LUN " + std::to_string(lun) + " blocks " + std::to_string(lba) + "-" +
           std::to_string(lba + blocks - 1);
}

} // namespace

void FillBlock(uint32_t lun, uint64_t lba, uint32_t generation, uint8_t *block)
{
    if (generation == 0) {
        memset(block, 0, kBlockSize);
        return;
    }
    memcpy(block, kMagic, sizeof(kMagic));
    Put32(block + 4, lun);
    Put32(block + 8, (uint32_t)lba);
    Put32(block + 12, (uint32_t)(lba >> 32));
    Put32(block + 16, generation);
    // splitmix64, so neighbouring blocks and generations share no bytes.
    uint64_t state = ((uint64_t)lun << 56) ^ (lba << 20) ^ generation;
    for (size_t at = 20; at < kBlockSize; at += 4) {
        state += 0x9E3779B97F4A7C15ull;
        uint64_t mixed = state;
        mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9ull;
        mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBull;
        Put32(block + at, (uint32_t)(mixed ^ (mixed >> 31)));
    }
}

bool DescribeBlock(const uint8_t *block, uint32_t *lun, uint64_t *lba, uint32_t *generation)
{
    if (memcmp(block, kMagic, sizeof(kMagic)) != 0) {
        return false;
    }
    *lun = Get32(block + 4);
    *lba = Get32(block + 8) | (uint64_t)Get32(block + 12) << 32;
    *generation = Get32(block + 16);
    return true;
}

VerifiedWorkload::VerifiedWorkload(const Workload &settings, Requests *requests, std::vector<WorkloadLun> luns)
    : settings_(settings), requests_(requests)
{
    for (const WorkloadLun &lun : luns) {
        Unit unit;
        unit.Lun = lun;
        unit.Blocks.resize(lun.Blocks);
        unit.ReadCursor = lun.Blocks / 2 / settings.BlocksPerRequest * settings.BlocksPerRequest;
        units_.push_back(std::move(unit));
    }
}

uint32_t VerifiedWorkload::WindowAt(const Unit &unit, uint64_t lba) const
{
    return (uint32_t)std::min<uint64_t>(settings_.BlocksPerRequest, unit.Blocks.size() - lba);
}

bool VerifiedWorkload::Free(const Unit &unit, uint64_t lba, uint32_t blocks) const
{
    for (uint64_t i = lba; i < lba + blocks; i++) {
        if (unit.Blocks[i].Busy) {
            return false;
        }
    }
    return true;
}

void VerifiedWorkload::Note(const std::string &detail)
{
    if (verdict_.Details.size() < kMaxDetails) {
        verdict_.Details.push_back(detail);
    }
}

void VerifiedWorkload::StartWrite(Unit *unit, uint64_t lba, uint32_t blocks, uint32_t generation)
{
    auto buffer = std::make_shared<std::vector<uint8_t>>((size_t)blocks * kBlockSize);
    for (uint32_t i = 0; i < blocks; i++) {
        FillBlock(unit->Lun.Lun, lba + i, generation, buffer->data() + (size_t)i * kBlockSize);
        unit->Blocks[lba + i].Busy = true;
    }
    unit->InFlight++;
    requests_->Start(unit->Lun.Disk, true, lba, blocks, buffer->data(),
                     [this, unit, lba, blocks, generation, buffer](const Completion &done) {
                         unit->InFlight--;
                         bool written = NT_SUCCESS(done.Status);
                         for (uint64_t i = lba; i < lba + blocks; i++) {
                             Block &block = unit->Blocks[i];
                             block.Busy = false;
                             if (written) {
                                 block.Possible.assign(1, generation);
                             } else {
                                 // It may or may not have reached the medium.
                                 block.Possible.push_back(generation);
                             }
                         }
                         if (written) {
                             verdict_.BlocksWritten += blocks;
                         } else {
                             verdict_.Errors++;
                             Note("write of " + Range(unit->Lun.Lun, lba, blocks) + " failed: " +
                                  DsmStatusName(done.Status));
                         }
                     });
}

void VerifiedWorkload::StartRead(Unit *unit, uint64_t lba, uint32_t blocks)
{
    auto buffer = std::make_shared<std::vector<uint8_t>>((size_t)blocks * kBlockSize);
    for (uint32_t i = 0; i < blocks; i++) {
        unit->Blocks[lba + i].Busy = true;
    }
    unit->InFlight++;
    requests_->Start(unit->Lun.Disk, false, lba, blocks, buffer->data(),
                     [this, unit, lba, blocks, buffer](const Completion &done) {
                         unit->InFlight--;
                         for (uint64_t i = lba; i < lba + blocks; i++) {
                             unit->Blocks[i].Busy = false;
                         }
                         if (!NT_SUCCESS(done.Status)) {
                             verdict_.Errors++;
                             Note("read of " + Range(unit->Lun.Lun, lba, blocks) + " failed: " +
                                  DsmStatusName(done.Status));
                             return;
                         }
                         verdict_.BlocksRead += blocks;
                         uint8_t expected[kBlockSize];
                         for (uint32_t i = 0; i < blocks; i++) {
                             const uint8_t *got = buffer->data() + (size_t)i * kBlockSize;
                             const Block &block = unit->Blocks[lba + i];
                             bool matches = false;
                             for (uint32_t generation : block.Possible) {
                                 FillBlock(unit->Lun.Lun, lba + i, generation, expected);
                                 matches = matches || memcmp(got, expected, kBlockSize) == 0;
                             }
                             if (matches) {
                                 continue;
                             }
                             verdict_.Mismatches++;
                             uint32_t lun = 0;
                             uint64_t holds = 0;
                             uint32_t generation = 0;
                             std::string what = DescribeBlock(got, &lun, &holds, &generation)
                                                    ? "LUN " + std::to_string(lun) + " block " +
                                                          std::to_string(holds) + " generation " +
                                                          std::to_string(generation)
                                                    : "no block of the workload";
                             Note("LUN " + std::to_string(unit->Lun.Lun) + " block " + std::to_string(lba + i) +
                                  " holds " + what + ", expected generation " +
                                  std::to_string(block.Possible.back()));
                         }
                     });
}

void VerifiedWorkload::StartFill()
{
    for (Unit &unit : units_) {
        unit.Generation++;
        for (uint64_t lba = 0; lba < unit.Blocks.size(); lba += settings_.BlocksPerRequest) {
            StartWrite(&unit, lba, WindowAt(unit, lba), unit.Generation);
        }
    }
}

void VerifiedWorkload::Tick()
{
    for (Unit &unit : units_) {
        uint64_t size = unit.Blocks.size();
        uint32_t blocks = WindowAt(unit, unit.WriteCursor);
        if (unit.InFlight < settings_.Outstanding && Free(unit, unit.WriteCursor, blocks)) {
            StartWrite(&unit, unit.WriteCursor, blocks, ++unit.Generation);
            unit.WriteCursor = (unit.WriteCursor + blocks) % size;
        }
        blocks = WindowAt(unit, unit.ReadCursor);
        if (unit.InFlight < settings_.Outstanding && Free(unit, unit.ReadCursor, blocks)) {
            StartRead(&unit, unit.ReadCursor, blocks);
            unit.ReadCursor = (unit.ReadCursor + blocks) % size;
        }
    }
}

void VerifiedWorkload::StartReadBack()
{
    for (Unit &unit : units_) {
        for (uint64_t lba = 0; lba < unit.Blocks.size(); lba += settings_.BlocksPerRequest) {
            StartRead(&unit, lba, WindowAt(unit, lba));
        }
    }
}

} // namespace scenario
