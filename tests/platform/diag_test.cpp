// The error log and software tracing of the user-mode kernel.
#include "core_testutil.h"

#include <gmock/gmock.h>

#include <cstring>

using coretest::VerifierRecorder;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

constexpr size_t kFixed = sizeof(IO_ERROR_LOG_PACKET);
constexpr size_t kDumpOffset = offsetof(IO_ERROR_LOG_PACKET, DumpData);

// 2026-12-06 19:13:31 UTC in 100 ns units since 1601.
constexpr int64_t kBootTime = 134410580110000000LL;

// The test's own message table: one event of each severity.
constexpr ULONG kNewDrive = 0x40000102u, kPathRemoved = 0x80000201u, kNoMemory = 0xC0000001u, kSuccess = 7;
constexpr ULONG kNotInTable = 0xC0040123u;

const host::MessageEntry kMessages[] = {
    {kNewDrive, "NEW_DRIVE", "Found new logical drive [SN: %2] on path %3.\r\n"},
    {kPathRemoved, "PATH_REMOVED", "Rate %2%% on %1.%tNot here: %4%r\r\n"},
    {kNoMemory, "NO_MEMORY", "Could not allocate memory.\r\nSecond line.%0 hidden\r\n"},
    {kSuccess, "SUCCESS", "Fine.\r\n"},
};

void PutStrings(uint8_t *entry, size_t offset, std::initializer_list<std::u16string> strings)
{
    for (const std::u16string &s : strings) {
        memcpy(entry + offset, s.c_str(), (s.size() + 1) * sizeof(char16_t));
        offset += (s.size() + 1) * sizeof(char16_t);
    }
}

// Logs a packet with the given code and strings and no dump data.
host::EventRecord LogWithStrings(PDRIVER_OBJECT driver, NTSTATUS code, std::initializer_list<std::u16string> strings)
{
    size_t size = kFixed;
    for (const std::u16string &s : strings) {
        size += (s.size() + 1) * 2;
    }
    auto *packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver, (UCHAR)size));
    EXPECT_NE(packet, nullptr);
    packet->ErrorCode = code;
    packet->NumberOfStrings = (USHORT)strings.size();
    packet->StringOffset = (USHORT)kFixed;
    PutStrings(reinterpret_cast<uint8_t *>(packet), kFixed, strings);
    IoWriteErrorLogEntry(packet);
    return host::EventLog().back();
}

TEST(DiagErrorLog, PacketIsKeptByteForByteAndRenderedAsEventViewerShowsIt)
{
    host::SetBootSystemTime(kBootTime);
    host::RegisterMessageTable(u"tarndsm", kMessages, RTL_NUMBER_OF(kMessages));
    PDRIVER_OBJECT driver = host::CreateDriverObject(u"\\Driver\\tarndsm");

    const std::u16string serial = u"SN1";
    const std::u16string path = u"Path 2";
    const size_t stringOffset = kDumpOffset + 8;
    const size_t size = stringOffset + (serial.size() + 1 + path.size() + 1) * 2;
    auto *packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver, (UCHAR)size));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(host::PendingErrorLogEntries(), 1u);
    packet->ErrorCode = (NTSTATUS)kNewDrive;
    packet->UniqueErrorValue = 0x41424344;
    packet->DumpDataSize = 8;
    packet->DumpData[0] = 0x11223344;
    packet->DumpData[1] = 0x55667788;
    packet->NumberOfStrings = 2;
    packet->StringOffset = (USHORT)stringOffset;
    PutStrings(reinterpret_cast<uint8_t *>(packet), stringOffset, {serial, path});
    std::vector<uint8_t> written(reinterpret_cast<uint8_t *>(packet), reinterpret_cast<uint8_t *>(packet) + size);
    IoWriteErrorLogEntry(packet);

    EXPECT_EQ(host::PendingErrorLogEntries(), 0u);
    std::vector<host::EventRecord> log = host::EventLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].Packet, written);
    EXPECT_EQ(log[0].Source, u"tarndsm");
    EXPECT_EQ(log[0].SystemTime, kBootTime);
    EXPECT_THAT(host::EventStrings(log[0]), ElementsAre(serial, path));
    EXPECT_EQ(host::EventDescription(log[0]), "Found new logical drive [SN: SN1] on path Path 2.");

    EXPECT_EQ(host::RenderEvent(log[0]),
              "Event Type:\tInformation\n"
              "Event Source:\ttarndsm\n"
              "Event Category:\tNone\n"
              "Event ID:\t258\n"
              "Date:\t\t12/6/2026\n"
              "Time:\t\t7:13:31 PM\n"
              "Description:\n"
              "Found new logical drive [SN: SN1] on path Path 2.\n"
              "Data:\n"
              "0000: 00 00 08 00 02 00 30 00   ......0.\n"
              "0008: 00 00 00 00 02 01 00 40   .......@\n"
              "0010: 44 43 42 41 00 00 00 00   DCBA....\n"
              "0018: 00 00 00 00 00 00 00 00   ........\n"
              "0020: 00 00 00 00 00 00 00 00   ........\n"
              "0028: 44 33 22 11 88 77 66 55   D3\"..wfU\n");
}

TEST(DiagErrorLog, TypesDescriptionsAndUnknownIds)
{
    host::RegisterMessageTable(u"tarndsm", kMessages, RTL_NUMBER_OF(kMessages));
    PDRIVER_OBJECT driver = host::CreateDriverObject(u"\\Driver\\tarndsm");

    host::EventRecord warning = LogWithStrings(driver, (NTSTATUS)kPathRemoved, {u"5"});
    EXPECT_THAT(host::RenderEvent(warning), HasSubstr("Event Type:\tWarning\nEvent Source:\ttarndsm\n"));
    EXPECT_THAT(host::RenderEvent(warning), HasSubstr("Event ID:\t513\n"));
    // %% and %t are escapes; an insertion without a string stays as written.
    EXPECT_EQ(host::EventDescription(warning), "Rate 5% on tarndsm.\tNot here: %4");

    host::EventRecord error = LogWithStrings(driver, (NTSTATUS)kNoMemory, {});
    EXPECT_THAT(host::RenderEvent(error), HasSubstr("Event Type:\tError\n"));
    EXPECT_EQ(host::EventDescription(error), "Could not allocate memory.\r\nSecond line.");
    EXPECT_THAT(host::RenderEvent(error), HasSubstr("Description:\nCould not allocate memory.\nSecond line.\nData:\n"));

    EXPECT_THAT(host::RenderEvent(LogWithStrings(driver, kSuccess, {})), HasSubstr("Event Type:\tInformation\n"));

    host::EventRecord unknown = LogWithStrings(driver, (NTSTATUS)kNotInTable, {u"a", u"b"});
    EXPECT_EQ(host::EventDescription(unknown),
              "The description for Event ID ( 291 ) in Source ( tarndsm ) cannot be found. The local computer may "
              "not have the necessary registry information or message DLL files to display messages from a remote "
              "computer. You may be able to use the /AUXSOURCE= flag to retrieve this description; see Help and "
              "Support for details. The following information is part of the event: tarndsm, a, b.");

    std::vector<host::EventRecord> log = host::EventLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_LT(log[0].Sequence, log[3].Sequence);

    // The log outlives a restart; only a clean machine empties it.
    host::Reboot();
    EXPECT_EQ(host::EventLog().size(), 4u);
    host::ClearEventLog();
    EXPECT_TRUE(host::EventLog().empty());
}

TEST(DiagErrorLog, EntrySizeLimitsPendingEntriesAndTheirSource)
{
    PDRIVER_OBJECT driver = host::CreateDriverObject(u"\\Driver\\tarndsm");

    EXPECT_EQ(IoAllocateErrorLogEntry(driver, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(driver, 255), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(driver, (UCHAR)(kFixed - 1)), nullptr);
    EXPECT_EQ(host::PendingErrorLogEntries(), 0u);

    // Allowed up to DISPATCH_LEVEL, and handed out zero-filled.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    auto *largest = static_cast<uint8_t *>(IoAllocateErrorLogEntry(driver, ERROR_LOG_MAXIMUM_SIZE));
    KeLowerIrql(old);
    ASSERT_NE(largest, nullptr);
    EXPECT_EQ(std::count(largest, largest + ERROR_LOG_MAXIMUM_SIZE, 0), ERROR_LOG_MAXIMUM_SIZE);
    EXPECT_NE(IoAllocateErrorLogEntry(driver, (UCHAR)kFixed), nullptr);
    EXPECT_EQ(host::PendingErrorLogEntries(), 2u);

    // Entries never written are dropped by a restart, not logged.
    host::Reboot();
    EXPECT_EQ(host::PendingErrorLogEntries(), 0u);
    EXPECT_TRUE(host::EventLog().empty());

    // A device's entry is logged under its driver's name.
    driver = host::CreateDriverObject(u"\\Driver\\tarndsm");
    PDEVICE_OBJECT device = host::CreateDevice(u"", nullptr);
    device->DriverObject = driver;
    void *entry = IoAllocateErrorLogEntry(device, (UCHAR)kFixed);
    ASSERT_NE(entry, nullptr);
    IoWriteErrorLogEntry(entry);
    EXPECT_EQ(host::EventLog().at(0).Source, u"tarndsm");
}

TEST(DiagErrorLog, MalformedPacketsAndMisusedEntriesAreVerifierFailures)
{
    PDRIVER_OBJECT driver = host::CreateDriverObject(u"\\Driver\\tarndsm");
    VerifierRecorder verifier;

    DRIVER_OBJECT fake;
    memset(&fake, 0, sizeof(fake));
    EXPECT_EQ(IoAllocateErrorLogEntry(&fake, (UCHAR)kFixed), nullptr);
    EXPECT_THAT(verifier.One(), HasSubstr("not a driver or device object"));

    struct Case {
        const char *Expected;
        size_t Size;
        USHORT DumpDataSize, NumberOfStrings, StringOffset;
    };
    const Case cases[] = {
        {"DumpDataSize 16 runs past", kFixed + 4, 16, 0, 0},
        {"lies inside the fixed part or the dump data", kFixed + 8, 8, 1, (USHORT)(kDumpOffset + 4)},
        {"string 1 of 1 is not NUL-terminated", kFixed + 8, 0, 1, (USHORT)kFixed},
        {"string 2 of 2 is not NUL-terminated", kFixed + 6, 0, 2, (USHORT)kFixed},
        {"string 1 of 1 is not NUL-terminated", kFixed, 0, 1, (USHORT)kFixed},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Expected);
        auto *packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver, (UCHAR)c.Size));
        ASSERT_NE(packet, nullptr);
        uint8_t *bytes = reinterpret_cast<uint8_t *>(packet);
        memset(bytes + kFixed, 'x', c.Size - kFixed);
        if (c.NumberOfStrings == 2) {
            memset(bytes + kFixed, 0, 2);   // the first string is empty, the second runs off the end
        }
        packet->DumpDataSize = c.DumpDataSize;
        packet->NumberOfStrings = c.NumberOfStrings;
        packet->StringOffset = c.StringOffset;
        IoWriteErrorLogEntry(packet);
        EXPECT_THAT(verifier.One(), HasSubstr(c.Expected));
    }
    EXPECT_TRUE(host::EventLog().empty());
    EXPECT_EQ(host::PendingErrorLogEntries(), 0u);

    // A string ending exactly at the end of the entry is fine.
    auto *exact = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver, (UCHAR)(kFixed + 4)));
    exact->NumberOfStrings = 1;
    exact->StringOffset = (USHORT)(kFixed + 0);
    PutStrings(reinterpret_cast<uint8_t *>(exact), kFixed, {u"a"});
    IoWriteErrorLogEntry(exact);
    EXPECT_EQ(verifier.One(), "");
    IoWriteErrorLogEntry(exact);
    EXPECT_THAT(verifier.One(), HasSubstr("or written already"));
    EXPECT_EQ(host::EventLog().size(), 1u);
}

//
// Tracing.  The provider below answers the control requests as a kernel
// trace provider does and records what it was told.
//
const GUID kTracedGuid = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kControlGuid = {0xAAAAAAAA, 0xBBBB, 0xCCCC, {9, 8, 7, 6, 5, 4, 3, 2}};
const GUID kMessageGuid = {0x12345678, 0x9ABC, 0xDEF0, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}};

enum class RegInfoAnswer { Good, TooSmallFirst, NoGuids, PastBuffer };

struct FakeProvider {
    WMIENTRY Routine;           // first, as the registration requires
    RegInfoAnswer Answer = RegInfoAnswer::Good;
    std::vector<ULONG> RegInfoSizes;
    KIRQL RegInfoIrql = HIGH_LEVEL;
    std::vector<UCHAR> Requests;
    TRACEHANDLE Logger = 0;
    GUID EnabledGuid = {};
    ULONG Flags = 0;
    ULONG Level = 0;
};

NTSTATUS NTAPI FakeControl(UCHAR code, PVOID, ULONG bufferSize, PVOID buffer, PVOID context, PULONG size)
{
    auto *provider = static_cast<FakeProvider *>(context);
    if (code == IRP_MN_REGINFO) {
        provider->RegInfoSizes.push_back(bufferSize);
        provider->RegInfoIrql = KeGetCurrentIrql();
        ULONG needed = offsetof(WMIREGINFO, WmiRegGuid) + 2 * sizeof(WMIREGGUID);
        if (provider->Answer == RegInfoAnswer::TooSmallFirst && bufferSize < 6000) {
            *size = 6000;
            return STATUS_BUFFER_TOO_SMALL;
        }
        auto *info = static_cast<PWMIREGINFO>(buffer);
        info->BufferSize = provider->Answer == RegInfoAnswer::PastBuffer ? bufferSize + 1 : needed;
        info->GuidCount = provider->Answer == RegInfoAnswer::NoGuids ? 0 : 2;
        info->WmiRegGuid[0].Guid = kTracedGuid;
        info->WmiRegGuid[0].Flags = WMIREG_FLAG_TRACED_GUID;
        info->WmiRegGuid[1].Guid = kControlGuid;
        info->WmiRegGuid[1].Flags = WMIREG_FLAG_TRACED_GUID | WMIREG_FLAG_TRACE_CONTROL_GUID;
        *size = needed;
        return STATUS_SUCCESS;
    }
    provider->Requests.push_back(code);
    auto *header = static_cast<PWNODE_HEADER>(buffer);
    if (code == IRP_MN_ENABLE_EVENTS) {
        provider->Logger = header->HistoricalContext;
        provider->EnabledGuid = header->Guid;
        EXPECT_EQ(WmiQueryTraceInformation(TraceEnableFlagsClass, &provider->Flags, sizeof(ULONG), nullptr, buffer),
                  STATUS_SUCCESS);
        EXPECT_EQ(WmiQueryTraceInformation(TraceEnableLevelClass, &provider->Level, sizeof(ULONG), nullptr, buffer),
                  STATUS_SUCCESS);
    } else if (code == IRP_MN_DISABLE_EVENTS) {
        EXPECT_EQ(header->HistoricalContext, provider->Logger);
        provider->Logger = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Register(FakeProvider *provider)
{
    provider->Routine = &FakeControl;
    return IoWMIRegistrationControl(reinterpret_cast<PDEVICE_OBJECT>(provider),
                                    WMIREG_ACTION_REGISTER | WMIREG_FLAG_CALLBACK);
}

NTSTATUS QueryFlags(TRACEHANDLE logger, ULONG *flags, ULONG length = sizeof(ULONG), ULONG *required = nullptr)
{
    WNODE_HEADER header = {};
    header.HistoricalContext = logger;
    return WmiQueryTraceInformation(TraceEnableFlagsClass, flags, length, required, &header);
}

TEST(DiagTrace, RegistrationAsksForRegInfoAndASessionEnablesTheProvider)
{
    FakeProvider provider;
    EXPECT_FALSE(host::TraceEnable(1, 1));      // nobody to enable yet
    ASSERT_EQ(Register(&provider), STATUS_SUCCESS);
    EXPECT_THAT(provider.RegInfoSizes, ElementsAre(4096u));
    EXPECT_EQ(provider.RegInfoIrql, PASSIVE_LEVEL);
    EXPECT_TRUE(host::TraceProviderRegistered());

    ASSERT_TRUE(host::TraceEnable(0x5, 4));
    EXPECT_EQ(provider.Logger, 2u);
    EXPECT_EQ(provider.Flags, 0x5u);
    EXPECT_EQ(provider.Level, 4u);
    EXPECT_EQ(memcmp(&provider.EnabledGuid, &kControlGuid, sizeof(GUID)), 0);

    // The session's settings, asked for by logger: the length is checked,
    // and the boot-time logger is always known.
    ULONG flags = 0xFFFFFFFF;
    ULONG required = 0;
    EXPECT_EQ(QueryFlags(2, &flags, sizeof(UCHAR), &required), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(required, sizeof(ULONG));
    EXPECT_EQ(flags, 0xFFFFFFFFu);
    EXPECT_EQ(QueryFlags(2, &flags), STATUS_SUCCESS);
    EXPECT_EQ(flags, 0x5u);
    EXPECT_EQ(QueryFlags(1, &flags), STATUS_SUCCESS);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(QueryFlags(77, &flags), STATUS_INVALID_HANDLE);
    WNODE_HEADER header = {};
    EXPECT_EQ(WmiQueryTraceInformation(TraceIdClass, &flags, sizeof(flags), nullptr, &header),
              STATUS_INVALID_PARAMETER);

    host::TraceDisable();
    EXPECT_EQ(provider.Logger, 0u);
    EXPECT_EQ(QueryFlags(2, &flags), STATUS_INVALID_HANDLE);
    EXPECT_THAT(provider.Requests, ElementsAre(IRP_MN_ENABLE_EVENTS, IRP_MN_DISABLE_EVENTS));

    // A new session gets a new logger; the old one stays forgotten.
    ASSERT_TRUE(host::TraceEnable(0x1, 2));
    EXPECT_EQ(provider.Logger, 3u);

    // A provider that needs a larger buffer is asked again; it replaces
    // the first and is enabled by the running session at once.
    FakeProvider second;
    second.Answer = RegInfoAnswer::TooSmallFirst;
    ASSERT_EQ(Register(&second), STATUS_SUCCESS);
    EXPECT_THAT(second.RegInfoSizes, ElementsAre(4096u, 6000u));
    EXPECT_EQ(second.Logger, 3u);
    EXPECT_EQ(second.Flags, 0x1u);

    EXPECT_EQ(IoWMIRegistrationControl(reinterpret_cast<PDEVICE_OBJECT>(&provider),
                                       WMIREG_ACTION_DEREGISTER | WMIREG_FLAG_CALLBACK),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoWMIRegistrationControl(reinterpret_cast<PDEVICE_OBJECT>(&second),
                                       WMIREG_ACTION_DEREGISTER | WMIREG_FLAG_CALLBACK),
              STATUS_SUCCESS);
    EXPECT_FALSE(host::TraceProviderRegistered());
    EXPECT_EQ(IoWMIRegistrationControl(reinterpret_cast<PDEVICE_OBJECT>(&second),
                                       WMIREG_ACTION_UPDATE_GUIDS | WMIREG_FLAG_CALLBACK),
              STATUS_INVALID_PARAMETER);
}

TEST(DiagTrace, MalformedRegInfoIsAVerifierFailure)
{
    VerifierRecorder verifier;
    for (RegInfoAnswer answer : {RegInfoAnswer::NoGuids, RegInfoAnswer::PastBuffer}) {
        FakeProvider provider;
        provider.Answer = answer;
        EXPECT_FALSE(NT_SUCCESS(Register(&provider)));
        EXPECT_THAT(verifier.One(), HasSubstr("malformed IRP_MN_REGINFO answer"));
        EXPECT_FALSE(host::TraceProviderRegistered());
    }
}

// A trace site as the format scanner would collect it.
const host::TraceFormat kFormats[] = {
    {kMessageGuid, "tarnmod", 10, 12, 0x4, "TRDSM_TRACE_LEVEL",
     "%s: %u %d %x|%08X %I64u %c %wZ %p [%-5s] 100%%", "STR,ULONG,LONG,ULONG,ULONG,ULONGLONG,UCHAR,USTR,PTR,STR"},
    {kMessageGuid, "tarnmod", 20, 20, 0x1, "TRDSM_ERROR_LEVEL", "failed 0x%08X", "ULONG"},
};

TEST(DiagTrace, MessagesAreCapturedAndRenderedByArgumentKind)
{
    host::RegisterTraceFormats(kFormats, RTL_NUMBER_OF(kFormats));
    FakeProvider provider;
    ASSERT_EQ(Register(&provider), STATUS_SUCCESS);
    ASSERT_TRUE(host::TraceEnable(0xFF, 5));
    TRACEHANDLE logger = provider.Logger;

    const char *name = "DsmInquire";
    ULONG u = 42;
    LONG d = -7;
    ULONG x = 0xBEEF;
    ULONG wide = 0xAB;
    ULONGLONG big = 12345678901234ULL;
    UCHAR c = 'Q';
    const char16_t text[] = u"Disk\u00e9 0";     // counted: no NUL passed
    ULONG_PTR pointer = 0x1234;
    const char *shortText = "ab";
    ASSERT_EQ(WmiTraceMessage(logger, TRACE_MESSAGE_GUID, &kMessageGuid, 11, name, (SIZE_T)strlen(name) + 1, &u,
                              (SIZE_T)4, &d, (SIZE_T)4, &x, (SIZE_T)4, &wide, (SIZE_T)4, &big, (SIZE_T)8, &c,
                              (SIZE_T)1, text, (SIZE_T)(7 * 2), &pointer, (SIZE_T)sizeof(pointer), shortText,
                              (SIZE_T)3, (const void *)NULL),
              STATUS_SUCCESS);
    ULONG status = 0xC0000001;
    // Raised, as a trace from a DPC or under a spin lock is.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(WmiTraceMessage(logger, TRACE_MESSAGE_GUID, &kMessageGuid, 20, &status, (SIZE_T)4, (const void *)NULL),
              STATUS_SUCCESS);
    KeLowerIrql(old);
    EXPECT_EQ(WmiTraceMessage(logger, TRACE_MESSAGE_GUID, &kControlGuid, 99, &u, (SIZE_T)4, (const void *)NULL),
              STATUS_SUCCESS);

    std::vector<host::TraceRecord> records = host::TraceRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].Logger, logger);
    EXPECT_EQ(records[0].MessageNumber, 11u);
    ASSERT_EQ(records[0].Arguments.size(), 10u);
    EXPECT_EQ(records[0].Arguments[0], std::vector<uint8_t>(name, name + strlen(name) + 1));
    EXPECT_EQ(records[0].Arguments[7].size(), 14u);
    EXPECT_LT(records[0].Sequence, records[1].Sequence);
    EXPECT_EQ(host::FindTraceFormat(records[0]), &kFormats[0]);

    std::string pointerText = sizeof(ULONG_PTR) == 8 ? "0x0000000000001234" : "0x00001234";
    EXPECT_EQ(host::RenderTrace(records[0]), "[tarnmod] TRACE DsmInquire: 42 -7 beef|000000AB 12345678901234 Q "
                                             "Disk\xc3\xa9 0 " +
                                                 pointerText + " [ab   ] 100%");
    EXPECT_EQ(host::RenderTrace(records[1]), "[tarnmod] ERROR failed 0xC0000001");
    EXPECT_EQ(host::RenderTrace(records[2]), "[unknown {AAAAAAAA-BBBB-CCCC-0908-070605040302} 99] 4 argument bytes");

    EXPECT_THAT(host::RenderTraces(0x1), ElementsAre("[tarnmod] ERROR failed 0xC0000001"));
    EXPECT_EQ(host::RenderTraces(0x4).size(), 1u);
    EXPECT_EQ(host::RenderTraces().size(), 3u);
}

TEST(DiagTrace, UnknownAndEndedLoggersAreIgnoredAndRebootForgetsTheProvider)
{
    FakeProvider provider;
    ASSERT_EQ(Register(&provider), STATUS_SUCCESS);
    ULONG u = 1;
    EXPECT_EQ(WmiTraceMessage(7, 0, &kMessageGuid, 11, &u, (SIZE_T)4, (const void *)NULL), STATUS_INVALID_HANDLE);
    ASSERT_TRUE(host::TraceEnable(0x1, 1));
    host::TraceDisable();
    EXPECT_EQ(WmiTraceMessage(2, 0, &kMessageGuid, 11, &u, (SIZE_T)4, (const void *)NULL), STATUS_INVALID_HANDLE);
    EXPECT_TRUE(host::TraceRecords().empty());

    // The boot-time logger needs no session.
    EXPECT_EQ(WmiTraceMessage(1, 0, &kMessageGuid, 11, (const void *)NULL), STATUS_SUCCESS);
    EXPECT_EQ(host::TraceRecords().size(), 1u);

    {
        VerifierRecorder verifier;
        std::vector<uint8_t> huge(64 * 1024 + 1);
        EXPECT_EQ(WmiTraceMessage(1, 0, &kMessageGuid, 11, huge.data(), (SIZE_T)huge.size(), (const void *)NULL),
                  STATUS_INVALID_PARAMETER);
        EXPECT_THAT(verifier.One(), HasSubstr("65537 bytes long"));
    }
    EXPECT_EQ(host::TraceRecords().size(), 1u);

    host::Reboot();
    EXPECT_FALSE(host::TraceProviderRegistered());
    EXPECT_TRUE(host::TraceRecords().empty());
}

} // namespace
