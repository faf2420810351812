// Force-included into the driver sources in the Wine build only. On x86-64, mingw-w64's
// KeQueryInterruptTime reads KUSER_SHARED_DATA, which Wine's kernel serves by emulating every
// read from a copy it updates in steps (after a 602 ms sleep it had moved 586 ms). The Wine build
// reads the performance counter instead, which is exact.
#pragma once
#include "../../../driver/frame/platform.h"

extern "C" ULONGLONG WineCompatInterruptTime(void);
#undef KeQueryInterruptTime
#define KeQueryInterruptTime() WineCompatInterruptTime()
