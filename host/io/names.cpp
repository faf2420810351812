#include "names.h"

#include <cstdio>
#include <cstring>
#include <map>

#include "../kernel/faults.h"
#include "../kernel/pool.h"
#include "../kernel/thread_state.h"
#include "../kernel/verifier.h"
#include "../rtl/strings.h"
#include "io_manager.h"

namespace hk::io {
namespace {

struct Entry {
  std::u16string Name;  // as created
  PDEVICE_OBJECT Device = nullptr;
  bool IsLink = false;
  std::u16string Target;
};

struct Interface {
  std::u16string Name;
  PDEVICE_OBJECT Pdo;
  GUID Guid;
  bool Enabled;
};

std::mutex g_lock;
std::map<std::u16string, Entry> g_names;          // by upper-case normalised name
std::map<std::u16string, Interface> g_interfaces;  // by upper-case link name

std::u16string Key(const std::u16string& name) { return rtl::Upper(NormalizeName(name)); }

}  // namespace

namespace names {

bool AddDevice(const std::u16string& name, PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto key = Key(name);
  auto it = g_names.find(key);
  if (it != g_names.end()) {
    if (device && !it->second.IsLink && !it->second.Device) {
      it->second.Device = device;  // second step of creation: the object now exists
      return true;
    }
    return false;
  }
  g_names[key] = {name, device, false, {}};
  return true;
}

void Remove(const std::u16string& name) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_names.erase(Key(name));
}

void Reset() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_names.clear();
  g_interfaces.clear();
}

}  // namespace names

std::u16string NormalizeName(const std::u16string& name) {
  static const std::u16string kShort = u"\\??\\";
  static const std::u16string kGlobal = u"\\GLOBAL??\\";
  if (name.compare(0, kShort.size(), kShort) == 0) return u"\\DosDevices\\" + name.substr(kShort.size());
  if (rtl::Upper(name).compare(0, kGlobal.size(), kGlobal) == 0)
    return u"\\DosDevices\\" + name.substr(kGlobal.size());
  return name;
}

PDEVICE_OBJECT ResolveName(const std::u16string& name) {
  std::lock_guard<std::mutex> guard(g_lock);
  std::u16string current = name;
  for (int hops = 0; hops < 8; ++hops) {
    auto it = g_names.find(Key(current));
    if (it == g_names.end()) return nullptr;
    if (!it->second.IsLink) return it->second.Device;
    current = it->second.Target;
  }
  return nullptr;
}

bool LinkExists(const std::u16string& name) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_names.find(Key(name));
  return it != g_names.end() && it->second.IsLink;
}

std::u16string LinkTarget(const std::u16string& name) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_names.find(Key(name));
  return it != g_names.end() && it->second.IsLink ? it->second.Target : std::u16string();
}

std::vector<std::u16string> LinksTo(const std::u16string& deviceName) {
  std::lock_guard<std::mutex> guard(g_lock);
  std::vector<std::u16string> out;
  if (deviceName.empty()) return out;
  for (const auto& [key, entry] : g_names)
    if (entry.IsLink && Key(entry.Target) == Key(deviceName)) out.push_back(entry.Name);
  return out;
}

bool CreateLink(const std::u16string& link, const std::u16string& target) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto key = Key(link);
  if (g_names.count(key)) return false;
  g_names[key] = {NormalizeName(link), nullptr, true, target};
  return true;
}

std::u16string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                (unsigned)g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return rtl::FromAscii(text);
}

std::vector<std::u16string> EnabledInterfaces(const GUID& guid) {
  std::lock_guard<std::mutex> guard(g_lock);
  std::vector<std::u16string> out;
  for (const auto& [key, i] : g_interfaces)
    if (i.Enabled && std::memcmp(&i.Guid, &guid, sizeof guid) == 0) out.push_back(i.Name);
  return out;
}

std::vector<std::u16string> RegisteredInterfaces(const GUID& guid) {
  std::lock_guard<std::mutex> guard(g_lock);
  std::vector<std::u16string> out;
  for (const auto& [key, i] : g_interfaces)
    if (std::memcmp(&i.Guid, &guid, sizeof guid) == 0) out.push_back(i.Name);
  return out;
}

}  // namespace hk::io

using namespace hk;
using namespace hk::io;

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  if (CurrentThread().Irql != PASSIVE_LEVEL) verifier::Report("irql", "IoCreateSymbolicLink above PASSIVE_LEVEL");
  std::u16string link = rtl::ToU16(SymbolicLinkName);
  if (link.empty() || link.back() == u'\\') return STATUS_OBJECT_NAME_INVALID;
  return CreateLink(link, rtl::ToU16(DeviceName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  if (CurrentThread().Irql != PASSIVE_LEVEL) verifier::Report("irql", "IoDeleteSymbolicLink above PASSIVE_LEVEL");
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_names.find(Key(rtl::ToU16(SymbolicLinkName)));
  if (it == g_names.end() || !it->second.IsLink) return STATUS_OBJECT_NAME_NOT_FOUND;
  g_names.erase(it);
  return STATUS_SUCCESS;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  if (CurrentThread().Irql != PASSIVE_LEVEL)
    verifier::Report("irql", "IoRegisterDeviceInterface above PASSIVE_LEVEL");
  if (!IsLiveDevice(PhysicalDeviceObject) || !Record(PhysicalDeviceObject).IsPdo)
    return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string instance = Record(PhysicalDeviceObject).InstanceId;
  for (auto& c : instance)
    if (c == u'\\') c = u'#';
  std::u16string name = u"\\??\\" + instance + u"#" + GuidText(*InterfaceClassGuid);
  if (ReferenceString && ReferenceString->Length) name += u"\\" + rtl::ToU16(ReferenceString);
  size_t bytes = name.size() * sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), 0x72747355));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, name.data(), bytes);
  buffer[name.size()] = 0;
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = (USHORT)bytes;
  SymbolicLinkName->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
  std::lock_guard<std::mutex> guard(g_lock);
  auto key = Key(name);
  if (!g_interfaces.count(key)) g_interfaces[key] = {name, PhysicalDeviceObject, *InterfaceClassGuid, false};
  g_interfaces[key].Pdo = PhysicalDeviceObject;
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  if (CurrentThread().Irql != PASSIVE_LEVEL)
    verifier::Report("irql", "IoSetDeviceInterfaceState above PASSIVE_LEVEL");
  // Enabling makes the name and notifies its listeners, either of which can fail.
  if (Enable && faults::ShouldFail(faults::Resource::Interface, 0, __builtin_return_address(0))) return STATUS_INSUFFICIENT_RESOURCES;
  std::u16string name = rtl::ToU16(SymbolicLinkName);
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_interfaces.find(Key(name));
  if (it == g_interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  Interface& i = it->second;
  if (Enable) {
    if (i.Enabled) return (NTSTATUS)0x40000000L;  // STATUS_OBJECT_NAME_EXISTS
    i.Enabled = true;
    g_names[Key(name)] = {NormalizeName(name), nullptr, true,
                          IsLiveDevice(i.Pdo) ? Record(i.Pdo).Name : std::u16string()};
  } else {
    if (!i.Enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    i.Enabled = false;
    g_names.erase(Key(name));
  }
  return STATUS_SUCCESS;
}

}  // extern "C"
