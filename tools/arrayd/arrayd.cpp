/*++

Module Name:

    arrayd.cpp

Abstract:

    Serves one simulated array on a Unix domain socket, so that cluster
    nodes running as separate processes share its logical units.

        arrayd [SOCKET [LUNS [BLOCKS]]]

    LUNs 0..LUNS-1 (default 2) of BLOCKS 512-byte blocks each (default
    2097152, 1 GiB; storage is sparse).  Prints one line once clients may
    connect and serves until SIGINT or SIGTERM.  The socket is its
    owner's alone (mode 0600); without SOCKET it is made in a directory
    of its own (mode 0700) under $TMPDIR or /tmp, named on that line and
    removed at the end.

--*/

#include "simarray.h"
#include "targetserver.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include <pthread.h>
#include <unistd.h>

namespace {

// Whole decimal numbers only: a typo must not become a zero-sized array.
bool ParseCount(const char *text, uint64_t max, uint64_t *value)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = strtoull(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || v == 0 || v > max) {
        return false;
    }
    *value = v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    uint64_t luns = 2, blocks = 2097152;
    if (argc > 4 || (argc > 2 && !ParseCount(argv[2], 16384, &luns)) ||
        (argc > 3 && !ParseCount(argv[3], uint64_t(1) << 40, &blocks))) {
        fprintf(stderr, "usage: %s [SOCKET [LUNS (1-16384) [BLOCKS]]]\n", argv[0]);
        return 2;
    }
    std::string socketPath, privateDirectory;
    if (argc > 1) {
        socketPath = argv[1];
    } else {
        // mkdtemp makes the directory 0700: nobody else may even look up
        // the socket in it, whatever the umask.
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/arrayd-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            fprintf(stderr, "arrayd: cannot make a directory %s: %s\n", pattern.c_str(), strerror(errno));
            return 1;
        }
        privateDirectory = pattern;
        socketPath = privateDirectory + "/array.sock";
    }

    // Blocked before any thread starts, so that every thread inherits the
    // mask and the signals reach only sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        array::ArrayConfig config;
        for (uint64_t lun = 0; lun < luns; ++lun) {
            config.Units.push_back({lun, blocks, array::kBlockSize});
        }
        array::SimulatedArray sim(config);
        array::TargetServer server(sim, socketPath);
        server.Start();
        printf("arrayd: serving %llu LUNs of %llu blocks on %s\n", (unsigned long long)luns,
               (unsigned long long)blocks, socketPath.c_str());
        fflush(stdout);
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.Stop();
    } catch (const std::exception &e) {
        fprintf(stderr, "arrayd: %s\n", e.what());
        if (!privateDirectory.empty()) {
            rmdir(privateDirectory.c_str());
        }
        return 1;
    }
    if (!privateDirectory.empty()) {
        rmdir(privateDirectory.c_str());
    }
    return 0;
}
