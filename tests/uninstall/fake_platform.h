// A scripted stand-in for Windows behind the uninstaller's Platform seam. Tests describe the
// machine (devices, class registry, directories, files, the user's answers, injected
// failures), run the uninstaller against it, then look at what changed and at the journal of
// calls. It behaves as the Windows calls do where the uninstaller depends on it: last-error
// codes, buffer-size protocols, enumeration ends, read-only files that refuse deletion.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform.h"

namespace brevel::testing {

using Bytes = std::vector<unsigned char>;

// A REG_MULTI_SZ: each string with its terminator, then the closing empty string.
Bytes MultiSz(const std::vector<std::string>& strings);
// A REG_SZ with its terminator.
Bytes Sz(const std::string& text);

constexpr Dword kErrorFileNotFound = 2;
constexpr Dword kErrorAccessDenied = 5;
constexpr Dword kFileAttributeReadOnly = 0x01;
constexpr Dword kDigcfPresent = 0x02;
constexpr Dword kNtVersion = 0x0A280105;      // an NT-family GetVersion result
constexpr Dword kNonNtVersion = 0xC0000A04;   // a non-NT GetVersion result
constexpr Dword kErrorLeftByMessageBox = 1400;  // what a message box may leave as last error

struct FakeDevice {
    std::string name;
    std::optional<Bytes> hardware_ids;  // nullopt: the device has no hardware-ID list
    bool present = true;
    Dword property_error = 0;       // non-zero: every property read fails with it
    bool size_never_fits = false;   // every read asks for the size the buffer already has
    std::optional<std::string> grows_with;  // put in front of the list after the size query
    Dword removal_error = 0;        // non-zero: DIF_REMOVE fails with it
    bool removed = false;
};

struct FakeKey {
    std::vector<std::string> subkeys;  // enumeration order; names relative to this key
    std::map<std::string, Bytes> values;
    bool open_fails = false;
    bool partial_on_more_data = false;  // a too-small read leaves part of the data behind
};

struct ShownMessage {
    std::string text;
    std::string caption;
    Dword style;
};

class FakePlatform final : public Platform {
public:
    FakePlatform();
    ~FakePlatform() override;

    // ---- the machine, set up by the test ----
    Dword version = kNtVersion;
    std::vector<int> answers;  // returned by successive message boxes; IDOK (1) when used up
    std::set<unsigned char> lead_bytes;  // of the active code page; empty: a single-byte one
    std::vector<FakeDevice> devices;
    Dword class_devs_error = 0;  // non-zero: SetupDiGetClassDevs fails with it
    std::optional<Dword> enum_error_at;  // index at which SetupDiEnumDeviceInfo fails
    Dword enum_error = 0;
    std::map<std::string, FakeKey> registry;  // full path under HKEY_LOCAL_MACHINE
    std::optional<std::string> system_directory = std::string("C:\\WINDOWS\\system32");
    std::optional<std::string> windows_directory = std::string("C:\\WINDOWS");
    std::map<std::string, Dword> files;  // path as given -> attributes (names match in any case)
    std::map<Dword, std::string> system_texts;  // FormatMessage texts by error code
    bool allocation_fails = false;
    Dword last_error = 0;

    // Convenience: the Ports class key and a subkey of it with these values.
    void AddClassSubkey(const std::string& name, std::map<std::string, Bytes> values);
    static std::string ClassKeyPath();

    // ---- what happened ----
    std::vector<std::string> journal;
    std::vector<ShownMessage> messages;
    std::optional<Guid> class_devs_guid;
    std::optional<Dword> class_devs_flags;
    bool set_destroyed = false;
    std::size_t outstanding_allocations() const { return allocations_.size(); }
    std::size_t open_keys() const { return open_keys_.size(); }
    bool HasFile(const std::string& path) const;
    std::vector<std::string> RemovedDevices() const;
    std::vector<std::string> Entries(const std::string& prefix) const;  // journal lines

    // ---- Platform ----
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

private:
    FakeDevice& DeviceOf(DeviceSetHandle set, const DeviceInfo& device);
    Dword CopyDirectory(const std::optional<std::string>& directory, char* buffer, Dword size);
    std::map<std::string, Dword>::iterator FindFile(const std::string& path);

    std::vector<std::size_t> set_members_;  // indexes into devices, in enumeration order
    bool set_open_ = false;
    std::map<std::uintptr_t, std::string> open_keys_;  // handle -> path
    std::uintptr_t next_key_ = 0x100;
    std::set<void*> allocations_;
    std::map<std::size_t, Dword> reads_;  // property reads per device
};

}  // namespace brevel::testing
