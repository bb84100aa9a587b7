// The trace provider: off until a logger enables it, enabled by a
// session or at boot by the global logger's settings, and messages that
// the trace format table makes readable.
#include "driverfixture.h"

#include <algorithm>

namespace tarntest {
namespace {

const std::string kGlobalLoggerKey = host::GlobalLoggerKey(TarnCtlGuid);

using TraceTest = DriverTest;

bool AnyTraceContains(const std::string &text)
{
    auto lines = host::RenderTraces();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &line) { return line.find(text) != std::string::npos; });
}

TEST_F(TraceTest, SilentUntilALoggerEnablesIt)
{
    MinimalConfiguration();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_TRUE(host::TraceProviderRegistered());
    EXPECT_EQ(TarnTraceState.EnableFlags, 0u);
    EXPECT_EQ(TarnTraceState.Logger, 0u);
    EXPECT_TRUE(host::TraceRecords().empty());

    // Only the enabled flags are traced: unload traces at information level.
    ASSERT_TRUE(host::TraceEnable(TRDSM_ERROR_LEVEL, 4));
    host_->Unload();
    EXPECT_TRUE(host::TraceRecords().empty());

    ASSERT_TRUE(host::TraceEnable(TRDSM_ERROR_LEVEL | TRDSM_TRACE_LEVEL, 4));
    EXPECT_EQ(TarnTraceState.EnableFlags, (ULONG)(TRDSM_ERROR_LEVEL | TRDSM_TRACE_LEVEL));
    EXPECT_EQ(TarnTraceState.EnableLevel, 4);
    EXPECT_NE(TarnTraceState.Logger, 0u);

    host_->Unload();
    EXPECT_TRUE(AnyTraceContains("DsmUnload: entered"));

    host::TraceDisable();
    EXPECT_EQ(TarnTraceState.EnableFlags, 0u);
    host::ClearTrace();
    host_->Unload();
    EXPECT_TRUE(host::TraceRecords().empty());
}

TEST_F(TraceTest, BootTimeLoggerEnablesTracingFromTheFirstStep)
{
    FullConfiguration();
    host::RegistrySetDword(kGlobalLoggerKey, "Start", 1);
    host::RegistrySetDword(kGlobalLoggerKey, "Flags", 0xFFFFFFFF);
    host::RegistrySetDword(kGlobalLoggerKey, "Level", 0x105);
    ASSERT_EQ(Start(), STATUS_SUCCESS);

    EXPECT_EQ(TarnTraceState.EnableFlags, 0x7FFFFFFFu);
    EXPECT_EQ(TarnTraceState.EnableLevel, 5);
    EXPECT_EQ(TarnTraceState.Logger, 1u);

    // Every value the driver read is in the trace, readable.
    EXPECT_TRUE(AnyTraceContains("MPIO version 1.20.0.0, DSM version 4.0.183.10"));
    EXPECT_TRUE(AnyTraceContains("PathSelectionPolicy 0x102"));
    EXPECT_TRUE(AnyTraceContains("RoundRobinTimeSlice 1000 ms"));
    EXPECT_TRUE(AnyTraceContains("DisplayName \"Kestrom TARN Multi-Path DSM\""));
    EXPECT_TRUE(AnyTraceContains("UsePersistentReservations 1, PRKey 0102030405060708"));
    EXPECT_TRUE(AnyTraceContains("TurTimeoutValue 30 s"));
    EXPECT_TRUE(AnyTraceContains("TurRetryCount 3"));
    EXPECT_TRUE(AnyTraceContains("service name tarndsm"));
    for (const auto &record : host::TraceRecords()) {
        EXPECT_NE(host::FindTraceFormat(record), nullptr) << host::RenderTrace(record);
        EXPECT_EQ(record.Logger, 1u);
    }
}

TEST_F(TraceTest, ErrorsAreTracedWithStatusNames)
{
    // The boot-time logger starts only with Start 1.
    MinimalConfiguration();
    host::RegistrySetDword(kGlobalLoggerKey, "Start", 2);
    host::RegistrySetDword(kGlobalLoggerKey, "Flags", 7);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(TarnTraceState.EnableFlags, 0u);
    EXPECT_TRUE(host::TraceRecords().empty());
    host_.reset();
    host::Reboot();

    host::RegistrySetDword(kGlobalLoggerKey, "Start", 1);
    host::RegistrySetDword(kGlobalLoggerKey, "Flags", TRDSM_ERROR_LEVEL);
    host::RegistrySetDword(kParametersKey, "TurRetryCount", 11);
    ASSERT_EQ(Start(), STATUS_SUCCESS);

    EXPECT_TRUE(AnyTraceContains("TurRetryCount 11 above 10; using 10"));
    EXPECT_TRUE(AnyTraceContains("PathSelectionPolicy unreadable"));
    EXPECT_FALSE(AnyTraceContains("DsmUnload"));
    for (const auto &line : host::RenderTraces()) {
        EXPECT_NE(line.find("ERROR"), std::string::npos) << line;
    }
}

// On a kernel that ignores RTL_QUERY_REGISTRY_TYPECHECK, a boot-time
// setting of another type or size is an unread setting, never bytes
// written over the reader's locals (the verifier stops the test at such
// an overrun).
struct LoggerValue {
    const char *Name;
    ULONG Type;
    std::vector<uint8_t> Data;
    bool Read;      // a number the reader takes: 1 to 4 bytes of REG_DWORD
};

TEST_F(TraceTest, BootTimeSettingsOfAnyTypeAndSizeAreReadSafelyOnALegacyKernel)
{
    const std::vector<LoggerValue> values = {
        {"String", REG_SZ, {'1', 0, 0, 0}, false},
        {"ExpandString", REG_EXPAND_SZ, {'1', 0, 0, 0}, false},
        {"MultiString", REG_MULTI_SZ, {'1', 0, 0, 0, 0, 0}, false},
        {"Binary", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0}, false},
        {"ShortBinary", REG_BINARY, {1}, false},
        {"LongDword", REG_DWORD, {1, 0, 0, 0, 7, 7, 7, 7, 7, 7, 7, 7}, false},
        {"EmptyDword", REG_DWORD, {}, false},
        {"TwoByteDword", REG_DWORD, {1, 0}, true},
    };
    const char *const names[] = {"Start", "Flags", "Level"};
    for (const char *name : names) {
        for (const LoggerValue &value : values) {
            SCOPED_TRACE(std::string(name) + " as " + value.Name);
            host_.reset();
            host::Reboot();
            host::RegistryClear();
            MinimalConfiguration();
            host::RegistryIgnoreTypecheck(true);
            host::RegistrySetDword(kGlobalLoggerKey, "Start", 1);
            host::RegistrySetDword(kGlobalLoggerKey, "Flags", TRDSM_ERROR_LEVEL | 0x80000000u);
            host::RegistrySetDword(kGlobalLoggerKey, "Level", 4);
            host::RegistrySetValue(kGlobalLoggerKey, name, value.Type, value.Data);

            ASSERT_EQ(Start(), STATUS_SUCCESS);

            std::string which(name);
            if (which == "Start") {
                // An unread Start leaves tracing off; a read one is 1.
                EXPECT_EQ(TarnTraceState.Logger, value.Read ? 1u : 0u);
                EXPECT_EQ(TarnTraceState.EnableFlags, value.Read ? (ULONG)TRDSM_ERROR_LEVEL : 0u);
            } else if (which == "Flags") {
                EXPECT_EQ(TarnTraceState.Logger, 1u);
                EXPECT_EQ(TarnTraceState.EnableFlags, value.Read ? 1u : 0u);
                EXPECT_EQ(TarnTraceState.EnableLevel, 4);
            } else {
                EXPECT_EQ(TarnTraceState.Logger, 1u);
                EXPECT_EQ(TarnTraceState.EnableFlags, (ULONG)TRDSM_ERROR_LEVEL);
                EXPECT_EQ(TarnTraceState.EnableLevel, value.Read ? 1 : 0);
            }
        }
    }
}

TEST_F(TraceTest, ControlRoutineRefusesRequestsItDoesNotHandle)
{
    ULONG size = 0;
    UCHAR buffer[64] = {};
    EXPECT_EQ(TarnTraceControl(10, NULL, sizeof(buffer), buffer, NULL, &size), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(TarnTraceControl(IRP_MN_QUERY_ALL_DATA, NULL, sizeof(buffer), buffer, NULL, &size),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(TarnTraceControl(IRP_MN_EXECUTE_METHOD, NULL, sizeof(buffer), buffer, NULL, &size),
              STATUS_INVALID_DEVICE_REQUEST);

    // Registration information names the control GUID, and says how much
    // room it needs when given too little.
    EXPECT_EQ(TarnTraceControl(IRP_MN_REGINFO, NULL, 8, buffer, NULL, &size), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, sizeof(WMIREGINFO));
    ASSERT_EQ(TarnTraceControl(IRP_MN_REGINFO, NULL, sizeof(buffer), buffer, NULL, &size), STATUS_SUCCESS);
    auto *info = reinterpret_cast<PWMIREGINFO>(buffer);
    EXPECT_EQ(info->GuidCount, 1u);
    EXPECT_EQ(memcmp(&info->WmiRegGuid[0].Guid, &TarnCtlGuid, sizeof(GUID)), 0);
}

} // namespace
} // namespace tarntest
