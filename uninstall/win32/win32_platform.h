// The uninstaller's platform on Windows: each operation is the one Windows call it names.
#pragma once

#include "platform.h"

namespace brevel {

class Win32Platform final : public Platform {
public:
    bool IsLeadByte(unsigned char byte) const override;

    Dword Version() override;
    int ShowMessage(const char* text, const char* caption, Dword style) override;

    DeviceSetHandle OpenClassDevices(const Guid& class_guid, Dword flags) override;
    bool EnumDevice(DeviceSetHandle set, Dword index, DeviceInfo* device) override;
    bool ReadDeviceProperty(DeviceSetHandle set, const DeviceInfo& device, Dword property,
                            unsigned char* buffer, Dword buffer_size,
                            Dword* required_size) override;
    bool CallClassInstaller(Dword function, DeviceSetHandle set,
                            const DeviceInfo& device) override;
    void DestroyDeviceSet(DeviceSetHandle set) override;

    RegStatus OpenMachineKeyForReading(const char* path, KeyHandle* key) override;
    RegStatus EnumSubkey(KeyHandle key, Dword index, char* name, Dword* name_length) override;
    RegStatus QueryValue(KeyHandle key, const char* value_name, unsigned char* data,
                         Dword* size) override;
    void CloseKey(KeyHandle key) override;

    Dword SystemDirectory(char* buffer, Dword size) override;
    Dword WindowsDirectory(char* buffer, Dword size) override;

    bool SetAttributes(const char* path, Dword attributes) override;
    bool RemoveFile(const char* path) override;

    Dword SystemMessageText(Dword code, char** text) override;

    void* AllocZeroed(std::size_t size) override;
    void Free(void* block) override;

    Dword LastError() override;
    void SetLastErrorCode(Dword code) override;
};

}  // namespace brevel
