#include "registry.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "../kernel/handles.h"
#include "../kernel/thread_state.h"
#include "../kernel/verifier.h"
#include "../rtl/strings.h"

namespace hk::registry {

const std::u16string kDeviceMap = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP";
const std::u16string kEnum = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";

namespace {

struct Key {
  std::map<std::u16string, std::unique_ptr<Key>> Subkeys;  // by upper-case name
  std::map<std::u16string, Value> Values;                 // by upper-case name
};

struct KeyHandle {
  std::u16string Path;
};

std::mutex g_lock;
Key g_root;
bool g_failWrites = false;

std::vector<std::u16string> Split(const std::u16string& path) {
  std::vector<std::u16string> parts;
  std::u16string part;
  for (char16_t c : path) {
    if (c == u'\\') {
      if (!part.empty()) parts.push_back(rtl::Upper(part));
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(rtl::Upper(part));
  return parts;
}

Key* Find(const std::u16string& path, bool create) {
  Key* key = &g_root;
  for (const auto& part : Split(path)) {
    auto it = key->Subkeys.find(part);
    if (it == key->Subkeys.end()) {
      if (!create) return nullptr;
      it = key->Subkeys.emplace(part, std::make_unique<Key>()).first;
    }
    key = it->second.get();
  }
  return key;
}

bool PassiveOnly(const char* routine) {
  if (CurrentThread().Irql == PASSIVE_LEVEL) return true;
  verifier::Report("irql", std::string(routine) + " above PASSIVE_LEVEL");
  return false;
}

std::u16string RelativeRoot(ULONG relativeTo) {
  switch (relativeTo & 0xFFFF) {
    case RTL_REGISTRY_ABSOLUTE: return u"";
    case RTL_REGISTRY_SERVICES: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT:
      return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP: return kDeviceMap;
    default: return u"\\Registry\\User\\.Default";
  }
}

}  // namespace

void SetValue(const std::u16string& key, const std::u16string& name, ULONG type, const void* data,
              size_t size) {
  std::lock_guard<std::mutex> guard(g_lock);
  Value v;
  v.Name = name;
  v.Type = type;
  v.Data.assign((const uint8_t*)data, (const uint8_t*)data + size);
  Find(key, true)->Values[rtl::Upper(name)] = std::move(v);
}

void SetString(const std::u16string& key, const std::u16string& name, const std::u16string& text,
               ULONG type, bool terminate) {
  std::u16string data = text;
  if (terminate) data.push_back(0);
  SetValue(key, name, type, data.data(), data.size() * sizeof(char16_t));
}

std::optional<Value> GetValue(const std::u16string& key, const std::u16string& name) {
  std::lock_guard<std::mutex> guard(g_lock);
  Key* k = Find(key, false);
  if (!k) return std::nullopt;
  auto it = k->Values.find(rtl::Upper(name));
  if (it == k->Values.end()) return std::nullopt;
  return it->second;
}

std::optional<std::u16string> GetString(const std::u16string& key, const std::u16string& name) {
  auto v = GetValue(key, name);
  if (!v) return std::nullopt;
  std::u16string text((const char16_t*)v->Data.data(), v->Data.size() / 2);
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

bool DeleteValue(const std::u16string& key, const std::u16string& name) {
  std::lock_guard<std::mutex> guard(g_lock);
  Key* k = Find(key, false);
  return k && k->Values.erase(rtl::Upper(name)) > 0;
}

bool KeyExists(const std::u16string& key) {
  std::lock_guard<std::mutex> guard(g_lock);
  return Find(key, false) != nullptr;
}

void DeleteKey(const std::u16string& key) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto parts = Split(key);
  if (parts.empty()) return;
  std::u16string last = parts.back();
  Key* parent = &g_root;
  for (size_t i = 0; i + 1 < parts.size() && parent; ++i) {
    auto it = parent->Subkeys.find(parts[i]);
    parent = it == parent->Subkeys.end() ? nullptr : it->second.get();
  }
  if (parent) parent->Subkeys.erase(last);
}

std::vector<Value> Values(const std::u16string& key) {
  std::lock_guard<std::mutex> guard(g_lock);
  std::vector<Value> out;
  if (Key* k = Find(key, false))
    for (const auto& [n, v] : k->Values) out.push_back(v);
  return out;
}

HANDLE OpenKey(const std::u16string& key, bool create) {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!Find(key, create)) return nullptr;
  }
  return handles::Insert(handles::Kind::Key, new KeyHandle{key});
}

void CloseKey(void* handleObject) { delete static_cast<KeyHandle*>(handleObject); }

void FailWrites(bool fail) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_failWrites = fail;
}

void Reset() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_root.Subkeys.clear();
  g_root.Values.clear();
  g_failWrites = false;
}

}  // namespace hk::registry

using namespace hk;
using namespace hk::registry;

extern "C" {

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  PassiveOnly("ZwQueryValueKey");
  handles::Kind kind;
  void* object;
  if (!handles::Lookup(KeyHandle, &kind, &object) || kind != handles::Kind::Key)
    return STATUS_INVALID_HANDLE;
  if (KeyValueInformationClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
  auto value = GetValue(static_cast<struct KeyHandle*>(object)->Path, rtl::ToU16(ValueName));
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
  const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
  const ULONG needed = header + (ULONG)value->Data.size();
  *ResultLength = needed;
  if (Length < header) return STATUS_BUFFER_TOO_SMALL;
  auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
  info->TitleIndex = 0;
  info->Type = value->Type;
  info->DataLength = (ULONG)value->Data.size();
  ULONG room = Length - header;
  ULONG copy = room < info->DataLength ? room : info->DataLength;
  std::memcpy(info->Data, value->Data.data(), copy);
  return copy < info->DataLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
  PassiveOnly("RtlWriteRegistryValue");
  {
    std::lock_guard<std::mutex> guard(registry::g_lock);
    if (registry::g_failWrites) return STATUS_ACCESS_DENIED;
  }
  std::u16string key = RelativeRoot(RelativeTo) + u"\\" + rtl::ToU16(Path);
  SetValue(key, rtl::ToU16(ValueName), ValueType, ValueData, ValueLength);
  return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  PassiveOnly("RtlDeleteRegistryValue");
  std::u16string key = RelativeRoot(RelativeTo) + u"\\" + rtl::ToU16(Path);
  if (!KeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
  return DeleteValue(key, rtl::ToU16(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
