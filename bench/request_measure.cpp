/*++

Module Name:

    request_measure.cpp

Abstract:

    Runs a fixed number of requests through the driver for the
    instruction and cache-miss count of tools/measure.sh, which runs this
    program under valgrind's cache simulation with collection limited to
    the calls a request makes.  A warm-up round visits every path first
    and its figures are discarded, so the count sees the steady state of
    a busy host: at many paths every request finds its drive cold.

    Usage: tarn_request_measure PATHS [REQUESTS]

--*/

#include "requestworld.h"
#include "tarnresources.h"

#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s PATHS [REQUESTS]\n", argv[0]);
        return 2;
    }
    const size_t paths = strtoul(argv[1], nullptr, 10);
    const size_t requests = argc > 2 ? strtoul(argv[2], nullptr, 10) : 8192;
    if (paths < 4 || paths % 4 != 0 || requests == 0) {
        fprintf(stderr, "PATHS must be a multiple of 4, REQUESTS at least 1\n");
        return 2;
    }
    TarnRegisterMessages(u"tarndsm");
    TarnRegisterTraceFormats();
    requestworld::World &world = requestworld::WorldOf(paths);
    requestworld::Request request;

    size_t next = 0;
    ULONG failed = 0;
    for (size_t i = 0; i < 2 * paths + 1024; i++) {
        failed += requestworld::RunRequest(world.Context, request, world.Paths[next]) != DSM_CATEGORY_PATH_CHOSEN;
        next = requestworld::NextSpread(next, paths);
    }
    CALLGRIND_ZERO_STATS;
    for (size_t i = 0; i < requests; i++) {
        failed += requestworld::RunRequest(world.Context, request, world.Paths[next]) != DSM_CATEGORY_PATH_CHOSEN;
        next = requestworld::NextSpread(next, paths);
    }
    if (failed != 0) {
        fprintf(stderr, "%u requests got no path\n", failed);
        return 1;
    }
    return 0;
}
