// Deletes the driver file and Windows' copies of the installation INF.
#pragma once

#include "platform.h"

namespace brevel {

// Deletes <system directory>\drivers\ORVIX.sys, then, when inf_name has a base name before
// its first ".", <Windows directory>\inf\<base>.INF and .PNF. Each file's attributes are
// reset to normal first so that read-only copies go too. Failures are silent; a path that
// would not fit in MAX_PATH is not attempted.
void RemoveInstalledFiles(Platform& platform, const char* inf_name);

}  // namespace brevel
