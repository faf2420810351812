// The registry: an in-memory tree of keys and typed values, with the kernel's key handles.
// Paths are absolute ("\Registry\Machine\HARDWARE\DEVICEMAP\SERIALCOMM"); names compare
// without regard to case, as on Windows.
#pragma once
#include <hostddk/ddk.h>

#include <optional>
#include <string>
#include <vector>

namespace hk::registry {

struct Value {
  std::u16string Name;
  ULONG Type = REG_NONE;
  std::vector<uint8_t> Data;
};

extern const std::u16string kDeviceMap;  // \Registry\Machine\HARDWARE\DEVICEMAP
extern const std::u16string kEnum;       // \Registry\Machine\System\CurrentControlSet\Enum

void SetValue(const std::u16string& key, const std::u16string& name, ULONG type,
              const void* data, size_t size);
void SetString(const std::u16string& key, const std::u16string& name, const std::u16string& text,
               ULONG type = REG_SZ, bool terminate = true);
std::optional<Value> GetValue(const std::u16string& key, const std::u16string& name);
std::optional<std::u16string> GetString(const std::u16string& key, const std::u16string& name);
bool DeleteValue(const std::u16string& key, const std::u16string& name);
bool KeyExists(const std::u16string& key);
void DeleteKey(const std::u16string& key);
std::vector<Value> Values(const std::u16string& key);

// Kernel key handles.
HANDLE OpenKey(const std::u16string& key, bool create);
void CloseKey(void* handleObject);

// Makes registry writes fail (RtlWriteRegistryValue answers STATUS_ACCESS_DENIED).
void FailWrites(bool fail);
void Reset();

}  // namespace hk::registry
