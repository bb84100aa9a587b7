/*++

Module Name:

    scenario.cpp

Abstract:

    Reading scenario files.  Unknown sections and keys are refused, so a
    misspelt setting is reported instead of silently ignored, and so is a
    value of the wrong type: each refusal names the file and the line.

--*/

#include "scenario.h"
#include "simarray.h"

#include <toml++/toml.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
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

} // namespace

bool ReadFile(const std::string &path, std::string *text)
{
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        errno = EISDIR;     // opening a directory succeeds, reading it does not
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    *text = content.str();
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

bool Parse(const std::string &text, const std::string &origin, const std::string &baseDirectory,
           const FileReader &readFile, Scenario *result, std::string *error)
{
    toml::table root;
    try {
        root = toml::parse(text, origin);
    } catch (const toml::parse_error &failure) {
        std::ostringstream message;
        message << origin << ":" << failure.source().begin.line << ": " << failure.description();
        *error = message.str();
        return false;
    }

    Scenario scenario;
    scenario.Origin = origin;
    scenario.RegistryOrigin = result->RegistryOrigin;

    if (!CheckKeys(root, "top level", {"scenario", "mpio", "registry", "trace", "run", "topology", "workload",
                                       "fault"},
                   origin, error)) {
        return false;
    }

    // Sections of later steps: refused until the runner can honour them.
    for (const char *later : {"workload", "fault"}) {
        if (const toml::node *node = root.get(later)) {
            *error = Where(*node, origin) + ": [" + later +
                     "] is not supported yet: this runner starts the driver and discovers storage, nothing more";
            return false;
        }
    }

    const toml::table *section = nullptr;
    if (!GetTable(root, "scenario", origin, &section, error)) {
        return false;
    }
    if (section != nullptr) {
        if (!CheckKeys(*section, "scenario", {"name", "description"}, origin, error) ||
            !GetString(*section, "name", "scenario", origin, &scenario.Name, error) ||
            !GetString(*section, "description", "scenario", origin, &scenario.Description, error)) {
            return false;
        }
    }

    if (!GetTable(root, "mpio", origin, &section, error)) {
        return false;
    }
    if (section != nullptr) {
        if (!CheckKeys(*section, "mpio",
                       {"version", "retry_count", "retry_interval_ms", "path_verification_period_ms",
                        "removal_period_ms"},
                       origin, error) ||
            !GetString(*section, "version", "mpio", origin, &scenario.MpioVersion, error)) {
            return false;
        }
        // MPIO's timers: a zero interval or period would spin.
        const struct {
            const char *Key;
            int64_t Low;
            int64_t High;
            uint32_t *Value;
        } settings[] = {
            {"retry_count", 0, 100, &scenario.RetryCount},
            {"retry_interval_ms", 1, 3600LL * 1000, &scenario.RetryIntervalMs},
            {"path_verification_period_ms", 1, 24LL * 3600 * 1000, &scenario.PathVerificationPeriodMs},
            {"removal_period_ms", 1, 24LL * 3600 * 1000, &scenario.RemovalPeriodMs},
        };
        for (const auto &setting : settings) {
            if (const toml::node *node = section->get(setting.Key)) {
                int64_t value = 0;
                if (!GetInteger(*node, std::string("[mpio] ") + setting.Key, setting.Low, setting.High, origin,
                                &value, error)) {
                    return false;
                }
                *setting.Value = (uint32_t)value;
            }
        }
        uint32_t words[4];
        const toml::node *node = section->get("version");
        if (node != nullptr && !ParseVersion(scenario.MpioVersion, words)) {
            *error = Where(*node, origin) + ": [mpio] version must look like 1.20.0.0";
            return false;
        }
    }

    const toml::table *registry = nullptr;
    if (!GetTable(root, "registry", origin, &registry, error)) {
        return false;
    }
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
        std::string path = (!file.empty() && file[0] == '/') || baseDirectory.empty() ? file
                                                                                      : baseDirectory + "/" + file;
        if (!readFile(path, &scenario.RegistryText)) {
            *error = Where(*node, origin) + ": cannot read registry file " + path;
            return false;
        }
        if (scenario.RegistryOrigin.empty()) {
            scenario.RegistryOrigin = path;
        }
    } else if (registry->get("text")) {
        if (!GetString(*registry, "text", "registry", origin, &scenario.RegistryText, error)) {
            return false;
        }
        scenario.RegistryOrigin = origin + " (inline)";
    } else {
        *error = Where(*registry, origin) + ": [registry] needs file or text";
        return false;
    }
    if (!GetString(*registry, "service", "registry", origin, &scenario.ServiceName, error)) {
        return false;
    }

    if (!GetTable(root, "trace", origin, &section, error)) {
        return false;
    }
    if (section != nullptr) {
        const toml::array *flags = nullptr;
        if (!CheckKeys(*section, "trace", {"flags"}, origin, error) ||
            !GetArray(*section, "flags", "trace", origin, &flags, error)) {
            return false;
        }
        for (size_t i = 0; flags != nullptr && i < flags->size(); i++) {
            const toml::node &flag = *flags->get(i);
            if (!flag.is_string()) {
                return WrongType(flag, "a trace flag", "a string", origin, error);
            }
            const std::string &name = **flag.as_string();
            if (name == "error") {
                scenario.TraceFlags |= 1;
            } else if (name == "warning") {
                scenario.TraceFlags |= 2;
            } else if (name == "trace") {
                scenario.TraceFlags |= 4;
            } else {
                *error = Where(flag, origin) + ": trace flag \"" + name + "\" is not error, warning or trace";
                return false;
            }
        }
    }

    if (!GetTable(root, "run", origin, &section, error)) {
        return false;
    }
    if (section != nullptr) {
        if (!CheckKeys(*section, "run", {"duration_ms"}, origin, error)) {
            return false;
        }
        if (const toml::node *node = section->get("duration_ms")) {
            int64_t duration = 0;
            if (!GetInteger(*node, "[run] duration_ms", 0, 24LL * 3600 * 1000, origin, &duration, error)) {
                return false;
            }
            scenario.DurationMs = (uint64_t)duration;
        }
    }

    if (!GetTable(root, "topology", origin, &section, error)) {
        return false;
    }
    if (section != nullptr) {
        const toml::array *luns = nullptr;
        const toml::array *paths = nullptr;
        if (!CheckKeys(*section, "topology", {"luns", "lun_blocks", "paths", "identifiers", "status_buffer_length"},
                       origin, error) ||
            !GetArray(*section, "luns", "topology", origin, &luns, error) ||
            !GetArray(*section, "paths", "topology", origin, &paths, error)) {
            return false;
        }
        scenario.HasTopology = true;
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
            scenario.Luns.push_back((uint32_t)value);
            scenario.LunLines.push_back(LineOf(lun));
        }
        if (const toml::node *node = section->get("lun_blocks")) {
            int64_t blocks = 0;
            if (!GetInteger(*node, "[topology] lun_blocks", 1, INT64_MAX, origin, &blocks, error)) {
                return false;
            }
            scenario.LunBlocks = (uint64_t)blocks;
        }
        if (!GetString(*section, "identifiers", "topology", origin, &scenario.Identifiers, error)) {
            return false;
        }
        if (const toml::node *node = section->get("identifiers")) {
            array::IdentifierStyle style;
            if (!array::ParseIdentifierStyle(scenario.Identifiers, &style)) {
                *error = Where(*node, origin) + ": identifiers is \"standard\", \"short\" or \"names\"";
                return false;
            }
        }
        if (const toml::node *node = section->get("status_buffer_length")) {
            int64_t length = 0;
            if (!GetInteger(*node, "[topology] status_buffer_length", 1, 0xFFFFFF, origin, &length, error)) {
                return false;
            }
            scenario.StatusBufferLength = (uint64_t)length;
        }
        for (size_t i = 0; i < paths->size(); i++) {
            const toml::node &entry = *paths->get(i);
            const toml::table *path = entry.as_table();
            if (path == nullptr) {
                return WrongType(entry, "a path", "a table { port, bus, target, controller, controller_port }",
                                 origin, error);
            }
            if (!CheckKeys(*path, "topology.paths", {"port", "bus", "target", "controller", "controller_port"}, origin,
                           error)) {
                return false;
            }
            Path parsed;
            parsed.Line = LineOf(entry);
            struct Field {
                const char *Name;
                uint32_t *Value;
                int64_t Limit;
            } fields[] = {{"port", &parsed.Port, 255},
                          {"bus", &parsed.Bus, 255},
                          {"target", &parsed.Target, 255},
                          {"controller", &parsed.Controller, 1},
                          {"controller_port", &parsed.ControllerPort, 1}};
            for (const Field &field : fields) {
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
            scenario.Paths.push_back(parsed);
        }
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
    return true;
}

} // namespace scenario
