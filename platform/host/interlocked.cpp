/*++

Module Name:

    interlocked.cpp

Abstract:

    The kernel's interlocked operations, as the processor's atomic
    read-modify-write instructions with full ordering.

--*/

#include <ntddk.h>

extern "C" LONG FASTCALL InterlockedExchange(LONG volatile *Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

extern "C" LONG FASTCALL InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

extern "C" LONGLONG FASTCALL InterlockedCompareExchange64(LONGLONG volatile *Destination, LONGLONG Exchange,
                                                          LONGLONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
