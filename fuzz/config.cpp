/*++

Module Name:

    config.cpp

Abstract:

    Fuzzes the registry values the driver reads, of every type and size:
    its configuration, read as the driver starts, and a drive's stored
    policy and preferred path, read as the drive is claimed.  The input
    is a list of values (which, type, length, bytes); the rest stay
    absent.

    What the driver makes of them is checked against its promises: a
    start needs a readable supported device list; every other value
    that is not a well-formed number of the right type keeps its
    default, and the numbers are clamped (timeout at most 360 s, retries
    at most 10, the policy one of three); reservations are on only with
    a low byte of 1 and an 8-byte key that is not all zeros.

--*/

#include "fuzzdriver.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

using fuzzdriver::Expect;

const char kDriveSerial[] = "600A0B80002ABCDE";
const std::string kPolicyKey = std::string(fuzzdriver::kServiceKey) + "\\PathSelectionPolicy";
const std::string kPreferredKey = std::string(fuzzdriver::kServiceKey) + "\\PreferredPath";

struct Place {
    const std::string Key;
    const char *Name;
};

const Place kPlaces[] = {
    {fuzzdriver::kParametersKey, "SupportedDeviceList"},
    {fuzzdriver::kParametersKey, "PathSelectionPolicy"},
    {fuzzdriver::kParametersKey, "RoundRobinTimeSlice"},
    {fuzzdriver::kServiceKey, "DisplayName"},
    {fuzzdriver::kParametersKey, "UsePersistentReservations"},
    {fuzzdriver::kParametersKey, "PRKey"},
    {fuzzdriver::kParametersKey, "TurTimeoutValue"},
    {fuzzdriver::kParametersKey, "TurRetryCount"},
    {fuzzdriver::kDiskKey, "TimeOutValue"},
    {kPolicyKey, kDriveSerial},
    {kPreferredKey, kDriveSerial},
};
constexpr size_t kPlaceCount = sizeof(kPlaces) / sizeof(kPlaces[0]);

struct Value {
    bool Present = false;
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Bytes;

    bool operator==(const Value &other) const
    {
        return Present == other.Present && (!Present || (Type == other.Type && Bytes == other.Bytes));
    }

    // The number a well-formed REG_DWORD holds: 1 to 4 little-endian bytes.
    bool Number(ULONG *number) const
    {
        if (!Present || Type != REG_DWORD || Bytes.empty() || Bytes.size() > 4) {
            return false;
        }
        *number = 0;
        memcpy(number, Bytes.data(), Bytes.size());
        return true;
    }
};

struct World {
    std::unique_ptr<mpio::Host> Host;
    Value Stored[kPlaceCount];      // what the registry holds at each place
    PDRIVER_OBJECT Driver = nullptr;
    std::u16string RegistryPath;
    fuzzdriver::Baseline Baseline;
};

World *Start()
{
    auto *world = new World();
    fuzzdriver::ResetWithConfiguration();
    world->Host = fuzzdriver::Load();
    world->Driver = static_cast<PDRIVER_OBJECT>(DsmIoObject);
    const std::string path = fuzzdriver::kServiceKey;
    world->RegistryPath.assign(path.begin(), path.end());
    for (const Place &place : kPlaces) {
        host::RegistryDeleteValue(place.Key, place.Name);
    }
    fuzzdriver::ForgetLogs();
    world->Baseline.Take();
    return world;
}

bool Policy(ULONG value)
{
    return value == TARN_LB_POLICY_FAILOVER || value == TARN_LB_POLICY_FAILBACK ||
           value == TARN_LB_POLICY_ROUND_ROBIN;
}

// The text of a string value as a counted string holds it: whole
// characters only, a terminator added when missing, within the limit.
bool Text(const Value &value, ULONG type, std::u16string *text)
{
    if (!value.Present || value.Type != type || value.Bytes.size() % 2 != 0) {
        return false;
    }
    text->assign(value.Bytes.size() / 2, u'\0');
    if (!value.Bytes.empty()) {
        memcpy(&(*text)[0], value.Bytes.data(), value.Bytes.size());
    }
    if (text->empty() || text->back() != 0) {
        text->push_back(0);
    }
    if (text->size() * 2 > TARN_MAX_COUNTED_STRING_BYTES) {
        return false;
    }
    text->pop_back();
    return true;
}

void CheckConfiguration(const World &world, const Value (&values)[kPlaceCount])
{
    UNICODE_STRING registryPath;
    registryPath.Buffer = const_cast<PWSTR>(reinterpret_cast<const WCHAR *>(world.RegistryPath.data()));
    registryPath.Length = (USHORT)(world.RegistryPath.size() * 2);
    registryPath.MaximumLength = registryPath.Length;
    PDSM_CONTEXT context = nullptr;
    const NTSTATUS status = DsmContextCreate(&context, world.Driver, &registryPath);
    Expect(context != nullptr, "no context");

    std::u16string list;
    const bool listed = Text(values[0], REG_MULTI_SZ, &list);
    Expect(NT_SUCCESS(status) == listed, "a start against the supported device list");
    if (!listed) {
        DsmContextDestroy(context);
        return;
    }
    Expect(context->SupportedDeviceList.Length == list.size() * 2 &&
               memcmp(context->SupportedDeviceList.Buffer, list.data(), list.size() * 2) == 0 &&
               context->SupportedDeviceList.Buffer[list.size()] == 0,
           "the supported device list is not what was stored");

    ULONG number;
    ULONG expected = TARN_LB_POLICY_FAILOVER;
    if (values[1].Number(&number) && Policy(number)) {
        expected = number;
    }
    Expect(context->PathSelectionPolicy == expected, "PathSelectionPolicy");

    expected = values[2].Number(&number) ? number : TARN_DEFAULT_ROUND_ROBIN_TIMESLICE;
    Expect(context->RoundRobinTimeSlice == expected, "RoundRobinTimeSlice");

    std::u16string name;
    if (!Text(values[3], REG_SZ, &name)) {
        name.clear();
    }
    Expect(context->DisplayName.Length == name.size() * 2 &&
               (name.empty() || memcmp(context->DisplayName.Buffer, name.data(), name.size() * 2) == 0),
           "DisplayName");

    bool reservations = values[4].Number(&number) && (number & 0xFF) == 1 && values[5].Present &&
                        values[5].Type == REG_BINARY && values[5].Bytes.size() == TARN_PR_KEY_LENGTH;
    if (reservations) {
        reservations = false;
        for (uint8_t byte : values[5].Bytes) {
            reservations = reservations || byte != 0;
        }
    }
    Expect(context->UsePersistentReservations == reservations, "UsePersistentReservations");
    if (reservations) {
        Expect(memcmp(context->PRKey, values[5].Bytes.data(), TARN_PR_KEY_LENGTH) == 0, "PRKey");
    }

    if (!values[6].Number(&expected) && !values[8].Number(&expected)) {
        expected = TARN_DEFAULT_TUR_TIMEOUT;
    }
    Expect(context->TurTimeoutValue == std::min<ULONG>(expected, TARN_MAX_TUR_TIMEOUT), "TurTimeoutValue");
    expected = values[7].Number(&number) ? number : TARN_DEFAULT_TUR_RETRY_COUNT;
    Expect(context->TurRetryCount == std::min<ULONG>(expected, TARN_MAX_TUR_RETRY_COUNT), "TurRetryCount");

    // A drive's stored settings, when the input stores any (a drive
    // without is claimed in the storage target).
    if (!values[9].Present && !values[10].Present) {
        DsmContextDestroy(context);
        return;
    }
    ULONG policy = 0xEEEE;
    const NTSTATUS read = DsmReadDrivePolicy(context, kDriveSerial, &policy);
    const bool stored = values[9].Number(&number) && Policy(number);
    Expect(NT_SUCCESS(read) == stored && policy == (stored ? number : 0xEEEE), "a drive's stored policy");

    SCSI_ADDRESS first = {sizeof(SCSI_ADDRESS), 2, 0, 1, 31}, preferred{};
    BOOLEAN found = FALSE;
    (void)DsmReadPreferredPath(context, kDriveSerial, &first, &found, &preferred);
    const bool packed = values[10].Number(&number);
    Expect(found == packed, "a drive's stored preferred path");
    if (packed) {
        Expect(preferred.PortNumber == (UCHAR)(number >> 24) && preferred.PathId == (UCHAR)(number >> 16) &&
                   preferred.TargetId == (UCHAR)(number >> 8) && preferred.Lun == (UCHAR)number,
               "the preferred path's address");
    } else {
        // The first path becomes the preferred one and is stored so.
        Expect(memcmp(&preferred, &first, sizeof(first)) == 0, "the default preferred path");
        ULONG written = 0;
        Expect(host::RegistryGetDword(kPreferredKey, kDriveSerial, &written) && written == 0x0200011Fu,
               "the default preferred path was not stored");
    }
    DsmContextDestroy(context);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static World *world = Start();
    // Every type a value can have: the driver's header names those it reads.
    constexpr ULONG kDwordBigEndian = 5, kQword = 11;
    static const ULONG kTypes[] = {REG_NONE,  REG_SZ,          REG_EXPAND_SZ, REG_BINARY,
                                   REG_DWORD, kDwordBigEndian, REG_MULTI_SZ,  kQword};
    Value values[kPlaceCount];
    size_t at = 0;
    while (at + 3 <= size) {
        const size_t which = data[at] % kPlaceCount;
        Value &value = values[which];
        value.Present = true;
        value.Type = kTypes[data[at + 1] % 8];
        const size_t length = std::min<size_t>(data[at + 2], size - at - 3);
        value.Bytes.assign(data + at + 3, data + at + 3 + length);
        at += 3 + length;
    }
    // The store keeps what the last input left; only what differs is
    // written or removed (a registry call costs more than the driver's
    // whole read of it).
    for (size_t i = 0; i < kPlaceCount; i++) {
        Value &stored = world->Stored[i];
        if (values[i] == stored) {
            continue;
        }
        if (values[i].Present) {
            host::RegistrySetValue(kPlaces[i].Key, kPlaces[i].Name, values[i].Type, values[i].Bytes);
        } else {
            host::RegistryDeleteValue(kPlaces[i].Key, kPlaces[i].Name);
        }
        stored = values[i];
    }

    CheckConfiguration(*world, values);

    // Reading a drive's settings without a preferred path stores the
    // first path as the preferred one.
    Value &preferred = world->Stored[kPlaceCount - 1];
    ULONG number;
    if ((values[kPlaceCount - 2].Present || values[kPlaceCount - 1].Present) &&
        !values[kPlaceCount - 1].Number(&number)) {
        preferred.Present = true;
        preferred.Type = REG_DWORD;
        preferred.Bytes = {0x1F, 0x01, 0x00, 0x02};
    }
    fuzzdriver::ForgetLogs();
    world->Baseline.Check("config");
    return 0;
}
