/*++

Module Name:

    scenario.cpp

Abstract:

    Reading scenario files.  Unknown sections and keys are refused, so a
    misspelt setting is reported instead of silently ignored, and so is a
    value of the wrong type: each refusal names the file and the line.

--*/

#include "scenario.h"
#include "../common/toolnames.h"
#include "mpiohost.h"
#include "simarray.h"
#include "tarn.h"
#include "tarnresources.h"

// The TOML parser checks its own assumptions, and malformed input breaks
// some (a table header such as "[#"): checked, a failed one stops the
// program; unchecked (NDEBUG), the parser goes on assuming the
// impossible.  Each check becomes an exception, refused like bad TOML.
namespace scenario {
struct TomlAssumption {};
} // namespace scenario
#pragma push_macro("NDEBUG")
#undef NDEBUG
#define TOML_ASSERT(expr) ((expr) ? (void)0 : throw scenario::TomlAssumption())
#include <toml++/toml.h>
#pragma pop_macro("NDEBUG")

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstring>
#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <sstream>

namespace scenario {
namespace {

std::string Where(const toml::node &node, const std::string &origin)
{
    const auto &source = node.source();
    return origin + ":" + std::to_string(source.begin.line);
}

bool CheckKeys(const toml::table &table, const std::string &section, const std::set<std::string> &known,
               const std::string &origin, std::string *error)
{
    for (const auto &[key, node] : table) {
        if (known.count(std::string(key.str())) == 0) {
            *error = Where(node, origin) + ": unknown key \"" + std::string(key.str()) + "\" in [" + section + "]";
            return false;
        }
    }
    return true;
}

// What a value is, for messages: "a string", "an integer", ...
const char *TypeName(const toml::node &node)
{
    switch (node.type()) {
    case toml::node_type::table:
        return "a table";
    case toml::node_type::array:
        return "an array";
    case toml::node_type::string:
        return "a string";
    case toml::node_type::integer:
        return "an integer";
    case toml::node_type::floating_point:
        return "a floating-point number";
    case toml::node_type::boolean:
        return "a boolean";
    case toml::node_type::date:
        return "a date";
    case toml::node_type::time:
        return "a time";
    case toml::node_type::date_time:
        return "a date-time";
    default:
        return "nothing";
    }
}

bool WrongType(const toml::node &node, const std::string &what, const char *expected, const std::string &origin,
               std::string *error)
{
    *error = Where(node, origin) + ": " + what + " must be " + expected + ", not " + TypeName(node);
    return false;
}

// An optional section; absent leaves *section null.
bool GetTable(const toml::table &root, const char *name, const std::string &origin, const toml::table **section,
              std::string *error)
{
    const toml::node *node = root.get(name);
    *section = node != nullptr ? node->as_table() : nullptr;
    if (node != nullptr && *section == nullptr) {
        return WrongType(*node, std::string("[") + name + "]", "a table", origin, error);
    }
    return true;
}

// An optional string; absent leaves *value alone.
bool GetString(const toml::table &table, const char *key, const std::string &section, const std::string &origin,
               std::string *value, std::string *error)
{
    const toml::node *node = table.get(key);
    if (node == nullptr) {
        return true;
    }
    if (!node->is_string()) {
        return WrongType(*node, "[" + section + "] " + key, "a string", origin, error);
    }
    *value = **node->as_string();
    return true;
}

// An integer from low to high.
bool GetInteger(const toml::node &node, const std::string &what, int64_t low, int64_t high,
                const std::string &origin, int64_t *value, std::string *error)
{
    if (!node.is_integer()) {
        return WrongType(node, what, "an integer", origin, error);
    }
    int64_t number = **node.as_integer();
    if (number < low || number > high) {
        *error = Where(node, origin) + ": " + what + " must be " + std::to_string(low) + " to " +
                 std::to_string(high);
        return false;
    }
    *value = number;
    return true;
}

// An optional array; absent leaves *array null.
bool GetArray(const toml::table &table, const char *key, const std::string &section, const std::string &origin,
              const toml::array **array, std::string *error)
{
    const toml::node *node = table.get(key);
    *array = node != nullptr ? node->as_array() : nullptr;
    if (node != nullptr && *array == nullptr) {
        return WrongType(*node, "[" + section + "] " + key, "an array", origin, error);
    }
    return true;
}

uint32_t LineOf(const toml::node &node)
{
    return (uint32_t)node.source().begin.line;
}


bool ParseFaultAction(const std::string &name, FaultAction *action)
{
    for (FaultAction candidate : {FaultAction::LinkDown, FaultAction::NoAnswer, FaultAction::Busy,
                                  FaultAction::LunNotSupported, FaultAction::ControllerFailure,
                                  FaultAction::UnitAttention, FaultAction::StrayWrite}) {
        if (name == FaultActionName(candidate)) {
            *action = candidate;
            return true;
        }
    }
    return false;
}

// "2:0:1" (port:bus:target).
bool ParsePathAddress(const std::string &text, Fault *fault)
{
    unsigned port = 0;
    unsigned bus = 0;
    unsigned target = 0;
    char end = 0;
    if (sscanf(text.c_str(), "%u:%u:%u%c", &port, &bus, &target, &end) != 3 || port > 255 || bus > 255 ||
        target > 255) {
        return false;
    }
    fault->Port = port;
    fault->Bus = bus;
    fault->Target = target;
    return true;
}

// One [[fault]] entry: when, what, and exactly one place.
// When: at_ms, the action and until_ms.
bool ParseFaultWhen(const toml::table &table, const toml::node &entry, const std::string &origin, Fault *fault,
                    std::string *error)
{
    fault->Line = LineOf(entry);
    const std::string where = Where(entry, origin);
    int64_t value = 0;
    const toml::node *node = table.get("at_ms");
    if (node == nullptr) {
        *error = where + ": a fault needs at_ms";
        return false;
    }
    if (!GetInteger(*node, "[[fault]] at_ms", 0, 24LL * 3600 * 1000, origin, &value, error)) {
        return false;
    }
    fault->AtMs = (uint64_t)value;
    std::string action;
    if (!GetString(table, "action", "fault", origin, &action, error)) {
        return false;
    }
    if (!ParseFaultAction(action, &fault->Action)) {
        *error = where + ": a fault's action is link_down, no_answer, busy, lun_not_supported, "
                         "controller_failure, unit_attention or stray_write";
        return false;
    }
    if ((node = table.get("until_ms")) != nullptr) {
        if (fault->Action == FaultAction::UnitAttention || fault->Action == FaultAction::StrayWrite) {
            *error = Where(*node, origin) + ": a " + action + " happens once; it has no until_ms";
            return false;
        }
        if (!GetInteger(*node, "[[fault]] until_ms", (int64_t)fault->AtMs + 1, 24LL * 3600 * 1000, origin, &value,
                        error)) {
            return false;
        }
        fault->UntilMs = (uint64_t)value;
    }
    return true;
}

// Where: path (with lun), target_port, controller or all_paths; *places
// counts how many of them are given.
bool ParseFaultWhere(const toml::table &table, const std::string &origin, Fault *fault, int *places,
                     std::string *error)
{
    int64_t value = 0;
    const toml::node *node = nullptr;
    if ((node = table.get("path")) != nullptr) {
        (*places)++;
        std::string path;
        if (!GetString(table, "path", "fault", origin, &path, error)) {
            return false;
        }
        if (path == "current") {
            fault->Where = FaultWhere::CurrentPath;
        } else if (ParsePathAddress(path, fault)) {
            fault->Where = FaultWhere::Path;
        } else {
            *error = Where(*node, origin) + ": a fault's path is \"current\" or port:bus:target, like \"2:0:1\"";
            return false;
        }
    }
    if ((node = table.get("lun")) != nullptr) {
        if (fault->Action != FaultAction::StrayWrite &&
            (fault->Where != FaultWhere::CurrentPath || table.get("path") == nullptr)) {
            *error = Where(*node, origin) + ": lun names whose current path; it goes with path = \"current\"";
            return false;
        }
        if (!GetInteger(*node, "[[fault]] lun", 0, 255, origin, &value, error)) {
            return false;
        }
        fault->Lun = (uint32_t)value;
    }
    // A target port or a controller, by number.
    const struct {
        const char *Key;
        FaultWhere Where;
        int64_t High;
        uint32_t Fault::*Number;
    } numbered[] = {
        {"target_port", FaultWhere::TargetPort, array::kTargetPortCount - 1, &Fault::TargetPort},
        {"controller", FaultWhere::Controller, array::kControllerCount - 1, &Fault::Controller},
    };
    for (const auto &place : numbered) {
        if ((node = table.get(place.Key)) != nullptr) {
            (*places)++;
            fault->Where = place.Where;
            if (!GetInteger(*node, std::string("[[fault]] ") + place.Key, 0, place.High, origin, &value, error)) {
                return false;
            }
            fault->*place.Number = (uint32_t)value;
        }
    }
    if ((node = table.get("all_paths")) != nullptr) {
        (*places)++;
        fault->Where = FaultWhere::AllPaths;
        if (!node->is_boolean() || !**node->as_boolean()) {
            *error = Where(*node, origin) + ": all_paths can only be true";
            return false;
        }
    }
    return true;
}

bool ParseFault(const toml::node &entry, const std::string &origin, Fault *fault, std::string *error)
{
    const toml::table *table = entry.as_table();
    if (table == nullptr) {
        return WrongType(entry, "[[fault]]", "a table", origin, error);
    }
    if (!CheckKeys(*table, "fault", {"at_ms", "until_ms", "action", "path", "lun", "target_port", "controller",
                                     "all_paths", "attention", "block"},
                   origin, error)) {
        return false;
    }
    int places = 0;
    if (!ParseFaultWhen(*table, entry, origin, fault, error) ||
        !ParseFaultWhere(*table, origin, fault, &places, error)) {
        return false;
    }
    const std::string where = Where(entry, origin);
    int64_t value = 0;
    const toml::node *node = nullptr;
    if (fault->Action == FaultAction::StrayWrite) {
        if (places != 0 || (node = table->get("block")) == nullptr) {
            *error = where + ": a stray_write names lun and block, and no path, port or controller";
            return false;
        }
        if (!GetInteger(*node, "[[fault]] block", 0, INT64_MAX, origin, &value, error)) {
            return false;
        }
        fault->Block = (uint64_t)value;
        return true;
    }
    if ((node = table->get("block")) != nullptr) {
        *error = Where(*node, origin) + ": block goes with action = \"stray_write\"";
        return false;
    }
    if (places != 1) {
        *error = where + ": a fault applies to exactly one of path, target_port, controller or all_paths";
        return false;
    }
    if (fault->Action == FaultAction::ControllerFailure && fault->Where != FaultWhere::Controller) {
        *error = where + ": controller_failure needs controller = 0 or 1";
        return false;
    }
    if ((node = table->get("attention")) != nullptr) {
        if (fault->Action != FaultAction::UnitAttention) {
            *error = Where(*node, origin) + ": attention goes with action = \"unit_attention\"";
            return false;
        }
        if (!GetString(*table, "attention", "fault", origin, &fault->Attention, error)) {
            return false;
        }
        if (fault->Attention != "power_on_reset" && fault->Attention != "it_nexus_loss" &&
            fault->Attention != "parameters_changed") {
            *error = Where(*node, origin) + ": attention is power_on_reset, it_nexus_loss or parameters_changed";
            return false;
        }
    }
    return true;
}

bool ParseFaults(const toml::table &root, const std::string &origin, Scenario *scenario, std::string *error)
{
    const toml::node *node = root.get("fault");
    if (node == nullptr) {
        return true;
    }
    const toml::array *faults = node->as_array();
    if (faults == nullptr) {
        return WrongType(*node, "fault", "an array of tables ([[fault]])", origin, error);
    }
    for (size_t i = 0; i < faults->size(); i++) {
        Fault fault;
        if (!ParseFault(*faults->get(i), origin, &fault, error)) {
            return false;
        }
        scenario->Faults.push_back(fault);
    }
    std::stable_sort(scenario->Faults.begin(), scenario->Faults.end(),
                     [](const Fault &a, const Fault &b) { return a.AtMs < b.AtMs; });
    return true;
}

} // namespace

uint32_t TraceFlag(const std::string &name)
{
    if (name == "error") {
        return TRDSM_ERROR_LEVEL;
    }
    if (name == "warning") {
        return TRDSM_WARNING_LEVEL;
    }
    if (name == "trace") {
        return TRDSM_TRACE_LEVEL;
    }
    return 0;
}

const char *FaultActionName(FaultAction action)
{
    switch (action) {
    case FaultAction::LinkDown:
        return "link_down";
    case FaultAction::NoAnswer:
        return "no_answer";
    case FaultAction::Busy:
        return "busy";
    case FaultAction::LunNotSupported:
        return "lun_not_supported";
    case FaultAction::ControllerFailure:
        return "controller_failure";
    case FaultAction::UnitAttention:
        return "unit_attention";
    case FaultAction::StrayWrite:
        return "stray_write";
    }
    return "?";
}

namespace {
thread_local std::string fileError;

bool FileFailed(const std::string &why)
{
    fileError = why;
    return false;
}
} // namespace

std::string FileError()
{
    return fileError;
}

bool ReadFile(const std::string &path, std::string *text)
{
    // The checks are made on the descriptor that is read, so the file
    // cannot be swapped for a device or a pipe between check and read.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return FileFailed(strerror(errno));
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return FileFailed("not a regular file");
    }
    if ((uint64_t)status.st_size > kMaxInputFileBytes) {
        close(fd);
        return FileFailed("larger than " + std::to_string(kMaxInputFileBytes >> 20) + " MiB");
    }
    std::string content;
    char chunk[65536];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            std::string why = strerror(errno);
            close(fd);
            return FileFailed(why);
        }
        if (got == 0) {
            break;
        }
        // The file may grow while it is read.
        if (content.size() + (size_t)got > kMaxInputFileBytes) {
            close(fd);
            return FileFailed("larger than " + std::to_string(kMaxInputFileBytes >> 20) + " MiB");
        }
        content.append(chunk, (size_t)got);
    }
    close(fd);
    *text = std::move(content);
    return true;
}

bool ReplaceFile(const std::string &path, const std::string &text)
{
    // The original's permissions, or what a new file would get.
    struct stat status;
    mode_t mode;
    if (stat(path.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode)) {
            return FileFailed("not a regular file");
        }
        mode = status.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    std::string temporary = path + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) {
        return FileFailed(strerror(errno));
    }
    const char *data = text.data();
    size_t left = text.size();
    bool written = true;
    while (left != 0) {
        ssize_t put = write(fd, data, left);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            written = false;
            break;
        }
        data += put;
        left -= (size_t)put;
    }
    if (!written || fchmod(fd, mode) != 0 || fsync(fd) != 0) {
        std::string why = strerror(errno);
        close(fd);
        unlink(temporary.c_str());
        return FileFailed(why);
    }
    if (close(fd) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
        std::string why = strerror(errno);
        unlink(temporary.c_str());
        return FileFailed(why);
    }
    return true;
}

bool RegistryTextWhole(const std::string &text, std::string *error)
{
    if (!text.empty() && text.back() != '\n' && !(text.size() >= 2 && text.compare(text.size() - 2, 2, std::string_view("\n\0", 2)) == 0)) {
        *error = "the last line has no line break: the file was cut short";
        return false;
    }
    return true;
}

bool ParseVersion(const std::string &text, uint32_t words[4])
{
    std::istringstream in(text);
    for (int i = 0; i < 4; i++) {
        uint64_t value = 0;
        if (!(in >> value) || value > 0xFFFFFFFFull) {
            return false;
        }
        words[i] = (uint32_t)value;
        if (i < 3) {
            char dot = 0;
            if (!(in >> dot) || dot != '.') {
                return false;
            }
        }
    }
    return in.peek() == EOF;
}

namespace {

// What the TOML parser must never see, found before it does: a control
// character other than the tab (TOML allows none anywhere; a NUL in a
// table header stops the parser on an assertion), and a character beyond
// ASCII outside a string or comment (TOML allows none there; the parser
// meets some of them with undefined behaviour).  False with the line.
bool CheckTomlCharacters(const std::string &text, const std::string &origin, std::string *error)
{
    enum class Place { Bare, Comment, Basic, Literal, MultiBasic, MultiLiteral } place = Place::Bare;
    size_t line = 1;
    // The last character of the line outside strings, blanks aside: a
    // quote opens a string only where a key or a value may begin, so a
    // quote inside garbage (2*c and three quotes) hides nothing.  strchr
    // matches the NUL of a line's start too.
    char last = '\0';
    auto opens = [&text](size_t at, char quote) {
        return at + 2 < text.size() && text[at + 1] == quote && text[at + 2] == quote;
    };
    for (size_t at = 0; at < text.size(); at++) {
        const unsigned char c = (unsigned char)text[at];
        if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) {
            char shown[8];
            snprintf(shown, sizeof(shown), "0x%02X", c);
            *error = origin + ":" + std::to_string(line) + ": control character " + shown + " in the scenario";
            return false;
        }
        if (c == '\n') {
            line++;
            last = '\0';
            if (place == Place::Comment || place == Place::Basic || place == Place::Literal) {
                place = Place::Bare;
            }
            continue;
        }
        switch (place) {
        case Place::Bare:
            if (c >= 0x80) {
                *error = origin + ":" + std::to_string(line) +
                         ": a character beyond ASCII outside a string or comment";
                return false;
            }
            if (c == '#') {
                place = Place::Comment;
            } else if ((c == '"' || c == '\'') && strchr("=[,{.", last) != nullptr) {
                bool multi = opens(at, (char)c);
                place = c == '"' ? (multi ? Place::MultiBasic : Place::Basic)
                                 : (multi ? Place::MultiLiteral : Place::Literal);
                at += multi ? 2 : 0;
            } else if (c != ' ' && c != '\t' && c != '\r') {
                last = (char)c;
            }
            break;
        case Place::Comment:
            break;
        case Place::Basic:
        case Place::MultiBasic:
            if (c == '\\' && at + 1 < text.size() && text[at + 1] != '\n') {
                at++;   // an escaped character, a quote included
            } else if (c == '"' && (place == Place::Basic || opens(at, '"'))) {
                at += place == Place::Basic ? 0 : 2;
                place = Place::Bare;
                last = '"';
            }
            break;
        case Place::Literal:
        case Place::MultiLiteral:
            if (c == '\'' && (place == Place::Literal || opens(at, '\''))) {
                at += place == Place::Literal ? 0 : 2;
                place = Place::Bare;
                last = '"';
            }
            break;
        }
    }
    return true;
}

} // namespace

namespace {

// What a section's parser reads beside its table: where the scenario came
// from and how to read the files it names.
struct Input {
    const std::string &Origin;
    const std::string &BaseDirectory;
    const FileReader &ReadFile;
};

// A section's parser; section is null when the scenario has none.
using SectionParser = bool (*)(const toml::table *section, const Input &input, Scenario *scenario,
                               std::string *error);

// An integer setting of a section, from low to high.
struct IntegerSetting {
    const char *Key;
    int64_t Low;
    int64_t High;
    uint32_t *Value;
};

template <size_t N>
bool GetIntegers(const toml::table &section, const char *name, const IntegerSetting (&settings)[N],
                 const std::string &origin, std::string *error)
{
    for (const IntegerSetting &setting : settings) {
        if (const toml::node *node = section.get(setting.Key)) {
            int64_t value = 0;
            if (!GetInteger(*node, std::string("[") + name + "] " + setting.Key, setting.Low, setting.High, origin,
                            &value, error)) {
                return false;
            }
            *setting.Value = (uint32_t)value;
        }
    }
    return true;
}

// An optional boolean; absent leaves *value alone.
bool GetBoolean(const toml::table &section, const char *key, const std::string &name, const std::string &origin,
                bool *value, std::string *error)
{
    if (const toml::node *node = section.get(key)) {
        if (!node->is_boolean()) {
            return WrongType(*node, "[" + name + "] " + key, "a boolean", origin, error);
        }
        *value = **node->as_boolean();
    }
    return true;
}

bool ParseNaming(const toml::table *section, const Input &input, Scenario *scenario, std::string *error)
{
    return section == nullptr ||
           (CheckKeys(*section, "scenario", {"name", "description"}, input.Origin, error) &&
            GetString(*section, "name", "scenario", input.Origin, &scenario->Name, error) &&
            GetString(*section, "description", "scenario", input.Origin, &scenario->Description, error));
}

bool ParseMpio(const toml::table *section, const Input &input, Scenario *scenario, std::string *error)
{
    if (section == nullptr) {
        return true;
    }
    // MPIO's timers: a zero interval or period would spin.
    const IntegerSetting settings[] = {
        {"retry_count", 0, 100, &scenario->RetryCount},
        {"retry_interval_ms", 1, 3600LL * 1000, &scenario->RetryIntervalMs},
        {"path_verification_period_ms", 1, 24LL * 3600 * 1000, &scenario->PathVerificationPeriodMs},
        {"removal_period_ms", 1, 24LL * 3600 * 1000, &scenario->RemovalPeriodMs},
        {"link_down_time_ms", 0, 24LL * 3600 * 1000, &scenario->LinkDownTimeMs},
    };
    if (!CheckKeys(*section, "mpio",
                   {"version", "retry_count", "retry_interval_ms", "path_verify_enabled",
                    "path_verification_period_ms", "removal_period_ms", "link_down_time_ms"},
                   input.Origin, error) ||
        !GetString(*section, "version", "mpio", input.Origin, &scenario->MpioVersion, error) ||
        !GetIntegers(*section, "mpio", settings, input.Origin, error) ||
        !GetBoolean(*section, "path_verify_enabled", "mpio", input.Origin, &scenario->PathVerifyEnabled, error)) {
        return false;
    }
    uint32_t words[4];
    const toml::node *node = section->get("version");
    if (node != nullptr && !ParseVersion(scenario->MpioVersion, words)) {
        *error = Where(*node, input.Origin) + ": [mpio] version must look like 1.20.0.0";
        return false;
    }
    return true;
}

bool ParseRegistry(const toml::table *registry, const Input &input, Scenario *scenario, std::string *error)
{
    const std::string &origin = input.Origin;
    if (registry == nullptr) {
        *error = origin + ": a scenario needs a [registry] section (file or text)";
        return false;
    }
    if (!CheckKeys(*registry, "registry", {"file", "text", "service"}, origin, error)) {
        return false;
    }
    if (registry->get("file") && registry->get("text")) {
        *error = Where(*registry, origin) + ": [registry] takes either file or text, not both";
        return false;
    }
    if (const toml::node *node = registry->get("file")) {
        std::string file;
        if (!GetString(*registry, "file", "registry", origin, &file, error)) {
            return false;
        }
        std::string path = (!file.empty() && file[0] == '/') || input.BaseDirectory.empty()
                               ? file
                               : input.BaseDirectory + "/" + file;
        if (!input.ReadFile(path, &scenario->RegistryText)) {
            *error = Where(*node, origin) + ": cannot read registry file " + path + ": " + FileError();
            return false;
        }
        if (scenario->RegistryOrigin.empty()) {
            scenario->RegistryOrigin = path;
        }
    } else if (registry->get("text")) {
        if (!GetString(*registry, "text", "registry", origin, &scenario->RegistryText, error)) {
            return false;
        }
        scenario->RegistryOrigin = origin + " (inline)";
    } else {
        *error = Where(*registry, origin) + ": [registry] needs file or text";
        return false;
    }
    return GetString(*registry, "service", "registry", origin, &scenario->ServiceName, error);
}

bool ParseTrace(const toml::table *section, const Input &input, Scenario *scenario, std::string *error)
{
    const toml::array *flags = nullptr;
    if (section == nullptr) {
        return true;
    }
    if (!CheckKeys(*section, "trace", {"flags"}, input.Origin, error) ||
        !GetArray(*section, "flags", "trace", input.Origin, &flags, error)) {
        return false;
    }
    for (size_t i = 0; flags != nullptr && i < flags->size(); i++) {
        const toml::node &flag = *flags->get(i);
        if (!flag.is_string()) {
            return WrongType(flag, "a trace flag", "a string", input.Origin, error);
        }
        const std::string &name = **flag.as_string();
        if (TraceFlag(name) == 0) {
            *error = Where(flag, input.Origin) + ": trace flag \"" + name + "\" is not error, warning or trace";
            return false;
        }
        scenario->TraceFlags |= TraceFlag(name);
    }
    return true;
}

bool ParseRun(const toml::table *section, const Input &input, Scenario *scenario, std::string *error)
{
    std::string policy;
    if (section == nullptr) {
        return true;
    }
    if (!CheckKeys(*section, "run", {"duration_ms", "policy"}, input.Origin, error) ||
        !GetString(*section, "policy", "run", input.Origin, &policy, error)) {
        return false;
    }
    if (const toml::node *node = section->get("policy")) {
        scenario->Policy = tools::PolicyCode(policy);
        if (scenario->Policy == 0) {
            *error = Where(*node, input.Origin) + ": [run] policy is \"failover\", \"failback\" or \"round_robin\"";
            return false;
        }
    }
    if (const toml::node *node = section->get("duration_ms")) {
        int64_t duration = 0;
        if (!GetInteger(*node, "[run] duration_ms", 0, 24LL * 3600 * 1000, input.Origin, &duration, error)) {
            return false;
        }
        scenario->DurationMs = (uint64_t)duration;
    }
    return true;
}

bool ParseTgtd(const toml::table *section, const Input &input, Scenario *scenario, std::string *error)
{
    const IntegerSetting settings[] = {{"command_timeout_ms", 100, 600LL * 1000, &scenario->TgtdCommandTimeoutMs}};
    return section == nullptr || (CheckKeys(*section, "tgtd", {"command_timeout_ms"}, input.Origin, error) &&
                                  GetIntegers(*section, "tgtd", settings, input.Origin, error));
}

// One entry of [topology] paths.
bool ParsePath(const toml::node &entry, const std::string &origin, Path *parsed, std::string *error)
{
    const toml::table *path = entry.as_table();
    if (path == nullptr) {
        return WrongType(entry, "a path", "a table { port, bus, target, controller, controller_port }", origin,
                         error);
    }
    if (!CheckKeys(*path, "topology.paths", {"port", "bus", "target", "controller", "controller_port"}, origin,
                   error)) {
        return false;
    }
    parsed->Line = LineOf(entry);
    const struct {
        const char *Name;
        uint32_t *Value;
        int64_t Limit;
    } fields[] = {{"port", &parsed->Port, 255},
                  {"bus", &parsed->Bus, 255},
                  {"target", &parsed->Target, 255},
                  {"controller", &parsed->Controller, 1},
                  {"controller_port", &parsed->ControllerPort, 1}};
    for (const auto &field : fields) {
        const toml::node *node = path->get(field.Name);
        if (node == nullptr) {
            *error = Where(entry, origin) + ": path has no " + field.Name;
            return false;
        }
        int64_t value = 0;
        if (!GetInteger(*node, std::string("path ") + field.Name, 0, field.Limit, origin, &value, error)) {
            return false;
        }
        *field.Value = (uint32_t)value;
    }
    return true;
}

bool ParseTopology(const toml::table *section, const Input &input, Scenario *scenario, std::string *error)
{
    const std::string &origin = input.Origin;
    const toml::array *luns = nullptr;
    const toml::array *paths = nullptr;
    if (section == nullptr) {
        return true;
    }
    if (!CheckKeys(*section, "topology", {"luns", "lun_blocks", "paths", "identifiers", "status_buffer_length"},
                   origin, error) ||
        !GetArray(*section, "luns", "topology", origin, &luns, error) ||
        !GetArray(*section, "paths", "topology", origin, &paths, error)) {
        return false;
    }
    scenario->HasTopology = true;
    if (luns == nullptr || luns->empty() || paths == nullptr || paths->empty()) {
        *error = Where(*section, origin) + ": [topology] needs luns = [...] and paths = [...]";
        return false;
    }
    for (size_t i = 0; i < luns->size(); i++) {
        const toml::node &lun = *luns->get(i);
        int64_t value = 0;
        if (!GetInteger(lun, "a LUN", 0, 255, origin, &value, error)) {
            return false;
        }
        scenario->Luns.push_back((uint32_t)value);
        scenario->LunLines.push_back(LineOf(lun));
    }
    if (const toml::node *node = section->get("lun_blocks")) {
        int64_t blocks = 0;
        if (!GetInteger(*node, "[topology] lun_blocks", 1, kMaxLunBlocks, origin, &blocks, error)) {
            return false;
        }
        scenario->LunBlocks = (uint64_t)blocks;
    }
    if (!GetString(*section, "identifiers", "topology", origin, &scenario->Identifiers, error)) {
        return false;
    }
    array::IdentifierStyle style;
    const toml::node *node = section->get("identifiers");
    if (node != nullptr && !array::ParseIdentifierStyle(scenario->Identifiers, &style)) {
        *error = Where(*node, origin) + ": identifiers is \"standard\", \"short\" or \"names\"";
        return false;
    }
    if ((node = section->get("status_buffer_length")) != nullptr) {
        int64_t length = 0;
        if (!GetInteger(*node, "[topology] status_buffer_length", 1, 0xFFFFFF, origin, &length, error)) {
            return false;
        }
        scenario->StatusBufferLength = (uint64_t)length;
    }
    for (size_t i = 0; i < paths->size(); i++) {
        Path parsed;
        if (!ParsePath(*paths->get(i), origin, &parsed, error)) {
            return false;
        }
        scenario->Paths.push_back(parsed);
    }
    return true;
}

bool ParseWorkload(const toml::table *section, const Input &input, Scenario *scenario, std::string *error)
{
    if (section == nullptr) {
        return true;
    }
    Workload &load = scenario->Load;
    load.Enabled = true;
    const IntegerSetting numbers[] = {
        {"blocks_per_request", 1, 128, &load.BlocksPerRequest},
        {"interval_ms", 1, 3600LL * 1000, &load.IntervalMs},
        {"outstanding", 1, 64, &load.Outstanding},
    };
    return CheckKeys(*section, "workload", {"blocks_per_request", "interval_ms", "outstanding", "expect_errors"},
                     input.Origin, error) &&
           GetIntegers(*section, "workload", numbers, input.Origin, error) &&
           GetBoolean(*section, "expect_errors", "workload", input.Origin, &load.ExpectErrors, error);
}

// The sections a scenario may have, parsed in this order (the first
// fault found is the one reported); [[fault]] entries come after them.
const struct {
    const char *Name;
    SectionParser Parse;
} kSections[] = {
    {"scenario", ParseNaming}, {"mpio", ParseMpio},         {"registry", ParseRegistry},
    {"trace", ParseTrace},     {"run", ParseRun},           {"tgtd", ParseTgtd},
    {"topology", ParseTopology}, {"workload", ParseWorkload},
};

} // namespace

bool Parse(const std::string &text, const std::string &origin, const std::string &baseDirectory,
           const FileReader &readFile, Scenario *result, std::string *error)
{
    if (!CheckTomlCharacters(text, origin, error)) {
        return false;
    }
    toml::table root;
    try {
        root = toml::parse(text, origin);
    } catch (const toml::parse_error &failure) {
        std::ostringstream message;
        message << origin << ":" << failure.source().begin.line << ": " << failure.description();
        *error = message.str();
        return false;
    } catch (const TomlAssumption &) {
        *error = origin + ": not well-formed TOML (the parser cannot read on)";
        return false;
    }

    Scenario scenario;
    scenario.Origin = origin;
    scenario.RegistryOrigin = result->RegistryOrigin;
    std::set<std::string> known{"fault"};
    for (const auto &section : kSections) {
        known.insert(section.Name);
    }
    if (!CheckKeys(root, "top level", known, origin, error)) {
        return false;
    }
    const Input input{origin, baseDirectory, readFile};
    for (const auto &entry : kSections) {
        const toml::table *section = nullptr;
        if (!GetTable(root, entry.Name, origin, &section, error) || !entry.Parse(section, input, &scenario, error)) {
            return false;
        }
    }
    if (!ParseFaults(root, origin, &scenario, error)) {
        return false;
    }
    *result = scenario;
    return true;
}

bool ValidateTopology(const Scenario &scenario, std::string *error)
{
    // The array keeps one unit per LUN, and the host one device per
    // address: a LUN or a path given twice would be the same object twice.
    std::map<uint32_t, uint32_t> lunLines;
    for (size_t i = 0; i < scenario.Luns.size(); i++) {
        uint32_t line = i < scenario.LunLines.size() ? scenario.LunLines[i] : 0;
        auto [first, added] = lunLines.emplace(scenario.Luns[i], line);
        if (!added) {
            *error = scenario.Origin + ":" + std::to_string(line) + ": LUN " + std::to_string(scenario.Luns[i]) +
                     " is given twice (first on line " + std::to_string(first->second) + ")";
            return false;
        }
    }
    std::map<std::tuple<uint32_t, uint32_t, uint32_t>, uint32_t> pathLines;
    for (const Path &path : scenario.Paths) {
        auto [first, added] = pathLines.emplace(std::make_tuple(path.Port, path.Bus, path.Target), path.Line);
        if (!added) {
            *error = scenario.Origin + ":" + std::to_string(path.Line) + ": path " + std::to_string(path.Port) +
                     ":" + std::to_string(path.Bus) + ":" + std::to_string(path.Target) +
                     " (port:bus:target) is given twice (first on line " + std::to_string(first->second) + ")";
            return false;
        }
    }

    // The workload and the faults act on the storage, within the run.
    const std::string at = scenario.Origin + ":";
    if ((scenario.Load.Enabled || !scenario.Faults.empty()) && !scenario.HasTopology) {
        *error = at + " a workload or a fault needs a [topology]";
        return false;
    }
    for (const Fault &fault : scenario.Faults) {
        const std::string where = at + std::to_string(fault.Line) + ": ";
        uint64_t last = std::max(fault.AtMs, fault.UntilMs);
        if (last > scenario.DurationMs) {
            *error = where + "the fault's time " + std::to_string(last) + " ms is past the run's " +
                     std::to_string(scenario.DurationMs) + " ms";
            return false;
        }
        if (fault.Action == FaultAction::StrayWrite && fault.Block + 1 >= scenario.LunBlocks) {
            *error = where + "a stray write needs block and the block after it on the LUN";
            return false;
        }
        if ((fault.Where == FaultWhere::CurrentPath || fault.Action == FaultAction::StrayWrite) &&
            std::find(scenario.Luns.begin(), scenario.Luns.end(), fault.Lun) == scenario.Luns.end()) {
            *error = where + "LUN " + std::to_string(fault.Lun) + " is not in the topology";
            return false;
        }
        if (fault.Where == FaultWhere::Path &&
            pathLines.count(std::make_tuple(fault.Port, fault.Bus, fault.Target)) == 0) {
            *error = where + "path " + std::to_string(fault.Port) + ":" + std::to_string(fault.Bus) + ":" +
                     std::to_string(fault.Target) + " is not in the topology";
            return false;
        }
    }
    return true;
}

bool BuildStorage(const Scenario &scenario, std::unique_ptr<array::SimulatedArray> *storage,
                  mpio::Topology *topology, std::string *error)
{
    array::ArrayConfig config;
    for (uint32_t lun : scenario.Luns) {
        config.Units.push_back(array::LogicalUnitConfig{lun, scenario.LunBlocks, array::kBlockSize});
    }
    array::ParseIdentifierStyle(scenario.Identifiers, &config.Identifiers);
    if (scenario.StatusBufferLength != 0) {
        config.StatusBufferLength = scenario.StatusBufferLength;
    }
    try {
        *storage = std::make_unique<array::SimulatedArray>(config);
    } catch (const std::exception &failure) {
        *error = scenario.Origin + ": [topology]: " + failure.what();
        return false;
    }
    TopologyOf(scenario, topology);
    return true;
}

void TopologyOf(const Scenario &scenario, mpio::Topology *topology)
{
    for (const Path &path : scenario.Paths) {
        topology->Paths.push_back(mpio::PathSpec{(UCHAR)path.Port, (UCHAR)path.Bus, (UCHAR)path.Target,
                                                 path.Controller * array::kPortsPerController + path.ControllerPort});
    }
    for (uint32_t lun : scenario.Luns) {
        topology->Luns.push_back((UCHAR)lun);
    }
}

bool ApplyRegistry(const Scenario &scenario, std::string *error)
{
    if (!RegistryTextWhole(scenario.RegistryText, error) || !host::RegistryImport(scenario.RegistryText, error)) {
        *error = scenario.RegistryOrigin + ": " + *error;
        return false;
    }
    if (scenario.Policy != 0) {
        host::RegistrySetDword(std::string(mpio::kServicesRoot) + scenario.ServiceName + "\\Parameters",
                               "PathSelectionPolicy", scenario.Policy);
    }
    TarnRegisterMessages(std::u16string(scenario.ServiceName.begin(), scenario.ServiceName.end()));
    TarnRegisterTraceFormats();
    return true;
}

mpio::HostOptions HostOptionsOf(const Scenario &scenario, const uint32_t version[4])
{
    mpio::HostOptions options;
    options.Version = {version[0], version[1], version[2], version[3]};
    options.RetryCount = scenario.RetryCount;
    options.RetryIntervalMs = scenario.RetryIntervalMs;
    options.PathVerifyEnabled = scenario.PathVerifyEnabled;
    options.PathVerificationPeriodMs = scenario.PathVerificationPeriodMs;
    options.RemovalPeriodMs = scenario.RemovalPeriodMs;
    options.LinkDownTimeMs = scenario.LinkDownTimeMs;
    return options;
}

} // namespace scenario
