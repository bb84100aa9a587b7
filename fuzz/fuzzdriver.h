/*++

Module Name:

    fuzzdriver.h

Abstract:

    What the fuzz targets that call the driver directly share: a machine
    started once with the driver loaded through MPIO, as the system
    does, and a check that an input left nothing behind.  The world
    stays loaded between inputs; each target undoes what one input did,
    which keeps executions cheap.

--*/

#pragma once

#include "expect.h"
#include "hostkernel.h"
#include "../tests/support/servicekeys.h"
#include "mpiohost.h"
#include "tarn.h"
#include "tarnresources.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace fuzzdriver {

using tarnkeys::kDiskKey;
using tarnkeys::kParametersKey;
using tarnkeys::kServiceKey;
using tarnkeys::kServiceName;
constexpr const char *kProductFc = "KESTROM TARN 4000 FC    ";
constexpr const char *kProductIscsi = "KESTROM TARN 4000 ISCSI ";

using fuzzexpect::Expect;
using fuzzexpect::Fail;

// A clean machine with the driver's usual configuration; the caller may
// change the registry before Load.
inline void ResetWithConfiguration()
{
    host::ResetMachine();
    // MPIO does not promise the driver non-paged pool for the blocks it hands over.
    host::PoolForeignTag(host::Tag("MPIO"));
    TarnRegisterMessages(u"tarndsm");
    TarnRegisterTraceFormats();
    host::RegistrySetMultiString(kParametersKey, "SupportedDeviceList", {kProductFc, kProductIscsi});
    host::RegistrySetDword(kParametersKey, "PathSelectionPolicy", TARN_LB_POLICY_FAILBACK);
    host::RegistrySetDword(kParametersKey, "UsePersistentReservations", 1);
    host::RegistrySetValue(kParametersKey, "PRKey", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
}

// The driver loaded through an MPIO host; aborts when it does not start.
inline std::unique_ptr<mpio::Host> Load(const mpio::HostOptions &options = mpio::HostOptions())
{
    auto host = std::make_unique<mpio::Host>(options);
    Expect(NT_SUCCESS(host->LoadDriver(DriverEntry, kServiceName)), "the driver does not start");
    return host;
}

inline PDSM_CONTEXT ContextOf(const mpio::Host &host)
{
    return static_cast<PDSM_CONTEXT>(host.Record().DsmContext);
}

// What one input may not leave behind: pool, events piling up, trace.
class Baseline {
public:
    void Take() { pool_ = host::PoolOutstanding(); }

    void Check(const char *where) const
    {
        if (host::PoolOutstanding() != pool_) {
            fprintf(stderr, "fuzz: %s: %zu pool blocks outstanding, %zu before\n%s", where, host::PoolOutstanding(),
                    pool_, host::PoolReport().c_str());
            abort();
        }
    }

private:
    size_t pool_ = 0;
};

// Forgets the records an input left in the event log and the trace, so
// the world does not grow from one input to the next.
inline void ForgetLogs()
{
    host::ClearEventLog();
    host::ClearTrace();
}

} // namespace fuzzdriver

// The world lives from one input to the next by design, so the heap of
// the emulation does not balance within an input, and libFuzzer would
// search the whole heap for leaks after nearly every one.  The driver's
// own allocations are checked per input against the pool instead.  A
// smaller quarantine of freed memory keeps the heap warm: with the
// default, nearly every allocation of an input touched fresh pages.  The
// sanitizer's filling of new blocks is left to the host's pool, which
// fills every block it hands the driver.
extern "C" const char *__asan_default_options()
{
    return "detect_leaks=0:quarantine_size_mb=16:max_malloc_fill_size=0";
}

// For the same reason libFuzzer's own leak check goes too: it runs every
// input that ends with more allocations than frees a second time before
// asking the (disabled) leak sanitizer, which doubled the cost of any
// input that changed the world.  A -detect_leaks given on the command
// line still wins, coming later.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static std::vector<char *> arguments;
    static char noLeakCheck[] = "-detect_leaks=0";
    arguments.assign(*argv, *argv + *argc);
    arguments.insert(arguments.begin() + (*argc > 0 ? 1 : 0), noLeakCheck);
    arguments.push_back(nullptr);
    *argv = arguments.data();
    *argc = int(arguments.size() - 1);
    return 0;
}
