/*++

Module Name:

    regtext.cpp

Abstract:

    Fuzzes the .reg text an administrator hands the tools.  What the
    parser accepts must export and import back to the very same store;
    what it refuses must say why and leave the store as it was.

--*/

#include "hostkernel.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// A store that is not empty, so a refusal that changed it would show.
void Prepare()
{
    host::RegistryClear();
    host::RegistrySetDword("HKEY_LOCAL_MACHINE\\SYSTEM\\Fuzz", "Kept", 7);
}

} // namespace

// A smaller quarantine of freed memory keeps the heap warm: with the
// default, the strings and keys of each input landed on fresh pages and
// faulting them in cost about a third of the run.
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=16";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The store is prepared once and again only after an input changed
    // it: a refusal leaves it as it was, which is checked.
    static const std::string before = (Prepare(), host::RegistryExport());
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::string error;
    if (!host::RegistryImport(text, &error)) {
        if (error.empty() || host::RegistryExport() != before) {
            abort();
        }
        return 0;
    }
    const std::string exported = host::RegistryExport();
    host::RegistryClear();
    if (!host::RegistryImport(exported, &error) || host::RegistryExport() != exported) {
        abort();
    }
    Prepare();
    return 0;
}
