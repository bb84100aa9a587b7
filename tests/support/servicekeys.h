/*++

Module Name:

    servicekeys.h

Abstract:

    Where the driver's service and its settings live in the registry, for
    every program that loads it outside the scenario runner (the tests,
    the soak and the fuzz targets).

--*/

#pragma once

namespace tarnkeys {

constexpr const char *kServiceName = "tarndsm";
constexpr const char *kServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndsm";
constexpr const char *kParametersKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndsm\\Parameters";
constexpr const char *kDiskKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Disk";

} // namespace tarnkeys
