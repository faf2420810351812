// Bit updates of words that several contexts change without a lock (event and error words,
// hold reasons): a compare-and-exchange loop, which Windows 2000's kernel offers on x86 where
// an interlocked OR or AND is not exported.
#pragma once
#include "platform.h"

inline LONG AtomicOr(volatile ULONG* Target, ULONG Bits) {
  LONG old = (LONG)*Target;
  for (;;) {
    LONG seen = InterlockedCompareExchange((LONG volatile*)Target, (LONG)((ULONG)old | Bits), old);
    if (seen == old) return old;
    old = seen;
  }
}

inline LONG AtomicAnd(volatile ULONG* Target, ULONG Bits) {
  LONG old = (LONG)*Target;
  for (;;) {
    LONG seen = InterlockedCompareExchange((LONG volatile*)Target, (LONG)((ULONG)old & Bits), old);
    if (seen == old) return old;
    old = seen;
  }
}
