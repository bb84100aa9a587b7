/*++

Module Name:

    start_test.cpp

Abstract:

    Start-up through the MPIO host: the version check, registration, the
    periodic timer, and every way start-up can fail, each leaving nothing
    behind.

--*/

#include "driverfixture.h"

#include <cstring>

namespace tarntest {
namespace {

using StartTest = DriverTest;

TEST_F(StartTest, StartsAndRegistersTheRecordMpioExpects)
{
    FullConfiguration();
    ASSERT_EQ(Start(), STATUS_SUCCESS);

    ASSERT_TRUE(host_->Registered());
    const DSM_INIT_DATA &record = host_->Record();
    EXPECT_EQ(record.InitDataSize, sizeof(DSM_INIT_DATA));
    EXPECT_EQ(record.Reserved, 0u);
    EXPECT_EQ(record.RecordRevision, 3u);
    EXPECT_EQ(record.DsmUnload, &DsmUnload);
    EXPECT_EQ(record.DsmInquireDriver, &DsmInquireDriver);
    EXPECT_EQ(record.DsmBroadcastSrb, &DsmBroadcastSrb);
    EXPECT_EQ(record.DriverObject, host_->DriverObject());
    // No WMI data yet: the block stays zero rather than half filled.
    DSM_WMILIB_CONTEXT zeroWmi;
    memset(&zeroWmi, 0, sizeof(zeroWmi));
    EXPECT_EQ(memcmp(&record.DsmWmiInfo, &zeroWmi, sizeof(zeroWmi)), 0);

    PDSM_CONTEXT context = Context();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->MpioContext, host_->MpioContext());
    EXPECT_NE(context->MpioContext, 0u);
    EXPECT_EQ(context->DriverObject, host_->DriverObject());
    EXPECT_TRUE(IsListEmpty(&context->DriveList));
    EXPECT_TRUE(IsListEmpty(&context->PathRecordList));

    // The control device is not kept open, and no unload routine is registered.
    EXPECT_EQ(host::OutstandingFileObjects(), 0u);
    EXPECT_EQ(host_->DriverObject()->DriverUnload, nullptr);

    // The started event is the only one, rendered from the message table.
    auto events = host::EventLog();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ((ULONG)Packet(events[0])->ErrorCode, 0x40000101u);
    EXPECT_EQ(host::EventDescription(events[0]), "The multi-path DSM has started.");
    EXPECT_NE(host::RenderEvent(events[0]).find("Event Type:\tInformation"), std::string::npos);
}

TEST_F(StartTest, RecordCarriesTheServiceDisplayNameMeasuredToItsTerminator)
{
    FullConfiguration();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const UNICODE_STRING &name = host_->Record().DisplayName;
    std::u16string text(name.Buffer, name.Length / sizeof(WCHAR));
    EXPECT_EQ(text, u"Kestrom TARN Multi-Path DSM");
    EXPECT_EQ(name.MaximumLength, name.Length + sizeof(WCHAR));
    EXPECT_EQ(name.Buffer[name.Length / sizeof(WCHAR)], 0);
}

TEST_F(StartTest, WithoutDisplayNameTheRecordNameIsEmpty)
{
    MinimalConfiguration();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(host_->Record().DisplayName.Length, 0);
    EXPECT_EQ(host_->Record().DisplayName.MaximumLength, sizeof(WCHAR));
}

TEST_F(StartTest, TimerFirstRunsOneSecondAfterStartThenEveryHundredMilliseconds)
{
    MinimalConfiguration();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    PDSM_CONTEXT context = Context();

    host::ClockAdvance(999);
    EXPECT_EQ(context->TickCount, 0u);
    host::ClockAdvance(1);
    EXPECT_EQ(context->TickCount, 1u);
    host::ClockAdvance(1000);
    EXPECT_EQ(context->TickCount, 11u);
}

TEST_F(StartTest, UnloadAnswersAndStopsNothing)
{
    MinimalConfiguration();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    size_t blocks = host::PoolOutstanding(kTarnTag);

    EXPECT_EQ(host_->Unload(), STATUS_SUCCESS);

    host::ClockAdvance(1500);
    EXPECT_EQ(Context()->TickCount, 6u);
    EXPECT_EQ(host::PoolOutstanding(kTarnTag), blocks);
}

struct VersionCase {
    ULONG Major;
    ULONG Minor;
    bool Starts;
};

void PrintTo(const VersionCase &c, std::ostream *os)
{
    *os << "MPIO " << c.Major << "." << c.Minor;
}

class MpioVersionTest : public DriverTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(MpioVersionTest, OnlyOneFifteenAndLaterServe)
{
    MinimalConfiguration();
    mpio::HostOptions options;
    options.Version = {GetParam().Major, GetParam().Minor, 0, 0};

    NTSTATUS status = Start(options);

    if (GetParam().Starts) {
        EXPECT_EQ(status, STATUS_SUCCESS);
    } else {
        // Too old: refused without an event, before anything is built.
        EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
        EXPECT_TRUE(host::EventLog().empty());
        EXPECT_EQ(host_->RegistrationRequests(), 0u);
        EXPECT_EQ(host::PoolOutstanding(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, MpioVersionTest,
                         ::testing::Values(VersionCase{1, 14, false}, VersionCase{1, 15, true},
                                           VersionCase{1, 16, true}, VersionCase{2, 0, true},
                                           VersionCase{0, 99, false}, VersionCase{0, 15, false}),
                         [](const ::testing::TestParamInfo<VersionCase> &info) {
                             return "Mpio" + std::to_string(info.param.Major) + "_" + std::to_string(info.param.Minor);
                         });

TEST_F(StartTest, FailingVersionQueryIsLoggedWithItsStatusAndFailsAsUnsuccessful)
{
    MinimalConfiguration();
    mpio::HostOptions options;
    options.GetVersionStatus = STATUS_INVALID_DEVICE_REQUEST;

    EXPECT_EQ(Start(options), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(EventIds(), std::vector<ULONG>{0xC0000002});
    EXPECT_EQ(DumpStatusOf(0xC0000002), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(host::PoolOutstanding(), 0u);
}

// After the context exists, a failing step must leave nothing allocated,
// no timer armed and no started event.
void ExpectCleanFailure()
{
    EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolReport();
    EXPECT_EQ(host::ActiveTimers(), 0u);
    EXPECT_EQ(host::OutstandingFileObjects(), 0u);
    EXPECT_EQ(host::OpenRegistryHandles(), 0u);
    for (const auto &record : host::EventLog()) {
        EXPECT_NE((ULONG)DriverTest::Packet(record)->ErrorCode, 0x40000101u);
    }
    host::ClockAdvance(2000);
    EXPECT_EQ(host::DpcRuns(), 0u);
}

TEST_F(StartTest, MissingControlDeviceFailsWithTheOpenStatus)
{
    FullConfiguration();
    mpio::HostOptions options;
    options.ControlDevice = false;

    EXPECT_EQ(Start(options), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(EventIds(), std::vector<ULONG>{0xC0000002});
    EXPECT_EQ(DumpStatusOf(0xC0000002), STATUS_OBJECT_NAME_NOT_FOUND);
    ExpectCleanFailure();
}

TEST_F(StartTest, RefusedRegistrationFailsWithTheRequestStatus)
{
    FullConfiguration();
    mpio::HostOptions options;
    options.RegistrationStatus = STATUS_ACCESS_DENIED;

    EXPECT_EQ(Start(options), STATUS_ACCESS_DENIED);
    EXPECT_EQ(host_->RegistrationRequests(), 1u);
    EXPECT_FALSE(host_->Registered());
    EXPECT_EQ(EventIds(), std::vector<ULONG>{0xC0000002});
    EXPECT_EQ(DumpStatusOf(0xC0000002), STATUS_ACCESS_DENIED);
    ExpectCleanFailure();
}

TEST_F(StartTest, MissingSupportedDeviceListStopsTheStart)
{
    host::RegistrySetDword(kParametersKey, "PathSelectionPolicy", TARN_LB_POLICY_FAILOVER);

    EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(EventIds(), std::vector<ULONG>{0xC0000003});
    EXPECT_EQ(DumpStatusOf(0xC0000003), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(host_->RegistrationRequests(), 0u);
    ExpectCleanFailure();
}

TEST_F(StartTest, SupportedDeviceListOfAnotherTypeIsAFailedRead)
{
    host::RegistrySetString(kParametersKey, "SupportedDeviceList", kProductFc);

    EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(DumpStatusOf(0xC0000003), STATUS_OBJECT_TYPE_MISMATCH);
    ExpectCleanFailure();
}

TEST_F(StartTest, ServiceNameTooLongForTheKeyBufferFailsEveryReadAndTheStart)
{
    // 44 characters fit "Name\Parameters" in 56 wide characters; 45 do not.
    std::string fits(44, 's');
    std::string tooLong(45, 's');
    const std::string services = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    host::RegistrySetMultiString(services + fits + "\\Parameters", "SupportedDeviceList", {kProductFc});
    host::RegistrySetMultiString(services + tooLong + "\\Parameters", "SupportedDeviceList", {kProductFc});

    EXPECT_EQ(Start(mpio::HostOptions(), fits), STATUS_SUCCESS);

    host_.reset();
    host::Reboot();
    host::ClearEventLog();
    EXPECT_EQ(Start(mpio::HostOptions(), tooLong), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(EventIds(), std::vector<ULONG>{0xC0000003});
    EXPECT_EQ(DumpStatusOf(0xC0000003), STATUS_NAME_TOO_LONG);
    ExpectCleanFailure();
}

// Fails each allocation of a start in turn: whichever fails, the start
// either reports it or gets by, and a failed start leaves no block.
TEST_F(StartTest, EveryAllocationFailureLeavesNothingBehind)
{
    FullConfiguration();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    uint64_t allocations = host::PoolAllocationCount();
    ASSERT_GT(allocations, 3u);

    for (uint64_t n = 1; n <= allocations; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        host_.reset();
        host::Reboot();
        host::ClearEventLog();
        host::PoolFailNth(n);

        NTSTATUS status = Start();
        host::PoolClearFailures();
        if (NT_SUCCESS(status)) {
            continue;   // an optional value fell back to its default
        }
        auto ids = EventIds();
        ASSERT_EQ(ids.size(), 1u);
        // No memory for the driver's own blocks, for the registry's copy of
        // the list, or for the platform's file object of the control device.
        EXPECT_TRUE(ids[0] == 0xC0000001 || ids[0] == 0xC0000003 || ids[0] == 0xC0000002) << std::hex << ids[0];
        EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL) << std::hex << status;
        ExpectCleanFailure();
    }
}

TEST_F(StartTest, ContextAllocationFailureIsLoggedWithoutDumpData)
{
    MinimalConfiguration();
    host::PoolFailTag(kTarnTag);

    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    auto events = host::EventLog();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ((ULONG)Packet(events[0])->ErrorCode, 0xC0000001u);
    EXPECT_EQ(Packet(events[0])->DumpDataSize, 0u);
    EXPECT_EQ(Packet(events[0])->NumberOfStrings, 0u);
    EXPECT_EQ(host::EventDescription(events[0]), "Could not allocate memory.");
    ExpectCleanFailure();
}

TEST_F(StartTest, ServiceNameIsTheLastComponentOfTheRegistryPath)
{
    MinimalConfiguration();
    PDSM_CONTEXT context = nullptr;
    PDRIVER_OBJECT driver = host::CreateDriverObject(u"\\Driver\\tarndsm");
    DsmIoObject = driver;

    struct Case {
        std::u16string Path;
        std::u16string Name;
    } cases[] = {
        {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndsm", u"tarndsm"},
        {u"tarndsm", u"arndsm"},   // no backslash: everything after the first character
        {u"\\Registry\\", u""},
    };
    for (auto &c : cases) {
        UNICODE_STRING path;
        path.Buffer = c.Path.data();
        path.Length = path.MaximumLength = (USHORT)(c.Path.size() * sizeof(WCHAR));
        DsmContextCreate(&context, driver, &path);
        ASSERT_NE(context, nullptr);
        ASSERT_NE(context->ServiceName, nullptr);
        EXPECT_EQ(std::u16string(context->ServiceName->Buffer, context->ServiceName->Length / sizeof(WCHAR)), c.Name);
        EXPECT_EQ(std::u16string(context->RegistryPath->Buffer, context->RegistryPath->Length / sizeof(WCHAR)),
                  c.Path);
        DsmContextDestroy(context);
    }
    EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolReport();
}

} // namespace
} // namespace tarntest
