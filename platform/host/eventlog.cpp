/*++

Module Name:

    eventlog.cpp

Abstract:

    The error log of the user-mode kernel: IoAllocateErrorLogEntry and
    IoWriteErrorLogEntry, the log the written entries land in, the
    message tables of event sources, and the rendering of an entry as
    Event Viewer shows it.

    Entries are host memory, not pool, as on the real system where they
    come from the I/O manager's own zone; until written they are tracked
    as pending.  A written packet is checked against the size it was
    allocated with before it is kept: a packet whose dump data or strings
    run past its end would make the real system log garbage, so here it
    is a verifier failure.

--*/

#include "hostinternal.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace host {
namespace detail {
void RebootTrace();     // trace.cpp: its share of RebootDiagnostics
} // namespace detail

namespace {

constexpr size_t kDumpDataOffset = offsetof(IO_ERROR_LOG_PACKET, DumpData);

struct PendingEntry {
    std::unique_ptr<uint64_t[]> Memory;    // 8-aligned, as the packet's LARGE_INTEGER needs
    size_t Size;
    std::u16string Source;
};

struct MessageTable {
    std::u16string Source;
    const MessageEntry *Entries;
    size_t Count;
};

std::mutex g_logMutex;
std::unordered_map<const void *, PendingEntry> g_pending;
std::vector<EventRecord> g_log;
uint64_t g_sequence = 0;
std::vector<MessageTable> g_tables;

std::u16string LastComponent(const char16_t *name, size_t length)
{
    size_t begin = length;
    while (begin > 0 && name[begin - 1] != u'\\') {
        begin--;
    }
    return std::u16string(name + begin, length - begin);
}

// The event source of an I/O object: its driver's name without the
// "\Driver\" directory, as the I/O manager names the source by the driver
// even for an entry logged on one of its devices.  False for anything
// that is not a driver or device object the host made.
bool IoObjectSource(PVOID object, std::u16string *source)
{
    std::u16string driverName;
    if (!detail::IoObjectDriverName(object, &driverName)) {
        return false;
    }
    *source = LastComponent(driverName.data(), driverName.size());
    return true;
}

// Why a packet of this allocated size is malformed, or "" when it is not.
std::string PacketProblem(const uint8_t *bytes, size_t size)
{
    IO_ERROR_LOG_PACKET packet;
    memcpy(&packet, bytes, sizeof(packet));
    size_t dumpEnd = kDumpDataOffset + packet.DumpDataSize;
    char text[160];
    if (dumpEnd > size) {
        snprintf(text, sizeof(text), "DumpDataSize %u runs past the entry's %zu bytes", packet.DumpDataSize, size);
        return text;
    }
    if (packet.NumberOfStrings == 0) {
        return "";
    }
    if (packet.StringOffset < dumpEnd) {
        snprintf(text, sizeof(text), "StringOffset %u lies inside the fixed part or the dump data (which end at %zu)",
                 packet.StringOffset, dumpEnd);
        return text;
    }
    size_t at = packet.StringOffset;
    for (unsigned i = 0; i < packet.NumberOfStrings; i++) {
        for (;;) {
            if (at + sizeof(WCHAR) > size) {
                snprintf(text, sizeof(text), "string %u of %u is not NUL-terminated within the entry's %zu bytes",
                         i + 1, packet.NumberOfStrings, size);
                return text;
            }
            WCHAR c;
            memcpy(&c, bytes + at, sizeof(c));
            at += sizeof(WCHAR);
            if (c == 0) {
                break;
            }
        }
    }
    return "";
}

std::string HexByte(uint8_t value)
{
    char text[4];
    snprintf(text, sizeof(text), "%02x", value);
    return text;
}

// "0000: 00 00 04 00 01 00 00 00   ........", eight bytes a line.
std::string DataLines(const uint8_t *bytes, size_t length)
{
    std::string out;
    for (size_t line = 0; line < length; line += 8) {
        char offset[24];
        snprintf(offset, sizeof(offset), "%04zx: ", line);
        std::string hex;
        std::string ascii;
        for (size_t i = line; i < line + 8 && i < length; i++) {
            hex += (hex.empty() ? "" : " ") + HexByte(bytes[i]);
            ascii += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? (char)bytes[i] : '.';
        }
        hex.resize(8 * 3 - 1, ' ');
        out += offset + hex + "   " + ascii + "\n";
    }
    return out;
}

// Fills the message's insertion points as FormatMessage does: %1 the
// source, %2.. the strings; %n %r %t %b %0 %% %. %! are its escapes.  An
// insertion with no string stays as written, as Event Viewer shows it.
std::string FormatText(const char *text, const std::u16string &source, const std::vector<std::u16string> &strings)
{
    std::string out;
    for (const char *p = text; *p != '\0'; p++) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        char next = p[1];
        if (next >= '1' && next <= '9') {
            const char *start = p;
            unsigned n = (unsigned)(*++p - '0');
            if (p[1] >= '0' && p[1] <= '9') {
                n = n * 10 + (unsigned)(*++p - '0');
            }
            if (p[1] == '!') {
                const char *end = strchr(p + 2, '!');   // a printf-style type; all inserts here are text
                if (end != nullptr) {
                    p = end;
                }
            }
            if (n == 1) {
                out += detail::Narrow(source);
            } else if (n - 2 < strings.size()) {
                out += detail::Narrow(strings[n - 2]);
            } else {
                out.append(start, (size_t)(p - start + 1));
            }
            continue;
        }
        switch (next) {
        case '0':
            return out;
        case 'n':
            out += "\r\n";
            break;
        case 'r':
            out += "\r";
            break;
        case 't':
            out += "\t";
            break;
        case 'b':
            out += " ";
            break;
        case '%':
        case '.':
        case '!':
            out += next;
            break;
        case '\0':
            out += '%';
            return out;
        default:
            out += '%';
            out += next;
        }
        p++;
    }
    return out;
}

} // namespace

void RegisterMessageTable(const std::u16string &source, const MessageEntry *entries, size_t count)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    for (MessageTable &table : g_tables) {
        if (table.Source == source) {
            table.Entries = entries;
            table.Count = count;
            return;
        }
    }
    g_tables.push_back(MessageTable{source, entries, count});
}

const MessageEntry *FindMessage(const std::u16string &source, ULONG id)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    for (const MessageTable &table : g_tables) {
        if (table.Source != source) {
            continue;
        }
        for (size_t i = 0; i < table.Count; i++) {
            if (table.Entries[i].Id == id) {
                return &table.Entries[i];
            }
        }
    }
    return nullptr;
}

std::vector<EventRecord> EventLog()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log;
}

void ClearEventLog()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.clear();
    g_sequence = 0;
}

size_t PendingErrorLogEntries()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_pending.size();
}

std::vector<std::u16string> EventStrings(const EventRecord &record)
{
    std::vector<std::u16string> strings;
    const std::vector<uint8_t> &bytes = record.Packet;
    if (bytes.size() < sizeof(IO_ERROR_LOG_PACKET) || !PacketProblem(bytes.data(), bytes.size()).empty()) {
        return strings;
    }
    IO_ERROR_LOG_PACKET packet;
    memcpy(&packet, bytes.data(), sizeof(packet));
    size_t at = packet.StringOffset;
    for (unsigned i = 0; i < packet.NumberOfStrings; i++) {
        std::u16string text;
        for (;;) {
            WCHAR c;
            memcpy(&c, bytes.data() + at, sizeof(c));
            at += sizeof(WCHAR);
            if (c == 0) {
                break;
            }
            text += c;
        }
        strings.push_back(text);
    }
    return strings;
}

std::string EventDescription(const EventRecord &record)
{
    IO_ERROR_LOG_PACKET packet;
    memset(&packet, 0, sizeof(packet));
    memcpy(&packet, record.Packet.data(), std::min(record.Packet.size(), sizeof(packet)));
    std::vector<std::u16string> strings = EventStrings(record);
    const MessageEntry *message = FindMessage(record.Source, (ULONG)packet.ErrorCode);
    std::string text;
    if (message != nullptr) {
        text = FormatText(message->Text, record.Source, strings);
    } else {
        std::string source = detail::Narrow(record.Source);
        text = "The description for Event ID ( " + std::to_string((ULONG)packet.ErrorCode & 0xFFFF) +
               " ) in Source ( " + source +
               " ) cannot be found. The local computer may not have the necessary registry information or message "
               "DLL files to display messages from a remote computer. You may be able to use the /AUXSOURCE= flag "
               "to retrieve this description; see Help and Support for details. The following information is part "
               "of the event: " +
               source;
        for (const std::u16string &string : strings) {
            text += ", " + detail::Narrow(string);
        }
        text += ".";
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

std::string RenderEvent(const EventRecord &record)
{
    IO_ERROR_LOG_PACKET packet;
    memset(&packet, 0, sizeof(packet));
    memcpy(&packet, record.Packet.data(), std::min(record.Packet.size(), sizeof(packet)));
    ULONG code = (ULONG)packet.ErrorCode;

    static const char *const kTypes[] = {"Information", "Information", "Warning", "Error"};
    std::string out = std::string("Event Type:\t") + kTypes[code >> 30] + "\n";
    out += "Event Source:\t" + detail::Narrow(record.Source) + "\n";
    out += "Event Category:\t" +
           (packet.EventCategory == 0 ? std::string("None") : "(" + std::to_string(packet.EventCategory) + ")") + "\n";
    out += "Event ID:\t" + std::to_string(code & 0xFFFF) + "\n";

    // System time counts 100 ns units from 1601; the log shows it in UTC.
    constexpr int64_t kUnitsPerSecond = 10000000;
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
    time_t seconds = (time_t)(record.SystemTime / kUnitsPerSecond - kSecondsFrom1601To1970);
    struct tm utc;
    char date[32] = "?";
    char clock[32] = "?";
    if (gmtime_r(&seconds, &utc) != nullptr) {
        snprintf(date, sizeof(date), "%d/%d/%d", utc.tm_mon + 1, utc.tm_mday, utc.tm_year + 1900);
        int hour = utc.tm_hour % 12 == 0 ? 12 : utc.tm_hour % 12;
        snprintf(clock, sizeof(clock), "%d:%02d:%02d %s", hour, utc.tm_min, utc.tm_sec, utc.tm_hour < 12 ? "AM" : "PM");
    }
    out += std::string("Date:\t\t") + date + "\n";
    out += std::string("Time:\t\t") + clock + "\n";

    std::string description = EventDescription(record);
    std::string lines;
    for (char c : description) {
        if (c != '\r') {
            lines += c;
        }
    }
    out += "Description:\n" + lines + "\n";

    // The data is the packet up to the end of its dump data; the strings
    // are shown in the description instead.
    size_t dataLength = std::min(record.Packet.size(), kDumpDataOffset + packet.DumpDataSize);
    out += "Data:\n" + DataLines(record.Packet.data(), dataLength);
    return out;
}

namespace detail {

void ClearEventLog()
{
    host::ClearEventLog();
}

void RebootDiagnostics()
{
    std::unordered_map<const void *, PendingEntry> pending;
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        pending.swap(g_pending);
    }
    RebootTrace();
}

} // namespace detail
} // namespace host

using namespace host;

extern "C" PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize)
{
    detail::RequireAtMostDispatch("IoAllocateErrorLogEntry");
    if (IoObject == nullptr) {
        VerifierFail("IoAllocateErrorLogEntry: NULL I/O object");
        return nullptr;
    }
    std::u16string source;
    if (!IoObjectSource(IoObject, &source)) {
        VerifierFail("IoAllocateErrorLogEntry(%p): not a driver or device object", IoObject);
        return nullptr;
    }
    // As on the real system, a bad size is an allocation failure the caller must handle.
    if (EntrySize > ERROR_LOG_MAXIMUM_SIZE || EntrySize < sizeof(IO_ERROR_LOG_PACKET)) {
        return nullptr;
    }
    if (detail::CallFails(Call::IoAllocateErrorLogEntry)) {
        return nullptr;
    }
    PendingEntry entry;
    entry.Size = EntrySize;
    entry.Memory.reset(new uint64_t[(EntrySize + 7) / 8]());
    entry.Source = source;
    void *address = entry.Memory.get();
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_pending.emplace(address, std::move(entry));
    return address;
}

extern "C" VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry)
{
    detail::RequireAtMostDispatch("IoWriteErrorLogEntry");
    PendingEntry entry;
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        auto it = g_pending.find(ElEntry);
        if (it != g_pending.end()) {
            entry = std::move(it->second);
            g_pending.erase(it);
        }
    }
    if (entry.Memory == nullptr) {
        VerifierFail("IoWriteErrorLogEntry(%p): not an entry from IoAllocateErrorLogEntry, or written already",
                     ElEntry);
        return;
    }
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(entry.Memory.get());
    std::string problem = PacketProblem(bytes, entry.Size);
    if (!problem.empty()) {
        VerifierFail("IoWriteErrorLogEntry(%p): malformed packet: %s", ElEntry, problem.c_str());
        return;
    }
    EventRecord record;
    record.Packet.assign(bytes, bytes + entry.Size);
    record.Source = entry.Source;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    record.SystemTime = now.QuadPart;
    std::lock_guard<std::mutex> lock(g_logMutex);
    record.Sequence = ++g_sequence;
    g_log.push_back(std::move(record));
}
