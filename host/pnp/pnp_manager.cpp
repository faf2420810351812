#include "pnp_manager.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "../io/io_manager.h"
#include "../kernel/handles.h"
#include "../kernel/irql.h"
#include "../kernel/pool.h"
#include "../kernel/thread_state.h"
#include "../kernel/threads.h"
#include "../kernel/verifier.h"
#include "../kernel/worker.h"
#include "../registry/registry.h"
#include "../rtl/strings.h"

namespace hk::pnp {
namespace {

struct LoadedImage {
  DriverImage Image;
  PDRIVER_OBJECT Object = nullptr;
  DRIVER_EXTENSION Extension{};
  std::u16string NameBuffer;
  std::u16string RegistryPathBuffer;
  UNICODE_STRING RegistryPath{};
};

sched::RecursiveMutex g_lock;
std::map<std::u16string, DriverImage> g_drivers;        // by upper-case hardware id
std::map<std::u16string, std::unique_ptr<LoadedImage>> g_loaded;  // by service name
std::vector<std::unique_ptr<DeviceNode>> g_nodes;
std::set<int> g_reservedCom = {1, 2, 3, 4};
std::set<int> g_assignedCom;
bool g_failDeviceKey = false;
bool g_skipInstall = false;
bool g_autoStart = true;
std::function<int(PDEVICE_OBJECT)> g_openFiles;

UNICODE_STRING Counted(std::u16string& text) {
  UNICODE_STRING s;
  s.Buffer = (PWSTR)text.data();
  s.Length = (USHORT)(text.size() * 2);
  s.MaximumLength = (USHORT)(text.size() * 2 + 2);
  return s;
}

// What the Ports class installer does for a new port: the first free COM number.
void InstallPort(const std::u16string& instanceId) {
  std::u16string key = HardwareKey(instanceId);
  if (g_skipInstall || registry::GetValue(key, u"PortName")) return;
  int n = 1;
  while (g_reservedCom.count(n) || g_assignedCom.count(n)) ++n;
  g_assignedCom.insert(n);
  registry::SetString(key, u"PortName", rtl::FromAscii("COM" + std::to_string(n)));
}

LoadedImage* Load(const DriverImage& image) {
  auto found = g_loaded.find(image.Name);
  if (found != g_loaded.end()) return found->second.get();
  auto loaded = std::make_unique<LoadedImage>();
  loaded->Image = image;
  auto* object = new DRIVER_OBJECT{};
  object->Type = 4;
  object->Size = sizeof(DRIVER_OBJECT);
  loaded->NameBuffer = u"\\Driver\\" + image.Name;
  object->DriverName = Counted(loaded->NameBuffer);
  loaded->Extension.DriverObject = object;
  object->DriverExtension = &loaded->Extension;
  object->DriverInit = image.Entry;
  loaded->RegistryPathBuffer = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + image.Name;
  loaded->RegistryPath = Counted(loaded->RegistryPathBuffer);
  NTSTATUS status = image.Entry(object, &loaded->RegistryPath);
  if (!NT_SUCCESS(status)) {
    delete object;
    return nullptr;
  }
  loaded->Object = object;
  LoadedImage* result = loaded.get();
  g_loaded[image.Name] = std::move(loaded);
  return result;
}

// After the last device of a driver is gone the driver is unloaded, and everything it
// allocated must have been given back.
void UnloadIfUnused(LoadedImage* image) {
  if (!image || !image->Object || image->Object->DeviceObject) return;
  if (image->Object->DriverUnload) image->Object->DriverUnload(image->Object);
  auto live = pool::Live();
  if (!live.empty())
    verifier::Report("pool-leak", rtl::ToAscii(image->Image.Name) + " unloaded with " +
                                      std::to_string(live.size()) + " pool allocation(s) live:\n" +
                                      pool::Describe(live));
  auto handles = handles::Describe();
  for (const auto& h : handles)
    verifier::Report("handle-leak", rtl::ToAscii(image->Image.Name) + " unloaded with a " + h + " open");
  threads::Reap();
  for (const auto& t : threads::Running())
    verifier::Report("thread-leak", rtl::ToAscii(image->Image.Name) + " unloaded while its " + t + " still runs");
  delete image->Object;
  g_loaded.erase(image->Image.Name);
}

LoadedImage* ImageFor(DeviceNode* node) {
  for (const auto& id : node->HardwareIds) {
    auto it = g_drivers.find(rtl::Upper(id));
    if (it != g_drivers.end()) {
      auto loaded = g_loaded.find(it->second.Name);
      return loaded == g_loaded.end() ? nullptr : loaded->second.get();
    }
  }
  return nullptr;
}

PDEVICE_OBJECT Top(DeviceNode* node) { return io::TopOfStack(node->Pdo); }

void FinishRemoval(DeviceNode* node) {
  LoadedImage* image = ImageFor(node);
  node->LastStatus = SendPnp(node, IRP_MN_REMOVE_DEVICE);
  node->State = DeviceState::Removed;
  if (node->OnRemoved) node->OnRemoved();
  UnloadIfUnused(image);
}

}  // namespace

void Start() {
  std::lock_guard<sched::RecursiveMutex> guard(g_lock);
  g_nodes.clear();
  g_assignedCom.clear();
  g_failDeviceKey = false;
  g_skipInstall = false;
  g_autoStart = true;
}

void Shutdown() {
  std::vector<DeviceNode*> live;
  {
    std::lock_guard<sched::RecursiveMutex> guard(g_lock);
    // A device whose start failed at arrival was removed then, although it keeps that state.
    for (auto& n : g_nodes)
      if (n->State != DeviceState::Removed && io::IsLiveDevice(n->Pdo)) live.push_back(n.get());
  }
  for (DeviceNode* node : live) {
    if (node->State == DeviceState::SurpriseRemoved || node->State == DeviceState::RemovePending) {
      node->RemoveWhenClosed = false;
      FinishRemoval(node);
    } else {
      SurpriseRemove(node);
      if (node->State != DeviceState::Removed) {
        node->RemoveWhenClosed = false;
        FinishRemoval(node);
      }
    }
  }
  std::lock_guard<sched::RecursiveMutex> guard(g_lock);
  while (!g_loaded.empty()) {
    LoadedImage* image = g_loaded.begin()->second.get();
    if (image->Object->DeviceObject) {
      verifier::Report("device", "the machine shut down with device objects of " +
                                     rtl::ToAscii(image->Image.Name) + " never deleted");
      g_loaded.erase(g_loaded.begin());
      continue;
    }
    UnloadIfUnused(image);
  }
}

void RegisterDriver(const std::u16string& hardwareId, DriverImage image) {
  std::lock_guard<sched::RecursiveMutex> guard(g_lock);
  g_drivers[rtl::Upper(hardwareId)] = std::move(image);
}

PDRIVER_OBJECT LoadedDriver(const std::u16string& service) {
  std::lock_guard<sched::RecursiveMutex> guard(g_lock);
  auto it = g_loaded.find(service);
  return it == g_loaded.end() ? nullptr : it->second->Object;
}

void ReserveComNames(std::vector<int> numbers) {
  std::lock_guard<sched::RecursiveMutex> guard(g_lock);
  g_reservedCom = std::set<int>(numbers.begin(), numbers.end());
}

std::u16string HardwareKey(const std::u16string& instanceId) {
  return registry::kEnum + u"\\" + instanceId + u"\\Device Parameters";
}

void FailDeviceKeyOpen(bool fail) { g_failDeviceKey = fail; }
void SkipPortInstallation(bool skip) { g_skipInstall = skip; }
void SetAutoStart(bool start) { g_autoStart = start; }

std::vector<DeviceNode*> Nodes() {
  std::lock_guard<sched::RecursiveMutex> guard(g_lock);
  std::vector<DeviceNode*> out;
  for (auto& n : g_nodes) out.push_back(n.get());
  return out;
}

void SetOpenFileCounter(std::function<int(PDEVICE_OBJECT)> counter) { g_openFiles = std::move(counter); }

NTSTATUS SendPnp(DeviceNode* node, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> setup) {
  PDEVICE_OBJECT top = Top(node);
  PIRP irp = io::AllocateSystemIrp(top->StackSize, nullptr);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = minor;
  if (setup) setup(next);
  // Plug and Play requests start out "not supported"; a driver that handles one says so.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  return io::SendAndWait(top, irp);
}

DeviceNode* DeviceArrived(PDEVICE_OBJECT pdo, const std::u16string& instanceId,
                          const std::vector<std::u16string>& hardwareIds,
                          std::function<void()> onRemoved) {
  std::lock_guard<sched::RecursiveMutex> guard(g_lock);
  auto node = std::make_unique<DeviceNode>();
  node->InstanceId = instanceId;
  node->HardwareIds = hardwareIds;
  node->Pdo = pdo;
  node->OnRemoved = std::move(onRemoved);
  DeviceNode* n = node.get();
  g_nodes.push_back(std::move(node));
  std::u16string ids;
  for (const auto& id : hardwareIds) ids += id + u'\0';
  ids += u'\0';
  registry::SetValue(registry::kEnum + u"\\" + instanceId, u"HardwareID", REG_MULTI_SZ, ids.data(),
                     ids.size() * sizeof(char16_t));
  const DriverImage* image = nullptr;
  for (const auto& id : hardwareIds) {
    auto it = g_drivers.find(rtl::Upper(id));
    if (it != g_drivers.end()) {
      image = &it->second;
      break;
    }
  }
  if (!image) {
    n->State = DeviceState::AddFailed;
    n->LastStatus = STATUS_NO_SUCH_DEVICE;
    return n;
  }
  InstallPort(instanceId);
  LoadedImage* loaded = Load(*image);
  if (!loaded) {
    n->State = DeviceState::AddFailed;
    n->LastStatus = STATUS_UNSUCCESSFUL;
    return n;
  }
  NTSTATUS status = loaded->Object->DriverExtension->AddDevice(loaded->Object, pdo);
  if (!NT_SUCCESS(status)) {
    n->State = DeviceState::AddFailed;
    n->LastStatus = status;
    if (io::TopOfStack(pdo) != pdo)
      verifier::Report("device", "AddDevice failed but left a device attached to the stack");
    UnloadIfUnused(loaded);
    return n;
  }
  if (Top(n)->Flags & DO_DEVICE_INITIALIZING)
    verifier::Report("device", "AddDevice returned without clearing DO_DEVICE_INITIALIZING");
  if (!g_autoStart) return n;
  status = SendPnp(n, IRP_MN_START_DEVICE);
  n->LastStatus = status;
  if (NT_SUCCESS(status)) {
    n->State = DeviceState::Started;
  } else {
    // A device that fails to start is removed again, as Windows does; the node keeps the
    // status its start failed with.
    FinishRemoval(n);
    n->State = DeviceState::StartFailed;
    n->LastStatus = status;
  }
  return n;
}

void SurpriseRemove(DeviceNode* node) {
  std::lock_guard<sched::RecursiveMutex> guard(g_lock);
  // A device whose restart failed is still there (stopped) and goes like any other.
  bool restartFailed = node->State == DeviceState::StartFailed && io::IsLiveDevice(node->Pdo);
  if (node->State == DeviceState::Removed || node->State == DeviceState::AddFailed ||
      (node->State == DeviceState::StartFailed && !restartFailed)) {
    if (node->State == DeviceState::AddFailed && node->OnRemoved) {
      node->OnRemoved();
      node->OnRemoved = nullptr;
      node->State = DeviceState::Removed;
    }
    return;
  }
  node->LastStatus = SendPnp(node, IRP_MN_SURPRISE_REMOVAL);
  node->State = DeviceState::SurpriseRemoved;
  int open = g_openFiles ? g_openFiles(Top(node)) : 0;
  if (open == 0) FinishRemoval(node);
  else node->RemoveWhenClosed = true;
}

NTSTATUS QueryRemoveAndRemove(DeviceNode* node) {
  std::lock_guard<sched::RecursiveMutex> guard(g_lock);
  NTSTATUS status = SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
  if (!NT_SUCCESS(status)) {
    SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
    return status;
  }
  // The driver has given up the device, but files opened on it must be closed first.
  int open = g_openFiles ? g_openFiles(Top(node)) : 0;
  if (open == 0) {
    FinishRemoval(node);
  } else {
    node->State = DeviceState::RemovePending;
    node->RemoveWhenClosed = true;
  }
  return status;
}

NTSTATUS QueryRemoveThenCancel(DeviceNode* node) {
  std::lock_guard<sched::RecursiveMutex> guard(g_lock);
  NTSTATUS status = SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
  SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
  return status;
}

NTSTATUS StopAndRestart(DeviceNode* node) {
  std::lock_guard<sched::RecursiveMutex> guard(g_lock);
  NTSTATUS status = SendPnp(node, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(status)) {
    SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
  }
  SendPnp(node, IRP_MN_STOP_DEVICE);
  node->State = DeviceState::Stopped;
  NTSTATUS start = SendPnp(node, IRP_MN_START_DEVICE);
  node->LastStatus = start;
  node->State = NT_SUCCESS(start) ? DeviceState::Started : DeviceState::StartFailed;
  return status;
}

NTSTATUS QueryStopThenCancel(DeviceNode* node) {
  std::lock_guard<sched::RecursiveMutex> guard(g_lock);
  NTSTATUS status = SendPnp(node, IRP_MN_QUERY_STOP_DEVICE);
  SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE);
  return status;
}

void FileClosed(PDEVICE_OBJECT stackDevice) {
  std::lock_guard<sched::RecursiveMutex> guard(g_lock);
  for (auto& n : g_nodes) {
    if (!n->RemoveWhenClosed) continue;
    if (n->State != DeviceState::SurpriseRemoved && n->State != DeviceState::RemovePending) continue;
    if (!io::IsLiveDevice(n->Pdo) || Top(n.get()) != stackDevice) continue;
    if (g_openFiles && g_openFiles(stackDevice) > 0) continue;
    n->RemoveWhenClosed = false;
    DeviceNode* node = n.get();
    worker::Post(worker::Queue::Pnp, [node] {
      std::lock_guard<sched::RecursiveMutex> g(g_lock);
      FinishRemoval(node);
    });
  }
}

}  // namespace hk::pnp

using namespace hk;

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                            ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  (void)DesiredAccess;
  if (CurrentThread().Irql != PASSIVE_LEVEL)
    verifier::Report("irql", "IoOpenDeviceRegistryKey above PASSIVE_LEVEL");
  if (!io::IsLiveDevice(DeviceObject) || !io::Record(DeviceObject).IsPdo)
    return STATUS_INVALID_DEVICE_REQUEST;
  if (pnp::g_failDeviceKey) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::u16string instance = io::Record(DeviceObject).InstanceId;
  std::u16string key = DevInstKeyType == PLUGPLAY_REGKEY_DEVICE
                           ? pnp::HardwareKey(instance)
                           : u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
                             u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0000";
  HANDLE h = registry::OpenKey(key, true);
  if (!h) return STATUS_OBJECT_NAME_NOT_FOUND;
  *DevInstRegKey = h;
  return STATUS_SUCCESS;
}
