// Finds the name Windows gave the adapter's installation INF when it copied it into the INF
// directory (an "oem" name such as "oem12.inf").
#pragma once

#include <cstddef>

#include "platform.h"

namespace brevel {

// Looks through the Ports class subkeys for the first whose MatchingDeviceId is the adapter's
// and that has an InfPath, and copies that InfPath into inf_name (kShortValueSize bytes,
// always terminated). inf_name is left empty when none is found; registry failures only mean
// "not found". Every key opened is closed again.
void FindInfName(Platform& platform, char* inf_name, std::size_t inf_name_size);

}  // namespace brevel
