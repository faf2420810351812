#include "hardware_ids.h"

#include <cstring>

#include "adapter_identity.h"
#include "mbcs_text.h"
#include "win_constants.h"

namespace brevel {
namespace {

// Zero bytes kept after the list's data, so that a list the registry holds without its
// terminators still ends inside the buffer when it is walked.
constexpr Dword kTerminatorReserve = 2;

}  // namespace

HardwareIdRead ReadHardwareIds(Platform& platform, DeviceSetHandle set, const DeviceInfo& device,
                               HardwareIdList* list) {
    list->data = nullptr;
    list->size = 0;
    Dword capacity = 0;
    Dword required = 0;
    bool read = platform.ReadDeviceProperty(set, device, kSpdrpHardwareId, nullptr, 0, &required);
    while (!read) {
        const Dword error = platform.LastError();
        if (error == kErrorInvalidData) return HardwareIdRead::kAbsent;
        // A size that does not grow would only repeat the same failure.
        if (error != kErrorInsufficientBuffer || required <= capacity)
            return HardwareIdRead::kFailed;
        platform.Free(list->data);
        list->data = static_cast<unsigned char*>(
            platform.AllocZeroed(static_cast<std::size_t>(required) + kTerminatorReserve));
        if (list->data == nullptr) return HardwareIdRead::kFailed;  // last error: out of memory
        capacity = required;
        read = platform.ReadDeviceProperty(set, device, kSpdrpHardwareId, list->data, capacity,
                                           &required);
    }
    // An empty list can succeed without a buffer; it names nothing.
    if (list->data == nullptr) return HardwareIdRead::kAbsent;
    list->size = required < capacity ? required : capacity;
    return HardwareIdRead::kRead;
}

bool ListNamesAdapter(const CodePage& code_page, const HardwareIdList& list) {
    Dword offset = 0;
    while (offset < list.size && list.data[offset] != '\0') {
        const char* id = reinterpret_cast<const char*>(list.data + offset);
        if (SameText(code_page, id, kAdapterHardwareId)) return true;
        offset += static_cast<Dword>(std::strlen(id)) + 1;
    }
    return false;
}

}  // namespace brevel
