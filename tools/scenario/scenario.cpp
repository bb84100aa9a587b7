/*++

Module Name:

    scenario.cpp

Abstract:

    Reading scenario files.  Unknown sections and keys are refused, so a
    misspelt setting is reported instead of silently ignored.

--*/

#include "scenario.h"
#include "simarray.h"

#include <toml++/toml.h>

#include <fstream>
#include <set>
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

} // namespace

bool ReadFile(const std::string &path, std::string *text)
{
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

    if (const toml::table *section = root["scenario"].as_table()) {
        if (!CheckKeys(*section, "scenario", {"name", "description"}, origin, error)) {
            return false;
        }
        scenario.Name = section->get("name") ? (*section)["name"].value_or(scenario.Name) : scenario.Name;
        scenario.Description = (*section)["description"].value_or(std::string());
    }

    if (const toml::table *section = root["mpio"].as_table()) {
        if (!CheckKeys(*section, "mpio", {"version"}, origin, error)) {
            return false;
        }
        if (const toml::node *node = section->get("version")) {
            scenario.MpioVersion = node->value_or(std::string());
            uint32_t words[4];
            if (!ParseVersion(scenario.MpioVersion, words)) {
                *error = Where(*node, origin) + ": [mpio] version must look like 1.20.0.0";
                return false;
            }
        }
    }

    const toml::table *registry = root["registry"].as_table();
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
        std::string file = node->value_or(std::string());
        std::string path = (!file.empty() && file[0] == '/') || baseDirectory.empty() ? file
                                                                                      : baseDirectory + "/" + file;
        if (!readFile(path, &scenario.RegistryText)) {
            *error = Where(*node, origin) + ": cannot read registry file " + path;
            return false;
        }
        if (scenario.RegistryOrigin.empty()) {
            scenario.RegistryOrigin = path;
        }
    } else if (const toml::node *node = registry->get("text")) {
        scenario.RegistryText = node->value_or(std::string());
        scenario.RegistryOrigin = origin + " (inline)";
    } else {
        *error = Where(*registry, origin) + ": [registry] needs file or text";
        return false;
    }
    scenario.ServiceName = (*registry)["service"].value_or(scenario.ServiceName);

    if (const toml::table *section = root["trace"].as_table()) {
        if (!CheckKeys(*section, "trace", {"flags"}, origin, error)) {
            return false;
        }
        if (const toml::array *flags = (*section)["flags"].as_array()) {
            for (const auto &flag : *flags) {
                std::string name = flag.value_or(std::string());
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
    }

    if (const toml::table *section = root["run"].as_table()) {
        if (!CheckKeys(*section, "run", {"duration_ms"}, origin, error)) {
            return false;
        }
        if (const toml::node *node = section->get("duration_ms")) {
            int64_t duration = node->value_or(int64_t(-1));
            if (duration < 0 || duration > 24LL * 3600 * 1000) {
                *error = Where(*node, origin) + ": [run] duration_ms must be 0 to 86400000";
                return false;
            }
            scenario.DurationMs = (uint64_t)duration;
        }
    }

    if (const toml::table *section = root["topology"].as_table()) {
        if (!CheckKeys(*section, "topology", {"luns", "lun_blocks", "paths", "identifiers", "status_buffer_length"},
                       origin, error)) {
            return false;
        }
        scenario.HasTopology = true;
        const toml::array *luns = (*section)["luns"].as_array();
        const toml::array *paths = (*section)["paths"].as_array();
        if (luns == nullptr || luns->empty() || paths == nullptr || paths->empty()) {
            *error = Where(*section, origin) + ": [topology] needs luns = [...] and paths = [...]";
            return false;
        }
        for (const auto &lun : *luns) {
            int64_t value = lun.value_or(int64_t(-1));
            if (value < 0 || value > 255) {
                *error = Where(lun, origin) + ": a LUN is a number from 0 to 255";
                return false;
            }
            scenario.Luns.push_back((uint32_t)value);
        }
        if (const toml::node *node = section->get("lun_blocks")) {
            int64_t blocks = node->value_or(int64_t(0));
            if (blocks <= 0) {
                *error = Where(*node, origin) + ": lun_blocks must be positive";
                return false;
            }
            scenario.LunBlocks = (uint64_t)blocks;
        }
        if (const toml::node *node = section->get("identifiers")) {
            array::IdentifierStyle style;
            scenario.Identifiers = node->value_or(std::string());
            if (!array::ParseIdentifierStyle(scenario.Identifiers, &style)) {
                *error = Where(*node, origin) + ": identifiers is \"standard\", \"short\" or \"names\"";
                return false;
            }
        }
        if (const toml::node *node = section->get("status_buffer_length")) {
            int64_t length = node->value_or(int64_t(-1));
            if (length < 1 || length > 0xFFFFFF) {
                *error = Where(*node, origin) + ": status_buffer_length is a number from 1 to 16777215";
                return false;
            }
            scenario.StatusBufferLength = (uint64_t)length;
        }
        for (const auto &entry : *paths) {
            const toml::table *path = entry.as_table();
            if (path == nullptr) {
                *error = Where(entry, origin) + ": a path is { port, bus, target, controller, controller_port }";
                return false;
            }
            if (!CheckKeys(*path, "topology.paths", {"port", "bus", "target", "controller", "controller_port"}, origin,
                           error)) {
                return false;
            }
            Path parsed;
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
                int64_t value = (*path)[field.Name].value_or(int64_t(-1));
                if (value < 0 || value > field.Limit) {
                    *error = Where(entry, origin) + ": path " + field.Name + " must be 0 to " +
                             std::to_string(field.Limit);
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

} // namespace scenario
