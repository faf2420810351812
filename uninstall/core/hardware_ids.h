// Reads a device's hardware-ID list and looks for the adapter's ID in it.
#pragma once

#include "platform.h"

namespace brevel {

enum class HardwareIdRead {
    kRead,     // list holds the device's hardware-ID list
    kAbsent,   // the device has no hardware-ID list
    kFailed,   // the platform's last error tells why
};

struct HardwareIdList {
    unsigned char* data = nullptr;  // allocated with Platform::AllocZeroed
    Dword size = 0;                 // bytes of list data returned
};

// Reads SPDRP_HARDWAREID into a buffer grown to the size the platform asks for. The caller
// releases list->data with Platform::Free whatever the result (it may be set on failure).
HardwareIdRead ReadHardwareIds(Platform& platform, DeviceSetHandle set, const DeviceInfo& device,
                               HardwareIdList* list);

// True when one of the list's strings is exactly the adapter's hardware ID. Only strings that
// start inside the returned size are looked at; the list ends at the first empty string.
bool ListNamesAdapter(const CodePage& code_page, const HardwareIdList& list);

}  // namespace brevel
