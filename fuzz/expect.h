/*++

Module Name:

    expect.h

Abstract:

    How a fuzz target reports a broken expectation: it says which on
    standard error, then aborts so that libFuzzer keeps the input.

--*/

#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzzexpect {

[[noreturn]] inline void Fail(const char *what)
{
    fprintf(stderr, "fuzz: %s\n", what);
    abort();
}

inline void Expect(bool holds, const char *what)
{
    if (!holds) {
        Fail(what);
    }
}

} // namespace fuzzexpect
