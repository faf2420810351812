#include "device_removal.h"

#include "error_report.h"
#include "hardware_ids.h"
#include "messages.h"
#include "win_constants.h"

namespace brevel {
namespace {

// Removes the device if it is an adapter. False when a failure was reported.
bool RemoveIfAdapter(Platform& platform, DeviceSetHandle set, const DeviceInfo& device) {
    HardwareIdList list;
    const HardwareIdRead read = ReadHardwareIds(platform, set, device, &list);
    bool carry_on = true;
    if (read == HardwareIdRead::kFailed) {
        ReportFailure(platform, kStepGetDeviceRegistryProperty);
        carry_on = false;
    } else if (read == HardwareIdRead::kRead && ListNamesAdapter(platform, list)) {
        if (!platform.CallClassInstaller(kDifRemove, set, device)) {
            ReportFailure(platform, kStepCallClassInstaller);
            carry_on = false;
        }
    }
    platform.Free(list.data);
    return carry_on;
}

}  // namespace

DeviceRemoval RemoveAdapterDevices(Platform& platform, DeviceSetHandle set) {
    DeviceInfo device{};
    for (Dword index = 0; platform.EnumDevice(set, index, &device); ++index) {
        if (!RemoveIfAdapter(platform, set, device)) return DeviceRemoval::kStopped;
    }
    const Dword error = platform.LastError();
    if (error != kErrorSuccess && error != kErrorNoMoreItems)
        ReportFailure(platform, kStepEnumDeviceInfo);
    return DeviceRemoval::kFinished;
}

}  // namespace brevel
