#include "win32_platform.h"

#include <windows.h>
#include <setupapi.h>

#include <cstring>

namespace brevel {
namespace {

static_assert(sizeof(Dword) == sizeof(DWORD), "Dword must carry a DWORD unchanged");
static_assert(sizeof(Guid) == sizeof(GUID), "Guid must have GUID's layout");
static_assert(sizeof(RegStatus) == sizeof(LONG), "RegStatus must carry a LONG");
#ifndef _WIN64
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "the 32-bit device-info record is 28 bytes");
#endif

GUID ToGuid(const Guid& guid) {
    GUID result;
    result.Data1 = guid.data1;
    result.Data2 = guid.data2;
    result.Data3 = guid.data3;
    std::memcpy(result.Data4, guid.data4, sizeof result.Data4);
    return result;
}

Guid FromGuid(const GUID& guid) {
    Guid result;
    result.data1 = guid.Data1;
    result.data2 = guid.Data2;
    result.data3 = guid.Data3;
    std::memcpy(result.data4, guid.Data4, sizeof result.data4);
    return result;
}

SP_DEVINFO_DATA ToDevInfo(const DeviceInfo& device) {
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof data;
    data.ClassGuid = ToGuid(device.class_guid);
    data.DevInst = device.dev_inst;
    data.Reserved = device.reserved;
    return data;
}

}  // namespace

bool Win32Platform::IsLeadByte(unsigned char byte) const { return IsDBCSLeadByte(byte) != FALSE; }

Dword Win32Platform::Version() { return GetVersion(); }

int Win32Platform::ShowMessage(const char* text, const char* caption, Dword style) {
    return MessageBoxA(nullptr, text, caption, style);
}

DeviceSetHandle Win32Platform::OpenClassDevices(const Guid& class_guid, Dword flags) {
    const GUID guid = ToGuid(class_guid);
    return SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags);
}

bool Win32Platform::EnumDevice(DeviceSetHandle set, Dword index, DeviceInfo* device) {
    SP_DEVINFO_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInfo(set, index, &data)) return false;
    device->class_guid = FromGuid(data.ClassGuid);
    device->dev_inst = data.DevInst;
    device->reserved = data.Reserved;
    return true;
}

bool Win32Platform::ReadDeviceProperty(DeviceSetHandle set, const DeviceInfo& device,
                                       Dword property, unsigned char* buffer, Dword buffer_size,
                                       Dword* required_size) {
    SP_DEVINFO_DATA data = ToDevInfo(device);
    DWORD required = 0;
    const BOOL read = SetupDiGetDeviceRegistryPropertyA(set, &data, property, nullptr, buffer,
                                                        buffer_size, &required);
    *required_size = required;
    return read != FALSE;
}

bool Win32Platform::CallClassInstaller(Dword function, DeviceSetHandle set,
                                       const DeviceInfo& device) {
    SP_DEVINFO_DATA data = ToDevInfo(device);
    return SetupDiCallClassInstaller(function, set, &data) != FALSE;
}

void Win32Platform::DestroyDeviceSet(DeviceSetHandle set) { SetupDiDestroyDeviceInfoList(set); }

RegStatus Win32Platform::OpenMachineKeyForReading(const char* path, KeyHandle* key) {
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &opened);
    *key = opened;
    return status;
}

RegStatus Win32Platform::EnumSubkey(KeyHandle key, Dword index, char* name, Dword* name_length) {
    DWORD length = *name_length;
    const LONG status = RegEnumKeyExA(static_cast<HKEY>(key), index, name, &length, nullptr,
                                      nullptr, nullptr, nullptr);
    *name_length = length;
    return status;
}

RegStatus Win32Platform::QueryValue(KeyHandle key, const char* value_name, unsigned char* data,
                                    Dword* size) {
    DWORD length = *size;
    const LONG status =
        RegQueryValueExA(static_cast<HKEY>(key), value_name, nullptr, nullptr, data, &length);
    *size = length;
    return status;
}

void Win32Platform::CloseKey(KeyHandle key) { RegCloseKey(static_cast<HKEY>(key)); }

Dword Win32Platform::SystemDirectory(char* buffer, Dword size) {
    return GetSystemDirectoryA(buffer, size);
}

Dword Win32Platform::WindowsDirectory(char* buffer, Dword size) {
    return GetWindowsDirectoryA(buffer, size);
}

bool Win32Platform::SetAttributes(const char* path, Dword attributes) {
    return SetFileAttributesA(path, attributes) != FALSE;
}

bool Win32Platform::RemoveFile(const char* path) { return DeleteFileA(path) != FALSE; }

Dword Win32Platform::SystemMessageText(Dword code, char** text) {
    char* allocated = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&allocated), 0,
        nullptr);
    *text = allocated;
    return length;
}

void* Win32Platform::AllocZeroed(std::size_t size) { return LocalAlloc(LMEM_ZEROINIT, size); }

void Win32Platform::Free(void* block) {
    if (block != nullptr) LocalFree(block);
}

Dword Win32Platform::LastError() { return GetLastError(); }

void Win32Platform::SetLastErrorCode(Dword code) { SetLastError(code); }

}  // namespace brevel
