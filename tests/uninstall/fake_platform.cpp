#include "fake_platform.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "adapter_identity.h"
#include "win_constants.h"

namespace brevel::testing {
namespace {

DeviceSetHandle TheSet() { return reinterpret_cast<DeviceSetHandle>(std::uintptr_t{0x5e7}); }

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

Bytes MultiSz(const std::vector<std::string>& strings) {
    Bytes bytes;
    for (const std::string& text : strings) {
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.push_back(0);
    }
    bytes.push_back(0);
    return bytes;
}

Bytes Sz(const std::string& text) {
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

FakePlatform::FakePlatform() = default;

FakePlatform::~FakePlatform() {
    for (void* block : allocations_) std::free(block);
}

std::string FakePlatform::ClassKeyPath() {
    std::string path = kPortsClassKeyPath;
    return path;
}

void FakePlatform::AddClassSubkey(const std::string& name, std::map<std::string, Bytes> values) {
    registry[ClassKeyPath()].subkeys.push_back(name);
    registry[ClassKeyPath() + name].values = std::move(values);
}

bool FakePlatform::HasFile(const std::string& path) const {
    for (const auto& file : files)
        if (Lower(file.first) == Lower(path)) return true;
    return false;
}

std::vector<std::string> FakePlatform::RemovedDevices() const {
    std::vector<std::string> names;
    for (const FakeDevice& device : devices)
        if (device.removed) names.push_back(device.name);
    return names;
}

std::vector<std::string> FakePlatform::Entries(const std::string& prefix) const {
    std::vector<std::string> lines;
    for (const std::string& line : journal)
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
    return lines;
}

bool FakePlatform::IsLeadByte(unsigned char byte) const { return lead_bytes.count(byte) != 0; }

Dword FakePlatform::Version() { return version; }

int FakePlatform::ShowMessage(const char* text, const char* caption, Dword style) {
    messages.push_back({text, caption, style});
    journal.push_back(std::string("message ") + caption + ": " + text);
    last_error = kErrorLeftByMessageBox;
    if (answers.empty()) return 1;
    const int answer = answers.front();
    answers.erase(answers.begin());
    return answer;
}

DeviceSetHandle FakePlatform::OpenClassDevices(const Guid& class_guid, Dword flags) {
    journal.push_back("open device set");
    class_devs_guid = class_guid;
    class_devs_flags = flags;
    if (class_devs_error != 0) {
        last_error = class_devs_error;
        return InvalidDeviceSet();
    }
    set_members_.clear();
    for (std::size_t i = 0; i < devices.size(); ++i)
        if (devices[i].present || (flags & kDigcfPresent) == 0) set_members_.push_back(i);
    set_open_ = true;
    return TheSet();
}

bool FakePlatform::EnumDevice(DeviceSetHandle set, Dword index, DeviceInfo* device) {
    if (set != TheSet() || !set_open_) {
        last_error = kErrorInvalidData;
        return false;
    }
    if (enum_error_at && *enum_error_at == index) {
        last_error = enum_error;
        return false;
    }
    if (index >= set_members_.size()) {
        last_error = kErrorNoMoreItems;
        return false;
    }
    // Removed devices stay in the set, as they do on Windows.
    device->class_guid = kPortsClassGuid;
    device->dev_inst = static_cast<Dword>(set_members_[index]);
    device->reserved = 0xdead0000u + index;
    return true;
}

FakeDevice& FakePlatform::DeviceOf(DeviceSetHandle set, const DeviceInfo& device) {
    if (set != TheSet() || !set_open_ || device.dev_inst >= devices.size()) std::abort();
    return devices[device.dev_inst];
}

bool FakePlatform::ReadDeviceProperty(DeviceSetHandle set, const DeviceInfo& info, Dword property,
                                      unsigned char* buffer, Dword buffer_size,
                                      Dword* required_size) {
    FakeDevice& device = DeviceOf(set, info);
    journal.push_back("read hardware IDs " + device.name + " size " +
                      std::to_string(buffer_size));
    if (property != kSpdrpHardwareId) std::abort();
    if (buffer == nullptr && buffer_size != 0) {
        last_error = 1784;  // ERROR_INVALID_USER_BUFFER
        return false;
    }
    if (device.property_error != 0) {
        last_error = device.property_error;
        return false;
    }
    if (!device.hardware_ids) {
        last_error = kErrorInvalidData;
        return false;
    }
    if (reads_[info.dev_inst]++ == 1 && device.grows_with) {
        const Bytes added = Sz(*device.grows_with);
        device.hardware_ids->insert(device.hardware_ids->begin(), added.begin(), added.end());
    }
    const Dword size = static_cast<Dword>(device.hardware_ids->size());
    if (device.size_never_fits || buffer_size < size) {
        *required_size = size;
        last_error = kErrorInsufficientBuffer;
        return false;
    }
    if (size != 0) std::memcpy(buffer, device.hardware_ids->data(), size);
    *required_size = size;
    return true;  // like Windows, success leaves the last error alone
}

bool FakePlatform::CallClassInstaller(Dword function, DeviceSetHandle set,
                                      const DeviceInfo& info) {
    FakeDevice& device = DeviceOf(set, info);
    journal.push_back("class installer " + std::to_string(function) + " " + device.name);
    if (function != kDifRemove) std::abort();
    if (device.removal_error != 0) {
        last_error = device.removal_error;
        return false;
    }
    device.removed = true;
    return true;
}

void FakePlatform::DestroyDeviceSet(DeviceSetHandle set) {
    if (set != TheSet() || !set_open_) std::abort();
    journal.push_back("destroy device set");
    set_open_ = false;
    set_destroyed = true;
}

RegStatus FakePlatform::OpenMachineKeyForReading(const char* path, KeyHandle* key) {
    journal.push_back(std::string("open key ") + path);
    const auto found = registry.find(path);
    if (found == registry.end()) return static_cast<RegStatus>(kErrorFileNotFound);
    if (found->second.open_fails) return static_cast<RegStatus>(kErrorAccessDenied);
    const std::uintptr_t handle = next_key_++;
    open_keys_[handle] = path;
    *key = reinterpret_cast<KeyHandle>(handle);
    return 0;
}

RegStatus FakePlatform::EnumSubkey(KeyHandle key, Dword index, char* name, Dword* name_length) {
    const auto open = open_keys_.find(reinterpret_cast<std::uintptr_t>(key));
    if (open == open_keys_.end()) std::abort();
    const FakeKey& fake = registry[open->second];
    if (index >= fake.subkeys.size()) return static_cast<RegStatus>(kErrorNoMoreItems);
    const std::string& subkey = fake.subkeys[index];
    if (subkey.size() + 1 > *name_length) return static_cast<RegStatus>(kErrorMoreData);
    std::memcpy(name, subkey.c_str(), subkey.size() + 1);
    *name_length = static_cast<Dword>(subkey.size());
    return 0;
}

RegStatus FakePlatform::QueryValue(KeyHandle key, const char* value_name, unsigned char* data,
                                   Dword* size) {
    const auto open = open_keys_.find(reinterpret_cast<std::uintptr_t>(key));
    if (open == open_keys_.end()) std::abort();
    const FakeKey& fake = registry[open->second];
    const auto value = fake.values.find(value_name);
    if (value == fake.values.end()) return static_cast<RegStatus>(kErrorFileNotFound);
    const Dword value_size = static_cast<Dword>(value->second.size());
    if (value_size > *size) {
        if (fake.partial_on_more_data) std::memcpy(data, value->second.data(), *size);
        *size = value_size;
        return static_cast<RegStatus>(kErrorMoreData);
    }
    std::memcpy(data, value->second.data(), value_size);
    *size = value_size;
    return 0;
}

void FakePlatform::CloseKey(KeyHandle key) {
    if (open_keys_.erase(reinterpret_cast<std::uintptr_t>(key)) != 1) std::abort();
    journal.push_back("close key");
}

Dword FakePlatform::CopyDirectory(const std::optional<std::string>& directory, char* buffer,
                                  Dword size) {
    if (!directory) return 0;
    if (directory->size() + 1 > size) return static_cast<Dword>(directory->size() + 1);
    std::memcpy(buffer, directory->c_str(), directory->size() + 1);
    return static_cast<Dword>(directory->size());
}

Dword FakePlatform::SystemDirectory(char* buffer, Dword size) {
    return CopyDirectory(system_directory, buffer, size);
}

Dword FakePlatform::WindowsDirectory(char* buffer, Dword size) {
    return CopyDirectory(windows_directory, buffer, size);
}

std::map<std::string, Dword>::iterator FakePlatform::FindFile(const std::string& path) {
    for (auto file = files.begin(); file != files.end(); ++file)
        if (Lower(file->first) == Lower(path)) return file;
    return files.end();
}

bool FakePlatform::SetAttributes(const char* path, Dword attributes) {
    journal.push_back(std::string("attributes ") + path);
    const auto file = FindFile(path);
    if (file == files.end()) {
        last_error = kErrorFileNotFound;
        return false;
    }
    file->second = attributes;
    return true;
}

bool FakePlatform::RemoveFile(const char* path) {
    journal.push_back(std::string("delete ") + path);
    const auto file = FindFile(path);
    if (file == files.end()) {
        last_error = kErrorFileNotFound;
        return false;
    }
    if ((file->second & kFileAttributeReadOnly) != 0) {
        last_error = kErrorAccessDenied;
        return false;
    }
    files.erase(file);
    return true;
}

Dword FakePlatform::SystemMessageText(Dword code, char** text) {
    const auto found = system_texts.find(code);
    if (found == system_texts.end()) {
        last_error = 317;  // ERROR_MR_MID_NOT_FOUND
        return 0;
    }
    char* block = static_cast<char*>(AllocZeroed(found->second.size() + 1));
    std::memcpy(block, found->second.c_str(), found->second.size() + 1);
    *text = block;
    return static_cast<Dword>(found->second.size());
}

void* FakePlatform::AllocZeroed(std::size_t size) {
    if (allocation_fails) {
        last_error = kErrorNotEnoughMemory;
        return nullptr;
    }
    void* block = std::calloc(1, size == 0 ? 1 : size);
    allocations_.insert(block);
    return block;
}

void FakePlatform::Free(void* block) {
    if (block == nullptr) return;
    if (allocations_.erase(block) != 1) std::abort();  // double free or foreign block
    std::free(block);
}

Dword FakePlatform::LastError() { return last_error; }

void FakePlatform::SetLastErrorCode(Dword code) { last_error = code; }

}  // namespace brevel::testing
