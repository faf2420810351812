// The I/O manager's own records: devices, their names and stacks, the IRPs in flight, and the
// IRPs it issues itself (application requests, Plug and Play and power requests).
#pragma once
#include <hostddk/ddk.h>

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace hk::io {

// Kept in DEVICE_OBJECT::DeviceObjectExtension.
struct DeviceRecord {
  std::u16string Name;
  size_t ExtensionSize = 0;
  PDEVICE_OBJECT Lower = nullptr;          // the device this one is attached to
  std::multiset<PIRP> Owned;               // IRPs dispatched here and not yet completed past it
  bool Deleted = false;
  // Physical device objects made by a bus driver.
  bool IsPdo = false;
  std::u16string InstanceId;               // e.g. USB\VID_7A3C&PID_0003\5&1F2E3D4C&0&1
  void* BusContext = nullptr;
};

enum class Origin { Allocated, Threaded, System };

std::mutex& Lock();
DeviceRecord& Record(PDEVICE_OBJECT device);
bool IsLiveDevice(PDEVICE_OBJECT device);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

// Object namespace.
std::u16string NormalizeName(const std::u16string& name);  // "\??\" becomes "\DosDevices\"
PDEVICE_OBJECT ResolveName(const std::u16string& name);    // follows symbolic links
bool LinkExists(const std::u16string& name);
std::u16string LinkTarget(const std::u16string& name);
std::vector<std::u16string> LinksTo(const std::u16string& deviceName);
bool CreateLink(const std::u16string& link, const std::u16string& target);

// Device interfaces.
std::vector<std::u16string> EnabledInterfaces(const GUID& guid);
std::vector<std::u16string> RegisteredInterfaces(const GUID& guid);
std::u16string GuidText(const GUID& guid);

// IRPs the I/O manager issues itself. `onFinal` runs when completion reaches the top.
PIRP AllocateSystemIrp(CCHAR stackSize, std::function<void(PIRP)> onFinal);
// Sends a system IRP to `device` and waits for its final completion; returns the final status.
NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp);
std::vector<std::string> LiveIrps();  // IRPs not yet freed
// Keeps an IRP's memory valid (for example across IoCancelIrp by an application).
void ReferenceIrp(PIRP irp);
void DereferenceIrp(PIRP irp);
bool IrpCompleted(PIRP irp);
void FailNextAttach();
void FreeQuarantine();
// Frees what the I/O manager kept of deleted devices and freed IRPs (at machine shutdown).
void Reset();

}  // namespace hk::io
