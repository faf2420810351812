// The seam between the uninstaller's steps and Windows. Every operating-system call the
// program makes goes through Platform, so the steps run unchanged against the real API
// (win32/win32_platform.cpp) or against a scripted fake on the build host. The types are
// portable stand-ins for the Windows ones; the Windows side converts them one to one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brevel {

using Dword = std::uint32_t;
using RegStatus = std::int32_t;  // LONG result of the registry calls: 0 is success

struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};

// HDEVINFO; the failure value is INVALID_HANDLE_VALUE.
using DeviceSetHandle = void*;
inline DeviceSetHandle InvalidDeviceSet() {
    return reinterpret_cast<DeviceSetHandle>(~static_cast<std::uintptr_t>(0));
}

// Contents of SP_DEVINFO_DATA without its size field, which the Windows side fills itself.
struct DeviceInfo {
    Guid class_guid;
    Dword dev_inst;
    std::uintptr_t reserved;
};

using KeyHandle = void*;  // HKEY

// The byte test of the active multibyte code page (IsDBCSLeadByte on Windows). Kept apart
// so that the text helpers need nothing else of the platform.
class CodePage {
public:
    virtual ~CodePage() = default;
    virtual bool IsLeadByte(unsigned char byte) const = 0;
};

class Platform : public CodePage {
public:
    // GetVersion.
    virtual Dword Version() = 0;
    // MessageBoxA without an owner window; returns the button chosen (IDYES is 6).
    virtual int ShowMessage(const char* text, const char* caption, Dword style) = 0;

    // SetupDiGetClassDevsA(class_guid, no enumerator, no window, flags).
    virtual DeviceSetHandle OpenClassDevices(const Guid& class_guid, Dword flags) = 0;
    // SetupDiEnumDeviceInfo.
    virtual bool EnumDevice(DeviceSetHandle set, Dword index, DeviceInfo* device) = 0;
    // SetupDiGetDeviceRegistryPropertyA; the registry data type is not asked for.
    virtual bool ReadDeviceProperty(DeviceSetHandle set, const DeviceInfo& device, Dword property,
                                    unsigned char* buffer, Dword buffer_size,
                                    Dword* required_size) = 0;
    // SetupDiCallClassInstaller.
    virtual bool CallClassInstaller(Dword function, DeviceSetHandle set,
                                    const DeviceInfo& device) = 0;
    // SetupDiDestroyDeviceInfoList.
    virtual void DestroyDeviceSet(DeviceSetHandle set) = 0;

    // RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key).
    virtual RegStatus OpenMachineKeyForReading(const char* path, KeyHandle* key) = 0;
    // RegEnumKeyExA; *name_length holds the buffer size in, the name's length out.
    virtual RegStatus EnumSubkey(KeyHandle key, Dword index, char* name, Dword* name_length) = 0;
    // RegQueryValueExA; *size holds the buffer size in, the data size out.
    virtual RegStatus QueryValue(KeyHandle key, const char* value_name, unsigned char* data,
                                 Dword* size) = 0;
    // RegCloseKey.
    virtual void CloseKey(KeyHandle key) = 0;

    // GetSystemDirectoryA / GetWindowsDirectoryA: 0 on failure, more than size - 1 when the
    // buffer is too small, else the length written.
    virtual Dword SystemDirectory(char* buffer, Dword size) = 0;
    virtual Dword WindowsDirectory(char* buffer, Dword size) = 0;

    // SetFileAttributesA / DeleteFileA.
    virtual bool SetAttributes(const char* path, Dword attributes) = 0;
    virtual bool RemoveFile(const char* path) = 0;

    // FormatMessageA(FROM_SYSTEM | ALLOCATE_BUFFER, code, language neutral/default); returns the
    // length of the text, 0 when the system has none. The text is released with Free.
    virtual Dword SystemMessageText(Dword code, char** text) = 0;

    // LocalAlloc(LMEM_ZEROINIT, size) / LocalFree. Free accepts null.
    virtual void* AllocZeroed(std::size_t size) = 0;
    virtual void Free(void* block) = 0;

    // GetLastError / SetLastError.
    virtual Dword LastError() = 0;
    virtual void SetLastErrorCode(Dword code) = 0;
};

}  // namespace brevel
