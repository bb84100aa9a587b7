/*++

Module Name:

    readscenario.h

Abstract:

    The scenario a tool runs: read from the file given (relative files
    it names resolve beside it) or the built-in default, whose registry
    file is compiled in beside it; a registry file given on the command
    line replaces the scenario's.

--*/

#pragma once

#include "scenario.h"

#include <string>

namespace tools {

// False with a one-line message naming the file and the fault.
inline bool ReadScenario(const std::string &scenarioFile, const std::string &registryFile,
                         scenario::Scenario *result, std::string *error)
{
    if (scenarioFile.empty()) {
        auto builtIn = [](const std::string &path, std::string *text) {
            if (path != "default.reg") {
                return false;
            }
            *text = scenario::DefaultRegistryText();
            return true;
        };
        result->RegistryOrigin = "built-in default.reg";
        if (!scenario::Parse(scenario::DefaultScenarioText(), "built-in default", "", builtIn, result, error)) {
            return false;
        }
    } else {
        std::string text;
        if (!scenario::ReadFile(scenarioFile, &text)) {
            *error = "cannot read scenario " + scenarioFile + ": " + scenario::FileError();
            return false;
        }
        size_t slash = scenarioFile.rfind('/');
        std::string directory = slash == std::string::npos ? "." : scenarioFile.substr(0, slash);
        if (!scenario::Parse(text, scenarioFile, directory, scenario::ReadFile, result, error)) {
            return false;
        }
    }
    if (!registryFile.empty()) {
        if (!scenario::ReadFile(registryFile, &result->RegistryText)) {
            *error = "--registry: cannot read " + registryFile + ": " + scenario::FileError();
            return false;
        }
        result->RegistryOrigin = registryFile;
    }
    return true;
}

} // namespace tools
