// A typical machine with the adapter installed, for the uninstaller tests: the driver file,
// the oem12 INF copies and the class subkey that names them. Tests add the devices.
#pragma once

#include <string>
#include <vector>

#include "fake_platform.h"

namespace brevel::testing {

inline const std::string kDriverPath = "C:\\WINDOWS\\system32\\drivers\\ORVIX.sys";
inline const std::string kInfPath = "C:\\WINDOWS\\inf\\oem12.INF";
inline const std::string kPnfPath = "C:\\WINDOWS\\inf\\oem12.PNF";
inline const std::string kAdapterId = "USB\\Vid_7A3C&Pid_0003";
inline const std::string kAdapterMatchingId = "usb\\vid_7a3c&pid_0003";

inline void InstallAdapterFiles(FakePlatform& machine) {
    machine.AddClassSubkey("0000", {{"MatchingDeviceId", Sz("*pnp0501")},
                                    {"InfPath", Sz("msports.inf")}});
    machine.AddClassSubkey("0001", {{"MatchingDeviceId", Sz(kAdapterMatchingId)},
                                    {"InfPath", Sz("oem12.inf")}});
    machine.files[kDriverPath] = 0x20;
    machine.files[kInfPath] = 0x20;
    machine.files[kPnfPath] = 0x20;
    machine.files["C:\\WINDOWS\\inf\\msports.inf"] = 0x20;
}

inline FakeDevice Device(const std::string& name, const std::vector<std::string>& ids) {
    FakeDevice device;
    device.name = name;
    device.hardware_ids = MultiSz(ids);
    return device;
}

inline FakeDevice Adapter(const std::string& name) { return Device(name, {kAdapterId}); }

}  // namespace brevel::testing
