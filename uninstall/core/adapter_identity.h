// What identifies the adapter and its installation on a machine.
#pragma once

#include "platform.h"

namespace brevel {

// As the device's hardware-ID list spells it; compared case-sensitively.
constexpr char kAdapterHardwareId[] = "USB\\Vid_7A3C&Pid_0003";
// As the class subkey's MatchingDeviceId value spells it (Windows stores it in lower case).
constexpr char kAdapterMatchingDeviceId[] = "usb\\vid_7a3c&pid_0003";

// The Ports (COM & LPT) device setup class.
constexpr Guid kPortsClassGuid = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// Under HKEY_LOCAL_MACHINE; the trailing backslash lets a subkey name be appended directly.
constexpr char kPortsClassKeyPath[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E978-E325-11CE-BFC1-08002BE10318}\\";
constexpr char kMatchingDeviceIdValue[] = "MatchingDeviceId";
constexpr char kInfPathValue[] = "InfPath";

// Appended to the system directory.
constexpr char kDriverFileSuffix[] = "\\drivers\\ORVIX.sys";
// Appended to the Windows directory, then the INF base name, then an extension.
constexpr char kInfDirectorySuffix[] = "\\inf\\";
constexpr char kInfExtension[] = ".INF";
constexpr char kPrecompiledInfExtension[] = ".PNF";

// Size of the buffers that receive MatchingDeviceId and InfPath.
constexpr std::size_t kShortValueSize = 32;

}  // namespace brevel
