// The driver's helpers: the event-log packet it builds, byte for byte and
// at its size limit; work items and their release; owned counted
// strings; and the code-name lookups with their fallbacks.
#include "driverfixture.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

namespace tarntest {
namespace {

class UtilTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        DsmIoObject = host::CreateDriverObject(u"\\Driver\\tarndsm");
    }

    static std::vector<uint8_t> OnlyPacket()
    {
        auto events = host::EventLog();
        EXPECT_EQ(events.size(), 1u);
        return events.empty() ? std::vector<uint8_t>() : events[0].Packet;
    }
};

TEST_F(UtilTest, TwoStringsOfTwentyFiveCharactersFillTheLargestEntry)
{
    std::string a(25, 'a');
    std::string b(25, 'b');
    DsmLogEvent(DsmIoObject, TARN_MSG_NEW_LOGICAL_DRIVE, a.c_str(), b.c_str(), NULL, 0);

    std::vector<uint8_t> bytes = OnlyPacket();
    ASSERT_EQ(bytes.size(), 152u);
    auto *packet = reinterpret_cast<const IO_ERROR_LOG_PACKET *>(bytes.data());
    EXPECT_EQ(packet->ErrorCode, TARN_MSG_NEW_LOGICAL_DRIVE);
    EXPECT_EQ(packet->NumberOfStrings, 2u);
    EXPECT_EQ(packet->DumpDataSize, 0u);
    EXPECT_EQ(packet->StringOffset, FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData));
    // Everything the writer does not fill stays zero.
    EXPECT_EQ(packet->MajorFunctionCode, 0u);
    EXPECT_EQ(packet->UniqueErrorValue, 0u);
    EXPECT_EQ(packet->FinalStatus, 0);
    EXPECT_EQ(packet->DeviceOffset.QuadPart, 0);
    EXPECT_EQ(host::EventDescription(host::EventLog()[0]),
              "Found new logical drive [SN: " + a + "] on path " + b + ".");

    // One more character and the entry no longer fits: it is dropped.
    host::ClearEventLog();
    std::string longer(26, 'c');
    DsmLogEvent(DsmIoObject, TARN_MSG_NEW_LOGICAL_DRIVE, a.c_str(), longer.c_str(), NULL, 0);
    EXPECT_TRUE(host::EventLog().empty());
    EXPECT_EQ(host::PendingErrorLogEntries(), 0u);
}

TEST_F(UtilTest, DumpDataIsRoundedToWholeWordsWithZeroPadding)
{
    NTSTATUS status = STATUS_IO_TIMEOUT;
    DsmLogEvent(DsmIoObject, TARN_MSG_SYSTEM_CALL_FAILED, NULL, NULL, &status, sizeof(status));
    std::vector<uint8_t> four = OnlyPacket();
    EXPECT_EQ(four.size(), 48u);    // four bytes fit the fixed packet
    auto *packet = reinterpret_cast<const IO_ERROR_LOG_PACKET *>(four.data());
    EXPECT_EQ(packet->DumpDataSize, 4u);
    EXPECT_EQ((NTSTATUS)packet->DumpData[0], STATUS_IO_TIMEOUT);
    EXPECT_EQ(packet->NumberOfStrings, 0u);
    EXPECT_EQ(packet->StringOffset, 0u);

    host::ClearEventLog();
    const uint8_t five[5] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    DsmLogEvent(DsmIoObject, TARN_MSG_SYSTEM_CALL_FAILED, "x", NULL, (PVOID)five, sizeof(five));
    std::vector<uint8_t> bytes = OnlyPacket();
    packet = reinterpret_cast<const IO_ERROR_LOG_PACKET *>(bytes.data());
    EXPECT_EQ(bytes.size(), 48u + 8u + 2u * 2u);
    EXPECT_EQ(packet->DumpDataSize, 8u);
    const uint8_t *dump = reinterpret_cast<const uint8_t *>(packet->DumpData);
    EXPECT_EQ(memcmp(dump, five, 5), 0);
    EXPECT_EQ(dump[5] | dump[6] | dump[7], 0);
    // The string follows the rounded dump data directly.
    EXPECT_EQ(packet->StringOffset, FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData) + 8);
    EXPECT_EQ(packet->NumberOfStrings, 1u);
}

// Written under a spin lock, as the timer's paths do.
TEST_F(UtilTest, StringsAreWidenedByteForByteEvenUnderTheSpinLock)
{
    const char text[] = {'A', (char)233, 'z', 0};
    KSPIN_LOCK lock;
    KIRQL oldIrql;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLock(&lock, &oldIrql);
    DsmLogEvent(DsmIoObject, TARN_MSG_LOGICAL_DRIVE_REMOVED, NULL, text, NULL, 0);
    DsmLogEvent(DsmIoObject, TARN_MSG_FAILOVER, "0123", "[123 2:0:1:1f]", NULL, 0);
    KeReleaseSpinLock(&lock, oldIrql);

    auto events = host::EventLog();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(host::EventDescription(events[1]),
              "The path for logical drive [SN: 0123] has failed over to [123 2:0:1:1f] because of a path error.");
    // A lone second string becomes the only string, in the first place.
    EXPECT_EQ(Packet(events[0])->NumberOfStrings, 1u);
    std::vector<std::u16string> strings = host::EventStrings(events[0]);
    ASSERT_EQ(strings.size(), 1u);
    EXPECT_EQ(strings[0], (std::u16string{u'A', (char16_t)233, u'z'}));
}

TEST_F(UtilTest, CountedStringCopyOwnsItsCharactersAndTerminator)
{
    const WCHAR source[] = u"Services\\tarndsm-not-this";
    PUNICODE_STRING copy = NULL;
    ASSERT_EQ(DsmCopyCountedString(&copy, source, 16 * sizeof(WCHAR)), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(copy->Buffer, copy->Length / sizeof(WCHAR)), u"Services\\tarndsm");
    EXPECT_EQ(copy->Buffer[16], 0);
    EXPECT_EQ((const void *)copy->Buffer, (const void *)(copy + 1));   // one block
    ASSERT_EQ(host::PoolBlocks().size(), 1u);
    EXPECT_EQ(host::PoolBlocks()[0].Tag, kTarnTag);
    DsmFreePool(copy);

    // The header's length runs to the first NUL of the copy.
    const WCHAR embedded[] = {u'a', u'b', 0, u'c'};
    ASSERT_EQ(DsmCopyCountedString(&copy, embedded, sizeof(embedded)), STATUS_SUCCESS);
    EXPECT_EQ(copy->Length, 2 * sizeof(WCHAR));
    DsmFreePool(copy);

    host::PoolFailTag(kTarnTag);
    EXPECT_EQ(DsmCopyCountedString(&copy, source, 4), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(host::PoolOutstanding(), 0u);
}

struct WorkSeen {
    int Runs = 0;
    KIRQL Irql = HIGH_LEVEL;
    DSM_WORKITEM_RECORD Record{};
    PDEVICE_OBJECT Device = nullptr;
};
WorkSeen g_seen;

VOID NTAPI RecordingWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    auto *record = static_cast<PDSM_WORKITEM_RECORD>(Context);
    g_seen.Runs++;
    g_seen.Irql = KeGetCurrentIrql();
    g_seen.Record = *record;
    g_seen.Device = DeviceObject;
    DsmFreePool(record);    // the routine owns its record
}

TEST_F(UtilTest, QueuedWorkRunsAtPassiveWithItsRecordAndReleasesTheWorkItem)
{
    g_seen = WorkSeen();
    PDEVICE_OBJECT device = host::CreateDevice(u"", nullptr);
    auto *context = reinterpret_cast<PDSM_CONTEXT>(0x1000);
    PVOID ld = reinterpret_cast<PVOID>(0x2000);
    PVOID pdo = reinterpret_cast<PVOID>(0x3000);

    // Queuing is allowed from the timer's level, under the lock.
    KSPIN_LOCK lock;
    KIRQL oldIrql;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLock(&lock, &oldIrql);
    DsmQueueWorkItem(context, ld, pdo, device, RecordingWorker);
    KeReleaseSpinLock(&lock, oldIrql);
    EXPECT_EQ(g_seen.Runs, 0);

    EXPECT_EQ(host::DrainWorkItems(), 1u);
    EXPECT_EQ(g_seen.Runs, 1);
    EXPECT_EQ(g_seen.Irql, PASSIVE_LEVEL);
    EXPECT_EQ(g_seen.Record.DsmContext, context);
    EXPECT_EQ(g_seen.Record.LdEntry, ld);
    EXPECT_EQ(g_seen.Record.PdoEntry, pdo);
    EXPECT_EQ(g_seen.Device, device);
    // The record was freed by the routine and the work item after it.
    EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolReport();
}

TEST_F(UtilTest, QueuingWithoutMemoryOrAWorkItemDropsTheWorkAndLeaksNothing)
{
    g_seen = WorkSeen();
    PDEVICE_OBJECT device = host::CreateDevice(u"", nullptr);

    host::PoolFailNth(1);   // the record
    DsmQueueWorkItem(NULL, NULL, NULL, device, RecordingWorker);
    host::PoolFailNth(2);   // the platform's work item
    DsmQueueWorkItem(NULL, NULL, NULL, device, RecordingWorker);
    host::PoolClearFailures();
    host::FailCallNth(host::Call::IoAllocateWorkItem, 1);
    DsmQueueWorkItem(NULL, NULL, NULL, device, RecordingWorker);
    EXPECT_EQ(host::InjectedCallFailures(host::Call::IoAllocateWorkItem), 1u);

    EXPECT_EQ(host::PendingWorkItems(), 0u);
    EXPECT_EQ(host::DrainWorkItems(), 0u);
    EXPECT_EQ(g_seen.Runs, 0);
    EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolReport();
}

TEST_F(UtilTest, CodeNamesFallBackToHexText)
{
    EXPECT_STREQ(DsmStatusName(STATUS_SUCCESS), "STATUS_SUCCESS");
    EXPECT_STREQ(DsmStatusName(STATUS_IO_TIMEOUT), "STATUS_IO_TIMEOUT");
    EXPECT_STREQ(DsmStatusName(STATUS_PENDING), "STATUS_PENDING");
    EXPECT_STREQ(DsmStatusName(STATUS_INVALID_DEVICE_REQUEST), "0xC0000010");

    EXPECT_STREQ(DsmSrbStatusName(SRB_STATUS_SUCCESS), "SRB_STATUS_SUCCESS");
    EXPECT_STREQ(DsmSrbStatusName(0x124), "SRB_STATUS_NOT_POWERED");   // low 8 bits compared
    EXPECT_STREQ(DsmSrbStatusName(0x84), "0x84");                       // error with sense: no row
    EXPECT_STREQ(DsmSrbStatusName(0x0C), "0xC");

    EXPECT_STREQ(DsmSrbFunctionName(SRB_FUNCTION_RESET_LOGICAL_UNIT), "SRB_FUNCTION_RESET_LOGICAL_UNIT");
    EXPECT_STREQ(DsmSrbFunctionName(0x09), "0x9");

    EXPECT_STREQ(DsmPathHealthName(PDO_HEALTH_INIT_START), "PDO_HEALTH_INIT_START");
    EXPECT_STREQ(DsmPathHealthName(PDO_HEALTH_REMOVED), "PDO_HEALTH_REMOVED");
    EXPECT_EQ(DsmPathHealthName(9), nullptr);

    // Each use has its own fallback text: two in one trace call stay apart.
    EXPECT_STRNE(DsmStatusName(0xC0000010), DsmStatusName(0xC0000011));
}

// Threads tracing unknown codes at once each get their own value's text
// (a shared buffer gave one thread the other's digits).
TEST_F(UtilTest, CodeNameFallbacksAreNotSharedBetweenThreads)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (ULONG t = 0; t < 4; t++) {
        threads.emplace_back([t, &wrong] {
            char expected[16];
            for (ULONG i = 0; i < 2000; i++) {
                ULONG value = 0xC0010000 + t * 0x1000 + i;
                snprintf(expected, sizeof(expected), "0x%X", value);
                if (strcmp(DsmStatusName((NTSTATUS)value), expected) != 0) {
                    wrong++;
                }
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
} // namespace tarntest
