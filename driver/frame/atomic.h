// Bit updates of words that several contexts change without a lock (event and error words,
// hold reasons): a compare-and-exchange loop, which Windows 2000's kernel offers on x86 where
// an interlocked OR or AND is not exported.
#pragma once
#include "platform.h"

// Whole but unordered accesses to a flag or count that other contexts use, where no ordering is
// needed: a flag tested again under the lock that covers it, a count only reported. GCC's atomic
// builtins, which every build of the driver is compiled with: on x86 they are the plain moves
// such accesses always were, and the host's race detector sees that they are meant. (Newer DDKs
// have the same names.)
inline UCHAR ReadUCharNoFence(UCHAR const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
inline BOOLEAN ReadBooleanNoFence(BOOLEAN const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
inline ULONG ReadULongNoFence(ULONG const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
inline VOID WriteUCharNoFence(UCHAR volatile* Destination, UCHAR Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
inline VOID WriteBooleanNoFence(BOOLEAN volatile* Destination, BOOLEAN Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
inline VOID WriteULongNoFence(ULONG volatile* Destination, ULONG Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}

inline LONG AtomicOr(volatile ULONG* Target, ULONG Bits) {
  LONG old = (LONG)ReadULongNoFence(Target);
  for (;;) {
    LONG seen = InterlockedCompareExchange((LONG volatile*)Target, (LONG)((ULONG)old | Bits), old);
    if (seen == old) return old;
    old = seen;
  }
}

inline LONG AtomicAnd(volatile ULONG* Target, ULONG Bits) {
  LONG old = (LONG)ReadULongNoFence(Target);
  for (;;) {
    LONG seen = InterlockedCompareExchange((LONG volatile*)Target, (LONG)((ULONG)old & Bits), old);
    if (seen == old) return old;
    old = seen;
  }
}
