// Everything the uninstaller says to the user, byte for byte.
#pragma once

#include "win_constants.h"

namespace brevel {

constexpr char kCaption[] = "Brevel Uninstall";
constexpr char kErrorCaption[] = "Brevel Uninstall Error";

constexpr char kConfirmText[] = "Are you sure you want to completely remove Brevel?";
constexpr Dword kConfirmStyle = kMbYesNo | kMbIconQuestion | kMbDefButton2;  // "No" is the default

constexpr char kSuccessText[] = "Brevel was successfully removed from your computer.";
constexpr Dword kSuccessStyle = kMbIconInformation;

constexpr Dword kErrorStyle = kMbIconError;
constexpr char kFailureSeparator[] = " FAILURE: ";  // between the step label and the reason

// Step labels of the error messages. The first one's lone parenthesis is what users have
// always been shown; keep it.
constexpr char kStepGetClassDevs[] = "GetClassDevs)";
constexpr char kStepGetDeviceRegistryProperty[] = "GetDeviceRegistryProperty";
constexpr char kStepCallClassInstaller[] = "CallClassInstaller(REMOVE)";
constexpr char kStepEnumDeviceInfo[] = "EnumDeviceInfo";

// The error text buffer holds this many bytes, the terminator included.
constexpr std::size_t kErrorTextSize = 260;

}  // namespace brevel
