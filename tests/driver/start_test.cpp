// Start-up through the MPIO host: the version check, registration, the
// periodic timer, and every way start-up can fail, each leaving nothing
// behind.
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
    // The WMI block: six GUIDs, the service key copied into "Ddk " pool,
    // the MOF resource's name and three callbacks.
    const DSM_WMILIB_CONTEXT &wmi = record.DsmWmiInfo;
    ASSERT_EQ(wmi.GuidCount, 6u);
    EXPECT_EQ(wmi.GuidList[1].Guid->Data1, 0xE1785569u);
    EXPECT_EQ(wmi.GuidList[5].InstanceCount, 1u);
    EXPECT_EQ(std::u16string(wmi.RegistryPath.Buffer, wmi.RegistryPath.Length / 2), host_->RegistryPath());
    EXPECT_NE(wmi.RegistryPath.Buffer, host_->RegistryPath().data());
    EXPECT_EQ(host::PoolOutstanding(host::Tag("Ddk ")), 1u);
    EXPECT_EQ(std::u16string(wmi.MofResourceName.Buffer, wmi.MofResourceName.Length / 2), u"MofResourceName");
    EXPECT_NE(wmi.QueryWmiDataBlock, nullptr);
    EXPECT_NE(wmi.SetWmiDataBlock, nullptr);
    EXPECT_NE(wmi.ExecuteWmiMethod, nullptr);
    EXPECT_EQ(wmi.WmiFunctionControl, nullptr);

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
    EXPECT_EQ(Packet(events[0])->ErrorCode, TARN_MSG_DSM_STARTED);
    EXPECT_EQ(host::EventDescription(events[0]), "The multi-path DSM has started.");
    EXPECT_NE(host::RenderEvent(events[0]).find("Event Type:\tInformation"), std::string::npos);
}

// The record's name is the service's display name measured to its
// terminator, or empty without one.
TEST_F(StartTest, RecordCarriesTheServiceDisplayName)
{
    for (bool named : {true, false}) {
        SCOPED_TRACE(named);
        host_.reset();
        host::Reboot();
        host::RegistryDeleteValue(kServiceKey, "DisplayName");
        named ? FullConfiguration() : MinimalConfiguration();
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        const UNICODE_STRING &name = host_->Record().DisplayName;
        EXPECT_EQ(std::u16string(name.Buffer, name.Length / sizeof(WCHAR)),
                  named ? u"Kestrom TARN Multi-Path DSM" : u"");
        EXPECT_EQ(name.MaximumLength, name.Length + sizeof(WCHAR));
        EXPECT_EQ(name.Buffer[name.Length / sizeof(WCHAR)], 0);
    }
}

// Unloading answers but stops nothing: the timer goes on, the pool stays.
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

    size_t blocks = host::PoolOutstanding(kTarnTag);
    EXPECT_EQ(host_->Unload(), STATUS_SUCCESS);
    host::ClockAdvance(500);
    EXPECT_EQ(context->TickCount, 16u);
    EXPECT_EQ(host::PoolOutstanding(kTarnTag), blocks);
}

TEST_F(StartTest, ServesMpioOneFifteenAndLater)
{
    MinimalConfiguration();
    const MPIO_VERSION_INFO versions[] = {{1, 15, 0, 0}, {1, 16, 0, 0}, {2, 0, 0, 0}};
    for (const MPIO_VERSION_INFO &version : versions) {
        SCOPED_TRACE(std::to_string(version.MajorVersion) + "." + std::to_string(version.MinorVersion));
        mpio::HostOptions options;
        options.Version = version;
        EXPECT_EQ(Start(options), STATUS_SUCCESS);
        host_.reset();
        host::Reboot();
    }
}

// A failed start leaves the machine as it found it: no pool, no timer,
// no open file object or registry handle, no registration with MPIO, no
// started event, and no trace provider (the image is unloaded after a
// failed start, and WMI would call its control routine).
void ExpectCleanFailure(const mpio::Host &mpio)
{
    EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolReport();
    EXPECT_EQ(host::ActiveTimers(), 0u);
    EXPECT_EQ(host::OutstandingFileObjects(), 0u);
    EXPECT_EQ(host::OpenRegistryHandles(), 0u);
    EXPECT_EQ(host::PendingErrorLogEntries(), 0u);
    EXPECT_FALSE(host::TraceProviderRegistered());
    EXPECT_FALSE(mpio.Registered());
    for (const auto &record : host::EventLog()) {
        EXPECT_NE(DriverTest::Packet(record)->ErrorCode, TARN_MSG_DSM_STARTED);
    }
    host::ClockAdvance(2000);
    EXPECT_EQ(host::DpcRuns(), 0u);
}

// Each way DriverEntry can fail: its status, its one event (or none) and
// the status in that event's dump data.
struct FailedStart {
    const char *Name;
    void (*Prepare)(mpio::HostOptions *options);
    NTSTATUS Status;
    NTSTATUS Event;         // 0: no event
    NTSTATUS Dump;
};

const FailedStart kFailedStarts[] = {
    // MPIO too old: refused before anything is built.
    {"Mpio1_14", [](mpio::HostOptions *o) { o->Version = {1, 14, 0, 0}; }, STATUS_UNSUCCESSFUL, 0, 0},
    {"Mpio0_99", [](mpio::HostOptions *o) { o->Version = {0, 99, 0, 0}; }, STATUS_UNSUCCESSFUL, 0, 0},
    {"Mpio0_15", [](mpio::HostOptions *o) { o->Version = {0, 15, 0, 0}; }, STATUS_UNSUCCESSFUL, 0, 0},
    // Logged with the call's status, but the start fails as unsuccessful.
    {"VersionQueryFails", [](mpio::HostOptions *o) { o->GetVersionStatus = STATUS_INVALID_DEVICE_REQUEST; },
     STATUS_UNSUCCESSFUL, TARN_MSG_SYSTEM_CALL_FAILED, STATUS_INVALID_DEVICE_REQUEST},
    {"NoSupportedDeviceList",
     [](mpio::HostOptions *) { host::RegistryDeleteValue(kParametersKey, "SupportedDeviceList"); },
     STATUS_UNSUCCESSFUL, TARN_MSG_NO_SUPPORTED_DEVICE_LIST, STATUS_OBJECT_NAME_NOT_FOUND},
    {"SupportedDeviceListOfAnotherType",
     [](mpio::HostOptions *) { host::RegistrySetString(kParametersKey, "SupportedDeviceList", kProductFc); },
     STATUS_UNSUCCESSFUL, TARN_MSG_NO_SUPPORTED_DEVICE_LIST, STATUS_OBJECT_TYPE_MISMATCH},
    {"NoMemoryForTheContext", [](mpio::HostOptions *) { host::PoolFailTag(kTarnTag); },
     STATUS_INSUFFICIENT_RESOURCES, TARN_MSG_NO_MEMORY, 0},
    {"NoControlDevice", [](mpio::HostOptions *o) { o->ControlDevice = false; }, STATUS_OBJECT_NAME_NOT_FOUND,
     TARN_MSG_SYSTEM_CALL_FAILED, STATUS_OBJECT_NAME_NOT_FOUND},
    {"ControlDeviceOpenFails",
     [](mpio::HostOptions *) { host::FailEveryCall(host::Call::IoGetDeviceObjectPointer); },
     STATUS_INSUFFICIENT_RESOURCES, TARN_MSG_SYSTEM_CALL_FAILED, STATUS_INSUFFICIENT_RESOURCES},
    {"RegistrationRefused", [](mpio::HostOptions *o) { o->RegistrationStatus = STATUS_ACCESS_DENIED; },
     STATUS_ACCESS_DENIED, TARN_MSG_SYSTEM_CALL_FAILED, STATUS_ACCESS_DENIED},
};

class FailedStartTest : public DriverTest, public ::testing::WithParamInterface<FailedStart> {};

TEST_P(FailedStartTest, FailsWithItsStatusAndEventAndLeavesNothing)
{
    // With boot-time tracing on, so the provider is live when the start fails.
    FullConfiguration();
    const std::string logger =
        "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\WMI\\GlobalLogger\\"
        "851d1af8-2933-441c-8b21-fefb85083c5a";
    host::RegistrySetDword(logger, "Start", 1);
    host::RegistrySetDword(logger, "Flags", TRDSM_ERROR_LEVEL);
    mpio::HostOptions options;
    GetParam().Prepare(&options);

    EXPECT_EQ(Start(options), GetParam().Status);
    host::PoolClearFailures();
    host::ClearCallFailures();

    if (GetParam().Event == 0) {
        EXPECT_TRUE(host::EventLog().empty());
        EXPECT_EQ(host_->RegistrationRequests(), 0u);
    } else {
        EXPECT_EQ(EventIds(), std::vector<NTSTATUS>{GetParam().Event});
        if (GetParam().Dump != 0) {
            EXPECT_EQ(DumpStatusOf(GetParam().Event), GetParam().Dump);
        } else {
            EXPECT_EQ(Packet(host::EventLog()[0])->DumpDataSize, 0u);
        }
    }
    ExpectCleanFailure(*host_);
}

INSTANTIATE_TEST_SUITE_P(Rows, FailedStartTest, ::testing::ValuesIn(kFailedStarts),
                         [](const ::testing::TestParamInfo<FailedStart> &info) { return info.param.Name; });

// MPIO may call in as soon as it holds the registration, from other
// threads: the request counters those calls change must be cleared
// before it does, not after.
TEST_F(StartTest, RequestCountersAreClearedBeforeMpioHoldsTheRegistration)
{
    MinimalConfiguration();
    mpio::HostOptions options;
    options.ControlDevice = false;
    DsmRequestCounters.GetPathCalls = 7;
    DsmRequestCounters.OutstandingRequests = 3;
    TARN_REQUEST_COUNTERS seen;
    memset(&seen, 0xFF, sizeof(seen));
    PDEVICE_OBJECT control = host::CreateDevice(
        u"\\DosDevices\\MPIOControl",
        [&seen](ULONG code, PVOID, ULONG, PVOID, ULONG, bool, PIO_STATUS_BLOCK status) {
            EXPECT_EQ(code, (ULONG)IOCTL_MPIO_REGISTER_DSM);
            seen = DsmRequestCounters;
            status->Status = STATUS_ACCESS_DENIED;
            status->Information = 0;
        });

    EXPECT_EQ(Start(options), STATUS_ACCESS_DENIED);
    host::DeleteDevice(control);
    EXPECT_EQ(seen.GetPathCalls, 0u);
    EXPECT_EQ(seen.SetCompletionCalls, 0u);
    EXPECT_EQ(seen.OutstandingRequests, 0);
}

TEST_F(StartTest, StartsWhenTheTraceProviderCannotRegister)
{
    FullConfiguration();
    host::FailEveryCall(host::Call::IoWMIRegistrationControl);

    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(host::InjectedCallFailures(host::Call::IoWMIRegistrationControl), 1u);
    EXPECT_FALSE(host::TraceProviderRegistered());
    EXPECT_EQ(EventIds(), std::vector<NTSTATUS>{TARN_MSG_DSM_STARTED});
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
    EXPECT_EQ(EventIds(), std::vector<NTSTATUS>{TARN_MSG_NO_SUPPORTED_DEVICE_LIST});
    EXPECT_EQ(DumpStatusOf(TARN_MSG_NO_SUPPORTED_DEVICE_LIST), STATUS_NAME_TOO_LONG);
    ExpectCleanFailure(*host_);
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
        EXPECT_TRUE(ids[0] == TARN_MSG_NO_MEMORY || ids[0] == TARN_MSG_NO_SUPPORTED_DEVICE_LIST ||
                    ids[0] == TARN_MSG_SYSTEM_CALL_FAILED)
            << std::hex << ids[0];
        EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL) << std::hex << status;
        ExpectCleanFailure(*host_);
    }
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
