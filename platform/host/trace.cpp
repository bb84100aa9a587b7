/*++

Module Name:

    trace.cpp

Abstract:

    Software tracing in the user-mode kernel: WMI registration of one
    trace provider (IoWMIRegistrationControl with a control routine), a
    trace session that enables and disables it (TraceEnable/TraceDisable,
    as a trace controller would), the provider's queries of its session
    (WmiQueryTraceInformation), the trace messages it writes
    (WmiTraceMessage), and their rendering with the trace format table.

    Logger handle 1 is the boot-time logger: a provider that finds boot
    tracing configured in its registry while answering IRP_MN_REGINFO
    enables itself with it.  Sessions started by TraceEnable get 2, 3, ...
    One session at a time is active; a session outlives the provider's
    deregistration (a provider that registers again is enabled at once,
    as WMI does) but not a reboot.

    The control routine is called with the request's DataPath NULL: the
    host's WMI has no data blocks, and a trace provider reads its
    requests from Buffer alone.

--*/

#include "hostinternal.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <mutex>

namespace host {
namespace {

constexpr TRACEHANDLE kBootLogger = 1;
constexpr TRACEHANDLE kFirstSessionLogger = 2;
constexpr ULONG kWnodeFlagTracedGuid = 0x00020000;
constexpr ULONG kRegInfoFirstSize = 4096;
constexpr ULONG kRegInfoLargestSize = 1024 * 1024;
constexpr SIZE_T kLargestArgument = 64 * 1024;
// More pairs than any trace call passes: the list has lost its NULL end.
constexpr int kMostArguments = 64;

struct Provider {
    WMIENTRY Routine;
    PVOID Context;          // the control block, handed back to the routine
    GUID ControlGuid;
};

struct Session {
    TRACEHANDLE Logger;
    ULONG Flags;
    UCHAR Level;
};

// Serialises the requests sent to the provider; never held by the calls
// a provider makes (those take g_traceMutex only).
std::mutex g_controlMutex;
std::mutex g_traceMutex;
bool g_registered = false;
Provider g_provider;
bool g_sessionActive = false;
Session g_session;
TRACEHANDLE g_nextLogger = kFirstSessionLogger;
std::vector<TraceRecord> g_records;
uint64_t g_traceSequence = 0;
std::vector<const TraceFormat *> g_formats;

std::string GuidText(const GUID &guid)
{
    char text[48];
    snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
             guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
             guid.Data4[6], guid.Data4[7]);
    return text;
}

// Asks the routine for its registration information and picks the
// control GUID from it.  A malformed answer is a verifier failure.
NTSTATUS QueryRegInfo(WMIENTRY routine, PVOID context, GUID *controlGuid)
{
    ULONG size = kRegInfoFirstSize;
    for (int attempt = 0;; attempt++) {
        std::vector<uint64_t> memory((size + 7) / 8, 0);
        ULONG returned = 0;
        NTSTATUS status = CallDriver("WMI control callback (IRP_MN_REGINFO)", routine, IRP_MN_REGINFO, nullptr, size,
                                     memory.data(), context, &returned);
        if (status == STATUS_BUFFER_TOO_SMALL) {
            if (attempt == 0 && returned > size && returned <= kRegInfoLargestSize) {
                size = returned;
                continue;
            }
            VerifierFail("IoWMIRegistrationControl: IRP_MN_REGINFO answered STATUS_BUFFER_TOO_SMALL for %u bytes "
                         "asking for %u",
                         size, returned);
            return STATUS_UNSUCCESSFUL;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        const WMIREGINFO *info = reinterpret_cast<const WMIREGINFO *>(memory.data());
        const uint64_t rowsEnd =
            offsetof(WMIREGINFO, WmiRegGuid) + (uint64_t)info->GuidCount * sizeof(WMIREGGUID);
        const char *problem = nullptr;
        if (returned > size) {
            problem = "the returned size is larger than the buffer";
        } else if (info->BufferSize > size || info->BufferSize < offsetof(WMIREGINFO, WmiRegGuid)) {
            problem = "its BufferSize does not lie within the buffer";
        } else if (info->GuidCount == 0) {
            problem = "it registers no GUID";
        } else if (rowsEnd > info->BufferSize) {
            problem = "its GUID rows run past its BufferSize";
        } else if (info->RegistryPath >= info->BufferSize || info->MofResourceName >= info->BufferSize) {
            problem = "a registry path or MOF name offset lies outside its BufferSize";
        }
        if (problem != nullptr) {
            VerifierFail("IoWMIRegistrationControl: malformed IRP_MN_REGINFO answer: %s", problem);
            return STATUS_UNSUCCESSFUL;
        }
        *controlGuid = info->WmiRegGuid[0].Guid;
        for (ULONG i = 0; i < info->GuidCount; i++) {
            if ((info->WmiRegGuid[i].Flags & WMIREG_FLAG_TRACE_CONTROL_GUID) != 0) {
                *controlGuid = info->WmiRegGuid[i].Guid;
                break;
            }
        }
        return STATUS_SUCCESS;
    }
}

// Sends IRP_MN_ENABLE_EVENTS or IRP_MN_DISABLE_EVENTS for a logger.
NTSTATUS SendEventsRequest(const Provider &provider, UCHAR code, TRACEHANDLE logger)
{
    WNODE_HEADER header;
    memset(&header, 0, sizeof(header));
    header.BufferSize = sizeof(header);
    header.HistoricalContext = logger;
    header.Guid = provider.ControlGuid;
    header.Flags = kWnodeFlagTracedGuid;
    ULONG size = 0;
    return CallDriver(code == IRP_MN_ENABLE_EVENTS ? "WMI control callback (IRP_MN_ENABLE_EVENTS)"
                                                   : "WMI control callback (IRP_MN_DISABLE_EVENTS)",
                      provider.Routine, code, nullptr, (ULONG)sizeof(header), &header, provider.Context, &size);
}

// Ends the active session, telling the provider (control lock held).
void EndSession()
{
    Provider provider;
    Session session;
    bool registered;
    {
        std::lock_guard<std::mutex> lock(g_traceMutex);
        if (!g_sessionActive) {
            return;
        }
        provider = g_provider;
        session = g_session;
        registered = g_registered;
    }
    if (registered) {
        SendEventsRequest(provider, IRP_MN_DISABLE_EVENTS, session.Logger);
    }
    std::lock_guard<std::mutex> lock(g_traceMutex);
    g_sessionActive = false;
}

bool KnownLogger(TRACEHANDLE logger)
{
    return logger == kBootLogger || (g_sessionActive && logger == g_session.Logger);
}

const char *LevelName(const TraceFormat &format)
{
    switch (format.Flag) {
    case 0x1:
        return "ERROR";
    case 0x2:
        return "WARNING";
    case 0x4:
        return "TRACE";
    default:
        return format.FlagName;
    }
}

bool ReadInteger(const std::vector<uint8_t> &bytes, bool isSigned, uint64_t *value)
{
    switch (bytes.size()) {
    case 1:
        *value = bytes[0];  // UCHAR, promoted as printf promotes it
        return true;
    case 4: {
        uint32_t v;
        memcpy(&v, bytes.data(), 4);
        *value = isSigned ? (uint64_t)(int64_t)(int32_t)v : v;
        return true;
    }
    case 8:
        memcpy(value, bytes.data(), 8);
        return true;
    default:
        return false;
    }
}

// The format with each conversion replaced by its argument, decoded by
// the conversion (flags, width and precision kept).
std::string FormatMessageText(const char *format, const std::vector<std::vector<uint8_t>> &arguments)
{
    std::string out;
    size_t next = 0;
    for (const char *p = format; *p != '\0'; p++) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            p++;
            continue;
        }
        const char *start = p++;
        std::string conversion = "%";
        while (*p != '\0' && strchr("-+ #0", *p) != nullptr) {
            conversion += *p++;
        }
        while (*p != '\0' && (isdigit((unsigned char)*p) || *p == '.')) {
            conversion += *p++;
        }
        bool wide = false;
        for (const char *prefix : {"I64", "ll", "hh", "l", "h", "w"}) {
            if (strncmp(p, prefix, strlen(prefix)) == 0) {
                wide = *prefix == 'w';
                p += strlen(prefix);
                break;
            }
        }
        char type = *p;
        if (type == '\0') {
            out.append(start);
            break;
        }
        if (strchr("diuxXocspZ", type) == nullptr || (type == 'Z') != wide) {
            out.append(start, (size_t)(p - start + 1));   // not a conversion the scanner lets through
            continue;
        }
        if (next >= arguments.size()) {
            out += "<missing argument>";
            continue;
        }
        const std::vector<uint8_t> &bytes = arguments[next++];
        char text[128];
        text[0] = '\0';
        uint64_t value = 0;
        if (type == 's') {
            std::string s(bytes.begin(), std::find(bytes.begin(), bytes.end(), 0));
            std::vector<char> buffer(s.size() + 256);
            snprintf(buffer.data(), buffer.size(), (conversion + "s").c_str(), s.c_str());
            out += buffer.data();
        } else if (type == 'Z') {
            std::u16string u(bytes.size() / 2, u'\0');
            memcpy(&u[0], bytes.data(), u.size() * 2);
            std::string s = detail::Narrow(u);
            std::vector<char> buffer(s.size() + 256);
            snprintf(buffer.data(), buffer.size(), (conversion + "s").c_str(), s.c_str());
            out += buffer.data();
        } else if (!ReadInteger(bytes, type == 'd' || type == 'i', &value)) {
            out += "<bad argument>";
        } else if (type == 'p') {
            snprintf(text, sizeof(text), "0x%0*llX", (int)bytes.size() * 2, (unsigned long long)value);
            out += text;
        } else if (type == 'c') {
            snprintf(text, sizeof(text), (conversion + "c").c_str(), (int)(unsigned char)value);
            out += text;
        } else if (type == 'd' || type == 'i') {
            snprintf(text, sizeof(text), (conversion + "lld").c_str(), (long long)value);
            out += text;
        } else {
            snprintf(text, sizeof(text), (conversion + "ll" + type).c_str(), (unsigned long long)value);
            out += text;
        }
    }
    return out;
}

} // namespace

void RegisterTraceFormats(const TraceFormat *formats, size_t count)
{
    std::lock_guard<std::mutex> lock(g_traceMutex);
    for (size_t i = 0; i < count; i++) {
        if (std::find(g_formats.begin(), g_formats.end(), &formats[i]) == g_formats.end()) {
            g_formats.push_back(&formats[i]);
        }
    }
}

bool TraceEnable(ULONG flags, UCHAR level)
{
    std::lock_guard<std::mutex> control(g_controlMutex);
    EndSession();
    Provider provider;
    Session session;
    {
        std::lock_guard<std::mutex> lock(g_traceMutex);
        if (!g_registered) {
            return false;
        }
        provider = g_provider;
        session = Session{g_nextLogger++, flags, level};
        // Known before the request: the provider asks for its flags while handling it.
        g_session = session;
        g_sessionActive = true;
    }
    if (!NT_SUCCESS(SendEventsRequest(provider, IRP_MN_ENABLE_EVENTS, session.Logger))) {
        std::lock_guard<std::mutex> lock(g_traceMutex);
        g_sessionActive = false;
        return false;
    }
    return true;
}

void TraceDisable()
{
    std::lock_guard<std::mutex> control(g_controlMutex);
    EndSession();
}

std::string GlobalLoggerKey(const GUID &provider)
{
    char text[40];
    snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", provider.Data1,
             provider.Data2, provider.Data3, provider.Data4[0], provider.Data4[1], provider.Data4[2],
             provider.Data4[3], provider.Data4[4], provider.Data4[5], provider.Data4[6], provider.Data4[7]);
    return std::string("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\WMI\\GlobalLogger\\") + text;
}

bool TraceProviderRegistered()
{
    std::lock_guard<std::mutex> lock(g_traceMutex);
    return g_registered;
}

std::vector<TraceRecord> TraceRecords()
{
    std::lock_guard<std::mutex> lock(g_traceMutex);
    return g_records;
}

void ClearTrace()
{
    std::lock_guard<std::mutex> lock(g_traceMutex);
    g_records.clear();
}

const TraceFormat *FindTraceFormat(const TraceRecord &record)
{
    std::lock_guard<std::mutex> lock(g_traceMutex);
    for (const TraceFormat *format : g_formats) {
        if (memcmp(&format->MessageGuid, &record.MessageGuid, sizeof(GUID)) == 0 &&
            format->FirstLine <= record.MessageNumber && record.MessageNumber <= format->LastLine) {
            return format;
        }
    }
    return nullptr;
}

std::string RenderTrace(const TraceRecord &record)
{
    const TraceFormat *format = FindTraceFormat(record);
    if (format == nullptr) {
        size_t bytes = 0;
        for (const std::vector<uint8_t> &argument : record.Arguments) {
            bytes += argument.size();
        }
        return "[unknown " + GuidText(record.MessageGuid) + " " + std::to_string(record.MessageNumber) + "] " +
               std::to_string(bytes) + " argument bytes";
    }
    return std::string("[") + format->Module + "] " + LevelName(*format) + " " +
           FormatMessageText(format->Format, record.Arguments);
}

// Records without a format are shown only when every flag is asked for.
std::vector<std::string> RenderTraces(ULONG flagMask)
{
    std::vector<std::string> lines;
    for (const TraceRecord &record : TraceRecords()) {
        const TraceFormat *format = FindTraceFormat(record);
        if (format != nullptr ? (format->Flag & flagMask) != 0 : flagMask == 0xFFFFFFFF) {
            lines.push_back(RenderTrace(record));
        }
    }
    return lines;
}

namespace detail {

void RebootTrace()
{
    std::lock_guard<std::mutex> lock(g_traceMutex);
    g_registered = false;
    g_sessionActive = false;
    g_nextLogger = kFirstSessionLogger;
    g_records.clear();
    g_traceSequence = 0;
}

} // namespace detail
} // namespace host

using namespace host;

extern "C" NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action)
{
    RequirePassive("IoWMIRegistrationControl");
    const ULONG action = Action & ~(ULONG)WMIREG_FLAG_CALLBACK;
    if (DeviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (detail::CallFails(Call::IoWMIRegistrationControl)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::lock_guard<std::mutex> control(g_controlMutex);
    if (action == WMIREG_ACTION_DEREGISTER) {
        std::lock_guard<std::mutex> lock(g_traceMutex);
        if (!g_registered || g_provider.Context != DeviceObject) {
            return STATUS_INVALID_PARAMETER;
        }
        g_registered = false;
        return STATUS_SUCCESS;
    }
    if (action != WMIREG_ACTION_REGISTER) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((Action & WMIREG_FLAG_CALLBACK) == 0) {
        // A device object provider would need IRP_MJ_SYSTEM_CONTROL, which the host does not send.
        return STATUS_NOT_SUPPORTED;
    }
    Provider provider;
    memcpy(&provider.Routine, DeviceObject, sizeof(provider.Routine));
    provider.Context = DeviceObject;
    if (provider.Routine == nullptr) {
        VerifierFail("IoWMIRegistrationControl(%p): the control block has no control routine", (void *)DeviceObject);
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = QueryRegInfo(provider.Routine, provider.Context, &provider.ControlGuid);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Session session;
    bool sessionActive;
    {
        std::lock_guard<std::mutex> lock(g_traceMutex);
        if (g_registered) {
            fprintf(stderr, "host: IoWMIRegistrationControl: provider %s replaces the registered %s\n",
                    GuidText(provider.ControlGuid).c_str(), GuidText(g_provider.ControlGuid).c_str());
        }
        g_provider = provider;
        g_registered = true;
        session = g_session;
        sessionActive = g_sessionActive;
    }
    if (sessionActive) {
        SendEventsRequest(provider, IRP_MN_ENABLE_EVENTS, session.Logger);
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI WmiQueryTraceInformation(TRACE_INFORMATION_CLASS TraceInformationClass,
                                                   PVOID TraceInformation, ULONG TraceInformationLength,
                                                   PULONG RequiredLength, PVOID Buffer)
{
    detail::RequireAtMostDispatch("WmiQueryTraceInformation");
    if (TraceInformationClass != TraceEnableFlagsClass && TraceInformationClass != TraceEnableLevelClass) {
        return STATUS_INVALID_PARAMETER;
    }
    if (RequiredLength != nullptr) {
        *RequiredLength = sizeof(ULONG);
    }
    if (TraceInformation == nullptr || Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (TraceInformationLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    TRACEHANDLE logger;
    memcpy(&logger, static_cast<const uint8_t *>(Buffer) + offsetof(WNODE_HEADER, HistoricalContext), sizeof(logger));
    ULONG answer = 0;
    {
        std::lock_guard<std::mutex> lock(g_traceMutex);
        if (!KnownLogger(logger)) {
            return STATUS_INVALID_HANDLE;
        }
        // The boot-time logger's settings live in the provider's own registry; the host keeps none.
        if (logger != kBootLogger) {
            answer = TraceInformationClass == TraceEnableFlagsClass ? g_session.Flags : g_session.Level;
        }
    }
    memcpy(TraceInformation, &answer, sizeof(answer));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS __cdecl WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                                            USHORT MessageNumber, ...)
{
    detail::RequireAtMostDispatch("WmiTraceMessage");
    if ((MessageFlags & TRACE_MESSAGE_GUID) != 0 && MessageGuid == nullptr) {
        VerifierFail("WmiTraceMessage: TRACE_MESSAGE_GUID without a message GUID");
        return STATUS_INVALID_PARAMETER;
    }
    TraceRecord record;
    record.Logger = LoggerHandle;
    record.MessageFlags = MessageFlags;
    memset(&record.MessageGuid, 0, sizeof(GUID));
    if (MessageGuid != nullptr) {
        record.MessageGuid = *MessageGuid;
    }
    record.MessageNumber = MessageNumber;
    va_list args;
    va_start(args, MessageNumber);
    for (int count = 0;; count++) {
        const void *address = va_arg(args, const void *);
        if (address == nullptr) {
            break;
        }
        SIZE_T length = va_arg(args, SIZE_T);
        if (count >= kMostArguments) {
            va_end(args);
            VerifierFail("WmiTraceMessage: more than %d arguments; is the NULL that ends them missing?",
                         kMostArguments);
            return STATUS_INVALID_PARAMETER;
        }
        if (length > kLargestArgument) {
            va_end(args);
            VerifierFail("WmiTraceMessage: argument %d is %lu bytes long, more than %lu", count + 1,
                         (unsigned long)length, (unsigned long)kLargestArgument);
            return STATUS_INVALID_PARAMETER;
        }
        const uint8_t *bytes = static_cast<const uint8_t *>(address);
        record.Arguments.emplace_back(bytes, bytes + length);
    }
    va_end(args);
    std::lock_guard<std::mutex> lock(g_traceMutex);
    if (!KnownLogger(LoggerHandle)) {
        return STATUS_INVALID_HANDLE;
    }
    record.Sequence = ++g_traceSequence;
    g_records.push_back(std::move(record));
    return STATUS_SUCCESS;
}
