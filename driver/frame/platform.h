// The one place where the two builds differ: the real DDK headers for the Windows driver, the
// host kernel's headers for the build that runs on the host kernel.
#pragma once

#if defined(ORVIX_HOST)
#include <hostddk/ddk.h>
#else
// mingw-w64's wdm.h defines the two bit-test intrinsics that intrin.h already declares in C++.
#include <intrin.h>
#define InterlockedBitTestAndSet InterlockedBitTestAndSet_wdm
#define InterlockedBitTestAndReset InterlockedBitTestAndReset_wdm
extern "C" {
#include <ddk/wdm.h>
#include <ddk/ntddk.h>
#include <usbdi.h>
#include <ddk/usbdlib.h>
#include <ntddser.h>
}
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset
#endif
