/*++

Module Name:

    driverfixture.h

Abstract:

    A small world for driver tests: a clean machine, the driver's
    configuration in the registry, an MPIO host, and the driver loaded
    through it as the system would.

--*/

#pragma once

#include "mpiohost.h"
#include "tarn.h"
#include "tarnresources.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tarntest {

constexpr const char *kServiceName = "tarndsm";
constexpr const char *kServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndsm";
constexpr const char *kParametersKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndsm\\Parameters";
constexpr const char *kDiskKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Disk";
constexpr ULONG kTarnTag = host::Tag("TARN");

// The products of the default configuration: 8-character vendor, then
// 16-character product identification.
constexpr const char *kProductFc = "KESTROM TARN 4000 FC    ";
constexpr const char *kProductIscsi = "KESTROM TARN 4000 ISCSI ";

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
        TarnRegisterMessages(u"tarndsm");
        TarnRegisterTraceFormats();
    }

    // The machine owns what a started driver keeps for the life of the system.
    void TearDown() override
    {
        host_.reset();
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

    static std::vector<ULONG> EventIds()
    {
        std::vector<ULONG> ids;
        for (const auto &record : host::EventLog()) {
            ids.push_back(Packet(record)->ErrorCode);
        }
        return ids;
    }

    // The 4-byte dump of the only event with this identifier.
    static NTSTATUS DumpStatusOf(ULONG id)
    {
        for (const auto &record : host::EventLog()) {
            const IO_ERROR_LOG_PACKET *packet = Packet(record);
            if ((ULONG)packet->ErrorCode == id) {
                EXPECT_EQ(packet->DumpDataSize, 4u);
                return (NTSTATUS)packet->DumpData[0];
            }
        }
        ADD_FAILURE() << "no event 0x" << std::hex << id;
        return STATUS_SUCCESS;
    }

    std::unique_ptr<mpio::Host> host_;
};

} // namespace tarntest
