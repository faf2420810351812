#include "inf_lookup.h"

#include <cstring>

#include "adapter_identity.h"
#include "bounded_text.h"
#include "mbcs_text.h"
#include "win_constants.h"

namespace brevel {
namespace {

// Reads a string value whole into buffer. A value that fills the buffer without a terminator
// of its own is treated as unreadable rather than read past.
bool ReadShortString(Platform& platform, KeyHandle key, const char* value_name, char* buffer,
                     std::size_t buffer_size) {
    std::memset(buffer, 0, buffer_size);
    Dword size = static_cast<Dword>(buffer_size);
    if (platform.QueryValue(key, value_name, reinterpret_cast<unsigned char*>(buffer), &size) != 0)
        return false;
    return std::memchr(buffer, '\0', buffer_size) != nullptr;
}

// True when the subkey names the adapter and its InfPath has been read into inf_name.
bool ReadInfNameOfSubkey(Platform& platform, const char* subkey_name, Dword subkey_length,
                         char* inf_name, std::size_t inf_name_size) {
    char path[kMaxPath];
    BoundedText path_text(platform, path, sizeof path);
    // A path that does not fit could only name a different key.
    if (!path_text.Append(kPortsClassKeyPath) || !path_text.Append(subkey_name, subkey_length))
        return false;

    KeyHandle subkey = nullptr;
    if (platform.OpenMachineKeyForReading(path, &subkey) != 0) return false;

    bool found = false;
    char matching_id[kShortValueSize];
    if (ReadShortString(platform, subkey, kMatchingDeviceIdValue, matching_id,
                        sizeof matching_id) &&
        SameText(platform, matching_id, kAdapterMatchingDeviceId)) {
        found = ReadShortString(platform, subkey, kInfPathValue, inf_name, inf_name_size);
        // A failed read may leave part of a value behind; only a whole name may be used.
        if (!found) std::memset(inf_name, 0, inf_name_size);
    }
    platform.CloseKey(subkey);
    return found;
}

}  // namespace

void FindInfName(Platform& platform, char* inf_name, std::size_t inf_name_size) {
    std::memset(inf_name, 0, inf_name_size);

    KeyHandle class_key = nullptr;
    if (platform.OpenMachineKeyForReading(kPortsClassKeyPath, &class_key) != 0) return;

    for (Dword index = 0;; ++index) {
        char subkey_name[kMaxPath];
        Dword subkey_length = sizeof subkey_name;
        if (platform.EnumSubkey(class_key, index, subkey_name, &subkey_length) != 0) break;
        if (subkey_length >= sizeof subkey_name) continue;  // not a name this buffer can hold
        if (ReadInfNameOfSubkey(platform, subkey_name, subkey_length, inf_name, inf_name_size))
            break;
    }
    platform.CloseKey(class_key);
}

}  // namespace brevel
