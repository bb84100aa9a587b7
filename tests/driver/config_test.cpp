// The configuration read at start: defaults, checks, clamps, fallbacks
// and the events of the three values that have them; and the same
// configuration given as a .reg file an administrator would write.
#include "driverfixture.h"

#include <cstring>

namespace tarntest {
namespace {

using ConfigTest = DriverTest;

TEST_F(ConfigTest, EveryValueIsReadAsWritten)
{
    FullConfiguration();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    PDSM_CONTEXT context = Context();

    EXPECT_EQ(context->PathSelectionPolicy, TARN_LB_POLICY_FAILBACK);
    EXPECT_EQ(context->RoundRobinTimeSlice, 1000u);
    EXPECT_TRUE(context->UsePersistentReservations);
    const UCHAR key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(memcmp(context->PRKey, key, 8), 0);
    EXPECT_EQ(context->TurTimeoutValue, 30u);
    EXPECT_EQ(context->TurRetryCount, 3u);

    // The whole list, both entries, each NUL-terminated, then the empty string.
    const UNICODE_STRING &list = context->SupportedDeviceList;
    ASSERT_NE(list.Buffer, nullptr);
    std::u16string expected = u"KESTROM TARN 4000 FC    ";
    expected.push_back(0);
    expected += u"KESTROM TARN 4000 ISCSI ";
    expected.push_back(0);
    EXPECT_EQ(std::u16string(list.Buffer, expected.size()), expected);
    EXPECT_EQ(list.Buffer[expected.size()], 0);
}

// Each value over the least configuration: what the driver uses, and
// the events of the two values that have them (with the read's status).
struct ValueCase {
    const char *Name;
    void (*Write)();
    ULONG Policy;
    ULONG TimeSlice;
    ULONG Timeout;
    ULONG Retries;
    std::vector<NTSTATUS> Events;
    NTSTATUS Dump;      // of each of those events
};

void PrintTo(const ValueCase &c, std::ostream *os)
{
    *os << c.Name;
}

void SetPolicy(ULONG policy)
{
    host::RegistrySetDword(kParametersKey, "PathSelectionPolicy", policy);
}

// The events of a missing policy and a missing time slice.
const std::vector<NTSTATUS> kNoPolicy = {TARN_MSG_NO_PATH_SELECTION_POLICY, TARN_MSG_NO_ROUND_ROBIN_TIMESLICE};
const std::vector<NTSTATUS> kNoSlice = {TARN_MSG_NO_ROUND_ROBIN_TIMESLICE};
constexpr ULONG kFailover = TARN_LB_POLICY_FAILOVER;
constexpr NTSTATUS kMissing = STATUS_OBJECT_NAME_NOT_FOUND;

const ValueCase kValueCases[] = {
    {"Defaults", [] {}, kFailover, 2500, 120, 2, kNoPolicy, kMissing},
    // A policy that is not one becomes failover, without an event.
    {"Policy0x103", [] { SetPolicy(0x103); }, kFailover, 2500, 120, 2, kNoSlice, kMissing},
    {"Policy0x200", [] { SetPolicy(0x200); }, kFailover, 2500, 120, 2, kNoSlice, kMissing},
    {"Policy0x100", [] { SetPolicy(0x100); }, kFailover, 2500, 120, 2, kNoSlice, kMissing},
    {"Policy0", [] { SetPolicy(0); }, kFailover, 2500, 120, 2, kNoSlice, kMissing},
    {"RoundRobinAndZeroesAsRead",
     [] {
         SetPolicy(TARN_LB_POLICY_ROUND_ROBIN);
         host::RegistrySetDword(kParametersKey, "RoundRobinTimeSlice", 0);
         host::RegistrySetDword(kParametersKey, "TurTimeoutValue", 0);
         host::RegistrySetDword(kParametersKey, "TurRetryCount", 0);
     },
     TARN_LB_POLICY_ROUND_ROBIN, 0, 0, 0, {}, 0},
    {"OfAnotherType",
     [] {
         host::RegistrySetString(kParametersKey, "PathSelectionPolicy", "0x102");
         host::RegistrySetValue(kParametersKey, "RoundRobinTimeSlice", REG_BINARY, {0xE8, 0x03, 0, 0});
         host::RegistrySetMultiString(kServiceKey, "DisplayName", {"Kestrom"});
     },
     kFailover, 2500, 120, 2, kNoPolicy, STATUS_OBJECT_TYPE_MISMATCH},
    // A 32-bit value too long for its field is a failed read; a short one
    // is the little-endian number it holds.
    {"DwordsOfTheWrongSize",
     [] {
         host::RegistrySetValue(kParametersKey, "PathSelectionPolicy", REG_DWORD, {0x02, 0x01, 0, 0, 0, 0});
         host::RegistrySetValue(kParametersKey, "RoundRobinTimeSlice", REG_DWORD, {0xF4, 0x01});
     },
     kFailover, 500, 120, 2, {TARN_MSG_NO_PATH_SELECTION_POLICY}, STATUS_INVALID_PARAMETER},
    {"TimeoutAndRetriesClamped",
     [] {
         host::RegistrySetDword(kParametersKey, "TurTimeoutValue", 500);
         host::RegistrySetDword(kParametersKey, "TurRetryCount", 11);
     },
     kFailover, 2500, 360, 10, kNoPolicy, kMissing},
    {"TimeoutFromTheDiskClass", [] { host::RegistrySetDword(kDiskKey, "TimeOutValue", 60); }, kFailover, 2500, 60,
     2, kNoPolicy, kMissing},
    {"DiskClassTimeoutClamped", [] { host::RegistrySetDword(kDiskKey, "TimeOutValue", 1000); }, kFailover, 2500,
     360, 2, kNoPolicy, kMissing},
    {"OwnTimeoutOverTheDiskClass",
     [] {
         host::RegistrySetDword(kDiskKey, "TimeOutValue", 1000);
         host::RegistrySetDword(kParametersKey, "TurTimeoutValue", 45);
     },
     kFailover, 2500, 45, 2, kNoPolicy, kMissing},
};

class ValueConfigTest : public DriverTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(ValueConfigTest, IsUsedCheckedOrReplacedByItsDefault)
{
    const ValueCase &c = GetParam();
    MinimalConfiguration();
    c.Write();
    ASSERT_EQ(Start(), STATUS_SUCCESS);

    PDSM_CONTEXT context = Context();
    EXPECT_EQ(context->PathSelectionPolicy, c.Policy);
    EXPECT_EQ(context->RoundRobinTimeSlice, c.TimeSlice);
    EXPECT_EQ(context->TurTimeoutValue, c.Timeout);
    EXPECT_EQ(context->TurRetryCount, c.Retries);
    EXPECT_EQ(context->DisplayName.Length, 0u);
    EXPECT_FALSE(context->UsePersistentReservations);
    std::vector<NTSTATUS> events = c.Events;
    events.push_back(TARN_MSG_DSM_STARTED);
    EXPECT_EQ(EventIds(), events);
    for (NTSTATUS id : c.Events) {
        EXPECT_EQ(DumpStatusOf(id), c.Dump);
    }
}

INSTANTIATE_TEST_SUITE_P(Values, ValueConfigTest, ::testing::ValuesIn(kValueCases),
                         [](const ::testing::TestParamInfo<ValueCase> &info) { return std::string(info.param.Name); });

struct ReservationCase {
    const char *Name;
    bool HasFlag;
    ULONG Flag;
    ULONG KeyType;
    std::vector<uint8_t> Key;
    bool On;
};

void PrintTo(const ReservationCase &c, std::ostream *os)
{
    *os << c.Name;
}

class ReservationConfigTest : public DriverTest, public ::testing::WithParamInterface<ReservationCase> {};

TEST_P(ReservationConfigTest, ReservationsNeedLowByteOneAndAnEightByteKey)
{
    const ReservationCase &c = GetParam();
    MinimalConfiguration();
    if (c.HasFlag) {
        host::RegistrySetDword(kParametersKey, "UsePersistentReservations", c.Flag);
    }
    if (!c.Key.empty()) {
        host::RegistrySetValue(kParametersKey, "PRKey", c.KeyType, c.Key);
    }
    ASSERT_EQ(Start(), STATUS_SUCCESS);

    PDSM_CONTEXT context = Context();
    EXPECT_EQ(context->UsePersistentReservations != FALSE, c.On);
    if (c.On) {
        EXPECT_EQ(memcmp(context->PRKey, c.Key.data(), 8), 0);
    }
    // None of these has an event of its own.
    EXPECT_EQ(EventIds().size(), 3u);
}

const std::vector<uint8_t> kKey = {0x4B, 0x45, 0x53, 0x54, 0x00, 0x00, 0x00, 0x01};

INSTANTIATE_TEST_SUITE_P(
    Cases, ReservationConfigTest,
    ::testing::Values(ReservationCase{"On", true, 1, REG_BINARY, kKey, true},
                      ReservationCase{"LowByteOne", true, 0x101, REG_BINARY, kKey, true},
                      ReservationCase{"Two", true, 2, REG_BINARY, kKey, false},
                      ReservationCase{"Off", true, 0, REG_BINARY, kKey, false},
                      ReservationCase{"NoFlag", false, 0, REG_BINARY, kKey, false},
                      ReservationCase{"NoKey", true, 1, REG_BINARY, {}, false},
                      // A short key would register bytes nobody configured.
                      ReservationCase{"ShortKey", true, 1, REG_BINARY, {1, 2, 3, 4}, false},
                      ReservationCase{"LongKey", true, 1, REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8, 9}, false},
                      ReservationCase{"KeyNotBinary", true, 1, REG_SZ, {'k', 0, 'e', 0, 'y', 0, 0, 0}, false},
                      // A zero service-action key means "unregister": no key at all.
                      ReservationCase{"ZeroKey", true, 1, REG_BINARY, {0, 0, 0, 0, 0, 0, 0, 0}, false}),
    [](const ::testing::TestParamInfo<ReservationCase> &info) { return std::string(info.param.Name); });

TEST_F(ConfigTest, ConfigurationComesFromARegFileAsAnAdministratorWritesIt)
{
    const char *reg = R"(Windows Registry Editor Version 5.00

; The DSM's service key, as the installation writes it.
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\tarndsm]
"DisplayName"="Kestrom TARN Multi-Path DSM"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\tarndsm\Parameters]
"SupportedDeviceList"=hex(7):4b,00,45,00,53,00,54,00,52,00,4f,00,4d,00,20,00,54,00,41,00,52,00,4e,00,\
  20,00,34,00,30,00,30,00,30,00,20,00,46,00,43,00,20,00,20,00,20,00,20,00,00,00,00,00
"PathSelectionPolicy"=dword:00000201
"RoundRobinTimeSlice"=dword:000001f4
"UsePersistentReservations"=dword:00000001
"PRKey"=hex:00,00,00,00,00,00,0a,01
"TurRetryCount"=dword:00000005

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Disk]
"TimeOutValue"=dword:0000003c
)";
    std::string error;
    ASSERT_TRUE(host::RegistryImport(reg, &error)) << error;
    ASSERT_EQ(Start(), STATUS_SUCCESS);

    PDSM_CONTEXT context = Context();
    EXPECT_EQ(context->PathSelectionPolicy, TARN_LB_POLICY_ROUND_ROBIN);
    EXPECT_EQ(context->RoundRobinTimeSlice, 500u);
    EXPECT_TRUE(context->UsePersistentReservations);
    EXPECT_EQ(context->PRKey[6], 0x0A);
    EXPECT_EQ(context->PRKey[7], 0x01);
    EXPECT_EQ(context->TurTimeoutValue, 60u);
    EXPECT_EQ(context->TurRetryCount, 5u);
    EXPECT_EQ(std::u16string(context->SupportedDeviceList.Buffer, 24), u"KESTROM TARN 4000 FC    ");
}

// On a kernel that ignores RTL_QUERY_REGISTRY_TYPECHECK, a value of the
// wrong type or size must still be a failed read, never an overrun of the
// field (the host's verifier stops the test at the overrun).
struct LegacyCase {
    const char *Name;
    const char *Key;
    const char *Value;
    ULONG Type;
    std::vector<uint8_t> Data;
    bool Starts;
    bool (*Unread)(const DSM_CONTEXT &context);     // the field is as if the value were missing
};

void PrintTo(const LegacyCase &c, std::ostream *os)
{
    *os << c.Name;
}

std::vector<uint8_t> Utf16(const std::u16string &text)
{
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back((uint8_t)c);
        bytes.push_back((uint8_t)(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

class LegacyKernelConfigTest : public DriverTest, public ::testing::WithParamInterface<LegacyCase> {};

TEST_P(LegacyKernelConfigTest, WrongTypeOrSizeIsAFailedRead)
{
    const LegacyCase &c = GetParam();
    FullConfiguration();
    host::RegistrySetValue(c.Key, c.Value, c.Type, c.Data);
    host::RegistryIgnoreTypecheck(true);

    NTSTATUS status = Start();

    if (!c.Starts) {
        EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(EventIds(), std::vector<NTSTATUS>{TARN_MSG_NO_SUPPORTED_DEVICE_LIST});
        return;
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(c.Unread(*Context()));
}

const std::vector<uint8_t> kEightBytes = {0xE8, 0x03, 0, 0, 0xE8, 0x03, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Cases, LegacyKernelConfigTest,
    ::testing::Values(
        LegacyCase{"ListAsDword", kParametersKey, "SupportedDeviceList", REG_DWORD, {1, 0, 0, 0}, false, nullptr},
        LegacyCase{"ListAsBinary", kParametersKey, "SupportedDeviceList", REG_BINARY, kEightBytes, false, nullptr},
        LegacyCase{"PolicyAsString", kParametersKey, "PathSelectionPolicy", REG_SZ, Utf16(u"0x102"), true,
                   [](const DSM_CONTEXT &c) { return c.PathSelectionPolicy == TARN_LB_POLICY_FAILOVER; }},
        LegacyCase{"TimesliceOverLong", kParametersKey, "RoundRobinTimeSlice", REG_DWORD, kEightBytes, true,
                   [](const DSM_CONTEXT &c) { return c.RoundRobinTimeSlice == 2500u; }},
        LegacyCase{"TimesliceAsBinary", kParametersKey, "RoundRobinTimeSlice", REG_BINARY, kEightBytes, true,
                   [](const DSM_CONTEXT &c) { return c.RoundRobinTimeSlice == 2500u; }},
        LegacyCase{"DisplayNameAsDword", kServiceKey, "DisplayName", REG_DWORD, {0x41, 0, 0x42, 0}, true,
                   [](const DSM_CONTEXT &c) { return c.DisplayName.Length == 0; }},
        // Longer than a counted string can count.
        LegacyCase{"DisplayNameOverLong", kServiceKey, "DisplayName", REG_SZ,
                   Utf16(std::u16string(40000, u'n')), true,
                   [](const DSM_CONTEXT &c) { return c.DisplayName.Length == 0; }},
        LegacyCase{"ReservationFlagAsString", kParametersKey, "UsePersistentReservations", REG_SZ, Utf16(u"1"),
                   true, [](const DSM_CONTEXT &c) { return c.UsePersistentReservations == FALSE; }},
        LegacyCase{"KeyOfTwoBytes", kParametersKey, "PRKey", REG_BINARY, {1, 2}, true,
                   [](const DSM_CONTEXT &c) { return c.UsePersistentReservations == FALSE; }},
        LegacyCase{"KeyAsDword", kParametersKey, "PRKey", REG_DWORD, {1, 2, 3, 4}, true,
                   [](const DSM_CONTEXT &c) { return c.UsePersistentReservations == FALSE; }},
        LegacyCase{"KeyOverLong", kParametersKey, "PRKey", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
                   true, [](const DSM_CONTEXT &c) { return c.UsePersistentReservations == FALSE; }},
        LegacyCase{"TimeoutOfTwoBinaryBytes", kParametersKey, "TurTimeoutValue", REG_BINARY, {0x2C, 0x01}, true,
                   [](const DSM_CONTEXT &c) { return c.TurTimeoutValue == 120u; }},
        LegacyCase{"RetriesAsString", kParametersKey, "TurRetryCount", REG_SZ, Utf16(u"3"), true,
                   [](const DSM_CONTEXT &c) { return c.TurRetryCount == 2u; }}),
    [](const ::testing::TestParamInfo<LegacyCase> &info) { return std::string(info.param.Name); });

// The per-drive settings on the same kernel: a stored value of another
// type is no setting.
TEST_F(ConfigTest, DriveSettingsOfAnotherTypeAreNotReadOnALegacyKernel)
{
    MinimalConfiguration();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    host::RegistryIgnoreTypecheck(true);
    const std::string serial = "600A0B80001122334455";
    host::RegistrySetValue(std::string(kServiceKey) + "\\PathSelectionPolicy", serial, REG_SZ, Utf16(u"0x102"));
    host::RegistrySetValue(std::string(kServiceKey) + "\\PreferredPath", serial, REG_BINARY, kEightBytes);

    ULONG policy = TARN_LB_POLICY_ROUND_ROBIN;
    EXPECT_EQ(DsmReadDrivePolicy(Context(), serial.c_str(), &policy), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(policy, TARN_LB_POLICY_ROUND_ROBIN);

    SCSI_ADDRESS fallback = {sizeof(SCSI_ADDRESS), 2, 0, 1, 3};
    SCSI_ADDRESS result = {};
    BOOLEAN found = TRUE;
    EXPECT_EQ(DsmReadPreferredPath(Context(), serial.c_str(), &fallback, &found, &result), STATUS_SUCCESS);
    EXPECT_FALSE(found);
    EXPECT_EQ(memcmp(&result, &fallback, sizeof(result)), 0);
    ULONG stored = 0;
    EXPECT_TRUE(host::RegistryGetDword(std::string(kServiceKey) + "\\PreferredPath", serial, &stored));
    EXPECT_EQ(stored, 0x02000103u);
}

} // namespace
} // namespace tarntest
