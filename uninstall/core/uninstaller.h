// The uninstaller's main sequence: confirm, remove the adapter's devices, then its files.
#pragma once

#include "platform.h"

namespace brevel {

// Runs one whole uninstall against the platform. The program's exit code is always 0, so
// nothing is returned.
void RunUninstaller(Platform& platform);

}  // namespace brevel
