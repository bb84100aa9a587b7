/*++

Module Name:

    wmi.cpp

Abstract:

    WMI forwarding of the multipath framework.  A DSM does not register
    with WMI itself: MPIO registers the GUIDs of the WMI block in the
    DSM's registration record and presents one instance of each block per
    multipath disk; a query or method call on an instance reaches the
    DSM's callback with the GUID's index in the DSM's table and the disk's
    DSM identifiers, one per path.

    Instance names follow the pattern of the platform's device instances:
    "MPIO_DISK<n>_0", n being the disk's index in discovery order, the
    trailing "_0" the instance index within the disk, which is the only
    one.

--*/

#include "mpiointernal.h"

#include <algorithm>
#include <cstring>

namespace mpio {
namespace {

constexpr UCHAR kIrpMjSystemControl = 0x17;     // WMI requests arrive as IRP_MJ_SYSTEM_CONTROL
constexpr ULONG kWmiTag = host::Tag("MpWm");
// More than any block of a DSM holds; an answer asking for more is not believed.
constexpr ULONG kWmiLargestBuffer = 1u << 20;
// A DSM table larger than this is not a table.
constexpr ULONG kWmiMostGuids = 256;

constexpr const char *kInstancePrefix = "MPIO_DISK";
constexpr const char *kInstanceSuffix = "_0";

// A WMI request as it reaches MPIO: the IRP the DSM's callback is given.
struct WmiIrp {
    explicit WmiIrp(UCHAR minor)
    {
        stack.MajorFunction = kIrpMjSystemControl;
        stack.MinorFunction = minor;
        irp.Tail.Overlay.CurrentStackLocation = &stack;
        irp.IoStatus.Status = STATUS_PENDING;
    }
    IRP irp{};
    IO_STACK_LOCATION stack{};
};

std::string GuidText(const GUID &guid)
{
    char text[40];
    snprintf(text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", (unsigned)guid.Data1,
             guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
             guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

// The buffer a DSM's WMI callback writes into, from pool: freeing it
// checks its guard bytes, so a DSM that wrote past it is caught.
class WmiBuffer {
public:
    explicit WmiBuffer(ULONG size)
        : data_(static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size != 0 ? size : 1, kWmiTag)))
    {
        if (data_ != nullptr) {
            memset(data_, 0, size != 0 ? size : 1);
        }
    }
    ~WmiBuffer()
    {
        if (data_ != nullptr) {
            ExFreePoolWithTag(data_, kWmiTag);
        }
    }
    WmiBuffer(const WmiBuffer &) = delete;
    WmiBuffer &operator=(const WmiBuffer &) = delete;
    PUCHAR Data() const { return data_; }

private:
    PUCHAR data_;
};

} // namespace

std::string WmiBlockProblem(const DSM_WMILIB_CONTEXT &wmi)
{
    if (wmi.GuidCount == 0) {
        return std::string();
    }
    if (wmi.GuidCount > kWmiMostGuids) {
        return "WMI block: GUID count " + std::to_string(wmi.GuidCount) + ", at most " +
               std::to_string(kWmiMostGuids);
    }
    if (wmi.GuidList == nullptr) {
        return "WMI block: " + std::to_string(wmi.GuidCount) + " GUIDs and no GUID list";
    }
    if (wmi.QueryWmiDataBlock == nullptr) {
        return "WMI block: GUIDs without a query callback";
    }
    for (ULONG i = 0; i < wmi.GuidCount; i++) {
        if (wmi.GuidList[i].Guid == nullptr) {
            return "WMI block: GUID list row " + std::to_string(i) + " has no GUID";
        }
        for (ULONG j = 0; j < i; j++) {
            if (memcmp(wmi.GuidList[j].Guid, wmi.GuidList[i].Guid, sizeof(GUID)) == 0) {
                return "WMI block: GUID " + GuidText(*wmi.GuidList[i].Guid) + " in rows " + std::to_string(j) +
                       " and " + std::to_string(i);
            }
        }
    }
    return std::string();
}

NTSTATUS CallWithLargerBuffers(ULONG size, int attempts, const WmiCall &call, int *calls)
{
    NTSTATUS status = STATUS_BUFFER_TOO_SMALL;
    int made = 0;
    while (made < attempts) {
        ULONG needed = 0;
        status = call(size, &needed);
        made++;
        if (status != STATUS_BUFFER_TOO_SMALL || needed <= size || needed > kWmiLargestBuffer) {
            break;
        }
        size = needed;
    }
    if (calls != nullptr) {
        *calls = made;
    }
    return status;
}

std::string Host::WmiInstanceName(size_t disk)
{
    return kInstancePrefix + std::to_string(disk) + kInstanceSuffix;
}

// Takes the GUIDs of an accepted record's WMI block; WMI knows them from now on.
void Host::RegisterWmiBlocks(const DSM_INIT_DATA &record)
{
    wmiGuids_.clear();
    for (ULONG i = 0; i < record.DsmWmiInfo.GuidCount; i++) {
        wmiGuids_.push_back(*record.DsmWmiInfo.GuidList[i].Guid);
    }
}

// The record's WMI block, checked to be still the one registered: MPIO
// keeps the GUID table by reference, as it keeps the record.
const DSM_WMILIB_CONTEXT &Host::LiveWmiBlock(const char *use) const
{
    const DSM_WMILIB_CONTEXT &wmi = LiveRecord(use).DsmWmiInfo;
    for (ULONG i = 0; i < wmi.GuidCount && i < wmiGuids_.size(); i++) {
        if (wmi.GuidList[i].Guid == nullptr || memcmp(wmi.GuidList[i].Guid, &wmiGuids_[i], sizeof(GUID)) != 0) {
            host::VerifierFail("MPIO: %s: row %u of the DSM's WMI GUID table changed since it was registered as "
                               "%s; WMI keeps the table by reference",
                               use, (unsigned)i, GuidText(wmiGuids_[i]).c_str());
        }
    }
    return wmi;
}

bool Host::WmiGuidIndex(const GUID &guid, ULONG *index) const
{
    for (size_t i = 0; i < wmiGuids_.size(); i++) {
        if (memcmp(&wmiGuids_[i], &guid, sizeof(GUID)) == 0) {
            *index = (ULONG)i;
            return true;
        }
    }
    return false;
}

// The disk an instance name names, if it is present (it has a path).
bool Host::WmiDiskOf(const std::string &instance, size_t *disk) const
{
    const size_t prefix = strlen(kInstancePrefix);
    const size_t suffix = strlen(kInstanceSuffix);
    if (instance.size() <= prefix + suffix || instance.compare(0, prefix, kInstancePrefix) != 0 ||
        instance.compare(instance.size() - suffix, suffix, kInstanceSuffix) != 0) {
        return false;
    }
    std::string number = instance.substr(prefix, instance.size() - prefix - suffix);
    if (number.find_first_not_of("0123456789") != std::string::npos || (number.size() > 1 && number[0] == '0') ||
        number.size() > 6) {
        return false;
    }
    size_t index = std::stoul(number);
    if (index >= disks_.size() || IdsOf(index).empty()) {
        return false;
    }
    *disk = index;
    return true;
}

std::vector<std::string> Host::WmiInstanceNames() const
{
    std::vector<std::string> names;
    for (size_t disk = 0; registered_ && !wmiGuids_.empty() && disk < disks_.size(); disk++) {
        if (!IdsOf(disk).empty()) {
            names.push_back(WmiInstanceName(disk));
        }
    }
    return names;
}

// One block of one disk: the DSM's callback with the disk's identifiers;
// the instance's bytes are as many as the instance length it reports.
NTSTATUS Host::WmiQueryDisk(ULONG guidIndex, size_t disk, std::vector<uint8_t> *data)
{
    // The disk's devices are not removed while the DSM reads their identifiers.
    HeldIds ids(this, disk);
    auto query = [&](ULONG size, ULONG *needed) {
        WmiBuffer pool(size);
        PUCHAR buffer = pool.Data();
        if (buffer == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        const DSM_WMILIB_CONTEXT &wmi = LiveWmiBlock("QueryWmiDataBlock");
        WmiIrp request(IRP_MN_QUERY_SINGLE_INSTANCE);
        ULONG instanceLength = kUnwrittenSize;
        *needed = kUnwrittenSize;
        NTSTATUS status = host::CallDriver("QueryWmiDataBlock", wmi.QueryWmiDataBlock, LiveRecord("WMI").DsmContext,
                                           ids.List(), &request.irp, guidIndex, ULONG(0),
                                           ULONG(1), &instanceLength, size, buffer, needed);
        // The size used, or the size wanted, is owed on success and on a
        // buffer too small; the instance's length on success.
        if ((NT_SUCCESS(status) || status == STATUS_BUFFER_TOO_SMALL) && *needed == kUnwrittenSize) {
            host::VerifierFail("MPIO: QueryWmiDataBlock of GUID index %u returned 0x%08X without writing DataLength",
                               (unsigned)guidIndex, (unsigned)status);
            *needed = 0;
        }
        if (NT_SUCCESS(status) && instanceLength == kUnwrittenSize) {
            host::VerifierFail("MPIO: QueryWmiDataBlock of GUID index %u succeeded without writing "
                               "InstanceLengthArray",
                               (unsigned)guidIndex);
            instanceLength = 0;
        }
        if (NT_SUCCESS(status)) {
            if (instanceLength > size) {
                host::VerifierFail("MPIO: QueryWmiDataBlock of GUID index %u reported an instance of %u bytes in a "
                                   "buffer of %u",
                                   (unsigned)guidIndex, (unsigned)instanceLength, (unsigned)size);
                instanceLength = size;
            }
            data->assign(buffer, buffer + instanceLength);
        }
        return status;
    };
    return CallWithLargerBuffers(options_.WmiBufferSize, kWmiAttempts, query);
}

// The DSM's row for a GUID and the disk an instance name names.
NTSTATUS Host::WmiInstanceOf(const GUID &guid, const std::string &instance, ULONG *index, size_t *disk) const
{
    if (!registered_ || !WmiGuidIndex(guid, index)) {
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    return WmiDiskOf(instance, disk) ? STATUS_SUCCESS : STATUS_WMI_INSTANCE_NOT_FOUND;
}

NTSTATUS Host::WmiQuerySingleInstance(const GUID &guid, const std::string &instance, std::vector<uint8_t> *data)
{
    host::RequirePassive("MPIO WMI query");
    data->clear();
    ULONG index = 0;
    size_t disk = 0;
    NTSTATUS status = WmiInstanceOf(guid, instance, &index, &disk);
    return NT_SUCCESS(status) ? WmiQueryDisk(index, disk, data) : status;
}

// Every instance in disk order; the first failure ends the query.
NTSTATUS Host::WmiQueryAllData(const GUID &guid, std::vector<WmiInstance> *instances)
{
    host::RequirePassive("MPIO WMI query");
    instances->clear();
    ULONG index = 0;
    if (!registered_ || !WmiGuidIndex(guid, &index)) {
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    for (size_t disk = 0; disk < disks_.size(); disk++) {
        if (IdsOf(disk).empty()) {
            continue;
        }
        WmiInstance instance;
        instance.Disk = disk;
        instance.Name = WmiInstanceName(disk);
        NTSTATUS status = WmiQueryDisk(index, disk, &instance.Data);
        if (!NT_SUCCESS(status)) {
            instances->clear();
            return status;
        }
        instances->push_back(std::move(instance));
    }
    return STATUS_SUCCESS;
}

// The input and the output share one buffer, as WMI's method requests
// do: as large as the input or the output room, whichever is larger.  The
// DSM says in the output size how much it wrote, or how much room it
// needs.
NTSTATUS Host::WmiExecuteMethod(const GUID &guid, const std::string &instance, ULONG methodId,
                                const std::vector<uint8_t> &input, ULONG outputRoom, std::vector<uint8_t> *output)
{
    host::RequirePassive("MPIO WMI method");
    output->clear();
    ULONG index = 0;
    size_t disk = 0;
    NTSTATUS found = WmiInstanceOf(guid, instance, &index, &disk);
    if (!NT_SUCCESS(found)) {
        return found;
    }
    if (LiveWmiBlock("ExecuteWmiMethod").ExecuteWmiMethod == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // The disk's devices are not removed while the DSM reads their identifiers.
    HeldIds ids(this, disk);
    ULONG inputSize = (ULONG)input.size();
    auto call = [&](ULONG room, ULONG *needed) {
        ULONG size = std::max(room, inputSize);
        WmiBuffer pool(size);
        PUCHAR buffer = pool.Data();
        if (buffer == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (!input.empty()) {
            memcpy(buffer, input.data(), input.size());
        }
        WmiIrp request(IRP_MN_EXECUTE_METHOD);
        ULONG outputSize = room;
        const DSM_WMILIB_CONTEXT &wmi = LiveWmiBlock("ExecuteWmiMethod");
        NTSTATUS status = host::CallDriver("ExecuteWmiMethod", wmi.ExecuteWmiMethod, LiveRecord("WMI").DsmContext,
                                           ids.List(), &request.irp, index, ULONG(0),
                                           methodId, inputSize, &outputSize, buffer);
        *needed = outputSize;
        if (NT_SUCCESS(status)) {
            if (outputSize > room) {
                host::VerifierFail("MPIO: ExecuteWmiMethod %u reported %u bytes of output in room for %u",
                                   (unsigned)methodId, (unsigned)outputSize, (unsigned)room);
                outputSize = room;
            }
            output->assign(buffer, buffer + outputSize);
        }
        return status;
    };
    return CallWithLargerBuffers(outputRoom, kWmiAttempts, call);
}

} // namespace mpio
