#include "uninstaller.h"

#include "adapter_identity.h"
#include "device_removal.h"
#include "error_report.h"
#include "file_removal.h"
#include "inf_lookup.h"
#include "messages.h"
#include "win_constants.h"

namespace brevel {

void RunUninstaller(Platform& platform) {
    // The program relies on the NT setup services; on the other family it does nothing.
    if ((platform.Version() & kNonNtVersionBit) != 0) return;
    if (platform.ShowMessage(kConfirmText, kCaption, kConfirmStyle) != kIdYes) return;

    // Found before any device is removed: removing the last device may take the class
    // subkey that names the INF with it.
    char inf_name[kShortValueSize];
    FindInfName(platform, inf_name, sizeof inf_name);

    // All devices of the class, present or not: unplugged adapters are removed too.
    const DeviceSetHandle set = platform.OpenClassDevices(kPortsClassGuid, kDigcfAllOfClass);
    if (set == InvalidDeviceSet()) {
        ReportFailure(platform, kStepGetClassDevs);
        return;  // nothing was removed, so the driver's files stay as well
    }

    if (RemoveAdapterDevices(platform, set) == DeviceRemoval::kFinished)
        platform.ShowMessage(kSuccessText, kCaption, kSuccessStyle);
    platform.DestroyDeviceSet(set);

    // Last, once the user has dismissed the messages.
    RemoveInstalledFiles(platform, inf_name);
}

}  // namespace brevel
