// Accessors for memory that user mode shares with the driver. Every read of
// such memory is made once, through one of these, into a local that is then
// checked; stores go through them too, so no access is torn or merged.
#pragma once

#include "nt_types.h"

inline ULONG ReadULongNoFence(const volatile ULONG* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
inline UCHAR ReadUCharNoFence(const volatile UCHAR* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
inline VOID WriteULongNoFence(volatile ULONG* Destination, ULONG Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
inline VOID WriteUCharNoFence(volatile UCHAR* Destination, UCHAR Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
inline LONG InterlockedExchange(volatile LONG* Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedOr(volatile LONG* Target, LONG Value)
{
    return __atomic_fetch_or(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG* Target, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Target, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
