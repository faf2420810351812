// Removes every device instance of the Ports class whose hardware-ID list names the adapter.
#pragma once

#include "platform.h"

namespace brevel {

enum class DeviceRemoval {
    kFinished,  // every device was looked at (an enumeration error may have been reported)
    kStopped,   // a property read or a removal failed and was reported; later devices untouched
};

// Walks the open device set, removing matching devices with DIF_REMOVE. Failures are
// reported to the user here. The set stays open for the caller to release.
DeviceRemoval RemoveAdapterDevices(Platform& platform, DeviceSetHandle set);

}  // namespace brevel
