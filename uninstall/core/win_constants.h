// Published Windows values the uninstaller passes to or reads from the platform.
#pragma once

#include "platform.h"

namespace brevel {

constexpr Dword kErrorSuccess = 0;
constexpr Dword kErrorNotEnoughMemory = 8;
constexpr Dword kErrorInvalidData = 13;
constexpr Dword kErrorInsufficientBuffer = 122;
constexpr Dword kErrorMoreData = 234;
constexpr Dword kErrorNoMoreItems = 259;

constexpr Dword kNonNtVersionBit = 0x80000000u;  // GetVersion: set on the non-NT family

constexpr int kIdYes = 6;
constexpr Dword kMbYesNo = 0x04;
constexpr Dword kMbIconError = 0x10;
constexpr Dword kMbIconQuestion = 0x20;
constexpr Dword kMbIconInformation = 0x40;
constexpr Dword kMbDefButton2 = 0x100;

constexpr Dword kDigcfAllOfClass = 0;  // neither DIGCF_PRESENT nor DIGCF_ALLCLASSES
constexpr Dword kSpdrpHardwareId = 1;
constexpr Dword kDifRemove = 5;

constexpr Dword kFileAttributeNormal = 0x80;

constexpr std::size_t kMaxPath = 260;

}  // namespace brevel
