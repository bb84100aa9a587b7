/*++

Module Name:

    driverfixture.h

Abstract:

    A small world for driver tests: a clean machine, the driver's
    configuration in the registry, an MPIO host, and the driver loaded
    through it as the system would.

--*/

#pragma once

#include "machinechecks.h"
#include "../support/servicekeys.h"
#include "mpiohost.h"
#include "simarray.h"
#include "tarn.h"
#include "tarnresources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace tarntest {

using tarnkeys::kDiskKey;
using tarnkeys::kParametersKey;
using tarnkeys::kServiceKey;
using tarnkeys::kServiceName;
constexpr ULONG kTarnTag = host::Tag("TARN");

// The products of the default configuration: 8-character vendor, then
// 16-character product identification.
constexpr const char *kProductFc = "KESTROM TARN 4000 FC    ";
constexpr const char *kProductIscsi = "KESTROM TARN 4000 ISCSI ";

// Holds DsmLock for a scope, as the driver does around every read and
// write of its records; the routines that rely on it assert it.
class DsmLockHeld {
public:
    explicit DsmLockHeld(PDSM_CONTEXT context) : context_(context) { DsmAcquireLock(context_, &oldIrql_); }
    ~DsmLockHeld() { DsmReleaseLock(context_, oldIrql_); }
    DsmLockHeld(const DsmLockHeld &) = delete;
    DsmLockHeld &operator=(const DsmLockHeld &) = delete;

private:
    PDSM_CONTEXT context_;
    KIRQL oldIrql_ = PASSIVE_LEVEL;
};

class DriverTest : public ::testing::Test {
public:
    static const IO_ERROR_LOG_PACKET *Packet(const host::EventRecord &record)
    {
        return reinterpret_cast<const IO_ERROR_LOG_PACKET *>(record.Packet.data());
    }

protected:
    void SetUp() override
    {
        host::ResetMachine();
        // MPIO does not promise the driver non-paged pool for the blocks it hands over.
        host::PoolForeignTag(host::Tag("MPIO"));
        TarnRegisterMessages(u"tarndsm");
        TarnRegisterTraceFormats();
    }

    // The machine owns what a started driver keeps for the life of the
    // system; what the test left broken is found before the reboot.
    void TearDown() override
    {
        host_.reset();
        CheckMachineAtTestEnd();
        host::Reboot();
    }

    // The least configuration that starts: a supported device list.
    void MinimalConfiguration()
    {
        host::RegistrySetMultiString(kParametersKey, "SupportedDeviceList", {kProductFc, kProductIscsi});
    }

    // Every value set, as an installation writes them.
    void FullConfiguration()
    {
        MinimalConfiguration();
        host::RegistrySetString(kServiceKey, "DisplayName", "Kestrom TARN Multi-Path DSM");
        host::RegistrySetDword(kParametersKey, "PathSelectionPolicy", TARN_LB_POLICY_FAILBACK);
        host::RegistrySetDword(kParametersKey, "RoundRobinTimeSlice", 1000);
        host::RegistrySetDword(kParametersKey, "UsePersistentReservations", 1);
        host::RegistrySetValue(kParametersKey, "PRKey", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
        host::RegistrySetDword(kParametersKey, "TurTimeoutValue", 30);
        host::RegistrySetDword(kParametersKey, "TurRetryCount", 3);
    }

    NTSTATUS Start(const mpio::HostOptions &options = mpio::HostOptions(), const std::string &service = kServiceName)
    {
        host_.reset();
        host_ = std::make_unique<mpio::Host>(options);
        return host_->LoadDriver(DriverEntry, service);
    }

    PDSM_CONTEXT Context() const
    {
        return host_ && host_->Registered() ? static_cast<PDSM_CONTEXT>(host_->Record().DsmContext) : nullptr;
    }

    static std::vector<NTSTATUS> EventIds()
    {
        std::vector<NTSTATUS> ids;
        for (const auto &record : host::EventLog()) {
            ids.push_back(Packet(record)->ErrorCode);
        }
        return ids;
    }

    // The 4-byte dump of the only event with this identifier.
    static NTSTATUS DumpStatusOf(NTSTATUS id)
    {
        for (const auto &record : host::EventLog()) {
            const IO_ERROR_LOG_PACKET *packet = Packet(record);
            if (packet->ErrorCode == id) {
                EXPECT_EQ(packet->DumpDataSize, 4u);
                return (NTSTATUS)packet->DumpData[0];
            }
        }
        ADD_FAILURE() << "no event 0x" << std::hex << (ULONG)id;
        return STATUS_SUCCESS;
    }

    // A dual-controller array with these LUNs, and a topology in which
    // host ports 2 and 3 each reach one port of each controller: four
    // paths to every LUN.
    void AttachArray(std::vector<uint64_t> luns = {0}, uint32_t hostId = 1, uint32_t blockSize = 512)
    {
        array::ArrayConfig config;
        for (uint64_t lun : luns) {
            config.Units.push_back(array::LogicalUnitConfig{lun, 2048, blockSize});
        }
        array_ = std::make_unique<array::SimulatedArray>(config, [] { return int64_t(9 * 3600 + 5 * 60 + 30); });
        // The other node has started its disks, which met the array's
        // power-on attention; ours does so in discovery.
        for (uint64_t lun : luns) {
            const uint8_t tur[6] = {};
            array::Command command;
            command.Cdb = tur;
            command.CdbLength = sizeof(tur);
            array_->Execute(array::Nexus{kOtherInitiator, 1, lun}, command);
        }
        topology_ = mpio::Topology();
        topology_.HostId = hostId;
        topology_.Paths = {{2, 0, 0, 0}, {2, 0, 1, 2}, {3, 0, 0, 1}, {3, 0, 1, 3}};
        for (uint64_t lun : luns) {
            topology_.Luns.push_back((UCHAR)lun);
        }
    }

    // Starts the driver and lets MPIO discover the array's disks.
    NTSTATUS StartAndDiscover(const mpio::HostOptions &options = mpio::HostOptions())
    {
        NTSTATUS status = Start(options);
        if (NT_SUCCESS(status)) {
            host_->Discover(array_.get(), topology_);
        }
        return status;
    }

    // As a restart does: the old driver instance and every kernel object
    // are gone, the registry and the array stay.
    NTSTATUS Restart()
    {
        host_.reset();
        host::Reboot();
        return StartAndDiscover();
    }

    // The serial text the driver derives from a LUN's identifier.
    std::string SerialOf(uint64_t lun) const
    {
        static const char digits[] = "0123456789ABCDEF";
        std::string text;
        for (uint8_t byte : array_->LuIdentifier(lun)) {
            text += digits[byte >> 4];
            text += digits[byte & 0x0F];
        }
        return text;
    }

    // A drive's paths in list order.
    static std::vector<PPDO_ENTRY> PathsOf(PLD_ENTRY drive)
    {
        std::vector<PPDO_ENTRY> paths;
        for (PLIST_ENTRY link = drive->PathList.Flink; link != &drive->PathList; link = link->Flink) {
            paths.push_back(CONTAINING_RECORD(link, PDO_ENTRY, LdLink));
        }
        return paths;
    }

    // The drive's paths in list order, which MPIO's discovery has bound,
    // verified and activated through the driver: each is healthy and in
    // MPIO's use.
    std::vector<PPDO_ENTRY> LivePathsOf(PLD_ENTRY drive)
    {
        std::vector<PPDO_ENTRY> paths = PathsOf(drive);
        Locked([&] {
            for (PPDO_ENTRY path : paths) {
                EXPECT_EQ(path->HealthState, (ULONG)PDO_HEALTH_HEALTHY) << path->PathIdString;
            }
        });
        for (size_t i = 0; i < host_->Devices().size(); i++) {
            if (host_->Devices()[i].DsmId != nullptr) {
                EXPECT_EQ(host_->StateOf(i), mpio::PathState::Live) << "device " << i;
            }
        }
        return paths;
    }

    // Runs the body under DsmLock, as the driver changes its records.
    template <typename Body>
    void Locked(Body body)
    {
        DsmLockHeld held(Context());
        body();
    }

    static long CountEvents(NTSTATUS id)
    {
        auto ids = EventIds();
        return (long)std::count(ids.begin(), ids.end(), id);
    }

    // A PERSISTENT RESERVE OUT from another node's initiator, straight to the array.
    array::Result OtherNodeReserveOut(uint8_t action, uint8_t type, const uint8_t *key, const uint8_t *actionKey)
    {
        uint8_t cdb[10] = {SCSIOP_PERSISTENT_RESERVE_OUT, action, type, 0, 0, 0, 0, 0, 24, 0};
        uint8_t parameters[24] = {};
        if (key != nullptr) {
            memcpy(parameters, key, 8);
        }
        if (actionKey != nullptr) {
            memcpy(parameters + 8, actionKey, 8);
        }
        array::Command command;
        command.Cdb = cdb;
        command.CdbLength = sizeof(cdb);
        command.DataOut = parameters;
        command.DataOutLength = sizeof(parameters);
        return array_->Execute(array::Nexus{kOtherInitiator, 1, 0}, command);
    }

    static constexpr uint32_t kOtherInitiator = 0x9901;

    PLD_ENTRY FirstDrive() const
    {
        PDSM_CONTEXT context = Context();
        return IsListEmpty(&context->DriveList) ? nullptr
                                                : CONTAINING_RECORD(context->DriveList.Flink, LD_ENTRY, DriveLink);
    }

    std::unique_ptr<mpio::Host> host_;
    std::unique_ptr<array::SimulatedArray> array_;
    mpio::Topology topology_;
};

// The driver started with the full configuration (Configure may change
// it first) on an array of these LUNs, and the first drive with its four
// live paths.
class OneDriveTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        Configure();
        AttachArray(luns_, 1, blockSize_);
        ASSERT_EQ(StartAndDiscover(hostOptions_), STATUS_SUCCESS);
        drive_ = FirstDrive();
        ASSERT_NE(drive_, nullptr);
        paths_ = LivePathsOf(drive_);
        ASSERT_EQ(paths_.size(), 4u);
    }

    virtual void Configure() { FullConfiguration(); }

    std::vector<uint64_t> luns_ = {0};
    uint32_t blockSize_ = 512;          // of every logical unit
    mpio::HostOptions hostOptions_;     // MPIO's and the port's settings
    PLD_ENTRY drive_ = nullptr;
    std::vector<PPDO_ENTRY> paths_;
};

} // namespace tarntest
