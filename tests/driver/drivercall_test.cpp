// MPIO calls into the driver the way the kernel's verifier watches them:
// an entry point that returns holding a spin lock, or at another IRQL
// than it was called at, is a verifier failure naming the entry point.
#include "driverfixture.h"

#include <cstring>
#include <mutex>

namespace tarntest {
namespace {

KSPIN_LOCK g_keptLock;
bool g_keepLock;   // else the routine returns at DISPATCH_LEVEL

void Misbehave()
{
    KIRQL old;
    if (g_keepLock) {
        KeAcquireSpinLock(&g_keptLock, &old);
    } else {
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
}

NTSTATUS NTAPI BadDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    Misbehave();
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI BadInquireDriver(PVOID, PDEVICE_OBJECT, PDEVICE_OBJECT, PSTORAGE_DEVICE_DESCRIPTOR,
                                PSTORAGE_DEVICE_ID_DESCRIPTOR, PVOID *)
{
    Misbehave();
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS NTAPI BadUnload(PVOID)
{
    Misbehave();
    return STATUS_SUCCESS;
}

std::mutex g_messagesMutex;
std::vector<std::string> g_messages;

void Record(const std::string &message)
{
    std::lock_guard<std::mutex> lock(g_messagesMutex);
    g_messages.push_back(message);
}

class DriverCallTest : public DriverTest {
protected:
    // Registers a record whose entry points are the misbehaving routines
    // above, as a driver would through MPIO's control device.
    void RegisterBadRecord()
    {
        // MPIO keeps the record by reference: it outlives the registration.
        static int context;
        static DSM_INIT_DATA record;
        memset(&record, 0, sizeof(record));
        record.InitDataSize = sizeof(record);
        PVOID *slots = reinterpret_cast<PVOID *>(&record.DsmInquireDriver);
        for (int i = 0; i < DSM_INIT_DATA_ENTRY_POINTS; i++) {
            slots[i] = reinterpret_cast<PVOID>(&BadUnload);
        }
        record.DsmInquireDriver = BadInquireDriver;
        record.DsmContext = &context;

        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\DosDevices\\MPIOControl");
        PFILE_OBJECT file = nullptr;
        PDEVICE_OBJECT device = nullptr;
        ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device), STATUS_SUCCESS);
        ULONG mpioContext = 0;
        IO_STATUS_BLOCK ioStatus{};
        DsmSendDeviceIoControlSynchronous(IOCTL_MPIO_REGISTER_DSM, device, &record, &mpioContext, sizeof(record),
                                          sizeof(ULONG), TRUE, &ioStatus);
        ObDereferenceObject(file);
        ASSERT_EQ(ioStatus.Status, STATUS_SUCCESS);
    }
};

TEST_F(DriverCallTest, EntryPointReturningUnbalancedIsNamed)
{
    enum Trigger { Load, Discover, Unload };
    struct Case {
        Trigger What;
        const char *Routine;
    };
    const Case cases[] = {{Load, "DriverEntry"}, {Discover, "DsmInquireDriver"}, {Unload, "DsmUnload"}};
    AttachArray({0});
    for (bool keepLock : {true, false}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.Routine) + (keepLock ? " keeping a lock" : " raising the IRQL"));
            host_.reset();
            host::ResetMachine();
            host::SetVerifierHandler(Record);
            g_messages.clear();
            KeInitializeSpinLock(&g_keptLock);
            g_keepLock = keepLock;
            host_ = std::make_unique<mpio::Host>();
            switch (c.What) {
            case Load:
                host_->LoadDriver(BadDriverEntry, kServiceName);
                break;
            case Discover:
                RegisterBadRecord();
                host_->Discover(array_.get(), topology_);
                break;
            case Unload:
                RegisterBadRecord();
                host_->Unload();
                break;
            }
            std::string expected = std::string(c.Routine) +
                                   (keepLock ? " returned holding a spin lock"
                                             : " returned at DISPATCH_LEVEL; it was called at PASSIVE_LEVEL");
            ASSERT_FALSE(g_messages.empty());
            for (const std::string &message : g_messages) {   // discovery offers each path: one each
                EXPECT_NE(message.find(expected), std::string::npos) << message;
            }
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            EXPECT_EQ(host::HeldSpinLocks(), 0);
            host::SetVerifierHandler(nullptr);
        }
    }
}

} // namespace
} // namespace tarntest
