#include "bus.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "../io/io_manager.h"
#include "../kernel/faults.h"
#include "../kernel/verifier.h"
#include "../rtl/strings.h"
#include "host_controller.h"

namespace hk::usb {
namespace {

struct PdoExtension {
  std::shared_ptr<usb::Function> Device;
  std::unique_ptr<HostController> Controller;
  pnp::DeviceNode* Node = nullptr;
  DEVICE_POWER_STATE Power = PowerDeviceD0;
  bool Removed = false;
  // What the PDO was asked, and the device power requests it holds; under g_recordLock.
  std::vector<PowerRequestSeen> PowerSeen;
  std::vector<UCHAR> PnpSeen;
  bool HoldPower = false;
  std::vector<PIRP> HeldPower;
};

DRIVER_OBJECT g_bus{};
DRIVER_EXTENSION g_busExtension{};
std::u16string g_busName = u"\\Driver\\usbhub";
std::mutex g_lock;
unsigned g_ports = 0;
DEVICE_CAPABILITIES g_capabilities;
std::vector<std::function<void(HostController&)>> g_controllerHooks;  // under g_lock
std::set<HostController*> g_controllers;  // of devices not yet removed, under g_lock

std::mutex g_recordLock;

PdoExtension* Ext(PDEVICE_OBJECT pdo) { return static_cast<PdoExtension*>(pdo->DeviceExtension); }

PdoExtension* LiveExt(pnp::DeviceNode* node) {
  if (!node || !io::IsLiveDevice(node->Pdo)) return nullptr;
  return Ext(node->Pdo);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Completes held device power requests; `apply`: the device takes the state it was asked for.
void CompleteHeldPower(PDEVICE_OBJECT pdo, NTSTATUS status, bool apply) {
  std::vector<PIRP> held;
  {
    std::lock_guard<std::mutex> guard(g_recordLock);
    held.swap(Ext(pdo)->HeldPower);
  }
  for (PIRP irp : held) {
    if (apply) {
      Ext(pdo)->Power = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
      Ext(pdo)->Device->PowerChanged(Ext(pdo)->Power);
    }
    Complete(irp, status);
  }
}

NTSTATUS PdoPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  {
    std::lock_guard<std::mutex> guard(g_recordLock);
    Ext(pdo)->PnpSeen.push_back(sp->MinorFunction);
  }
  NTSTATUS injected = faults::PnpFailure(sp->MinorFunction);
  if (!NT_SUCCESS(injected)) {
    PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
    if (sp->MinorFunction == IRP_MN_QUERY_CAPABILITIES && caps && caps->Size >= sizeof(DEVICE_CAPABILITIES)) {
      USHORT size = caps->Size, version = caps->Version;
      std::memset(caps, 0xA5, sizeof(DEVICE_CAPABILITIES));
      caps->Size = size;
      caps->Version = version;
    }
    return Complete(irp, injected);
  }
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      CompleteHeldPower(pdo, STATUS_DEVICE_NOT_CONNECTED, false);
      Ext(pdo)->Controller->Detach();
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
      if (!caps || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
        return Complete(irp, STATUS_UNSUCCESSFUL);
      DEVICE_CAPABILITIES filled = g_capabilities;
      filled.Size = caps->Size;
      filled.Version = caps->Version;
      *caps = filled;
      return Complete(irp, STATUS_SUCCESS);
    }
    default: {
      // Requests the bus has nothing to say about keep the status they arrived with.
      NTSTATUS status = irp->IoStatus.Status;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
  }
}

NTSTATUS PdoPower(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  {
    std::lock_guard<std::mutex> guard(g_recordLock);
    PowerRequestSeen seen{sp->MinorFunction, sp->Parameters.Power.Type, sp->Parameters.Power.State};
    if (sp->MinorFunction == IRP_MN_WAIT_WAKE) {
      seen.Type = SystemPowerState;
      seen.State.SystemState = sp->Parameters.WaitWake.PowerState;
    }
    Ext(pdo)->PowerSeen.push_back(seen);
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState &&
        Ext(pdo)->HoldPower) {
      IoMarkIrpPending(irp);
      Ext(pdo)->HeldPower.push_back(irp);
      return STATUS_PENDING;
    }
  }
  switch (sp->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (sp->Parameters.Power.Type == DevicePowerState) {
        Ext(pdo)->Power = sp->Parameters.Power.State.DeviceState;
        Ext(pdo)->Device->PowerChanged(Ext(pdo)->Power);
      }
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE:
      return Ext(pdo)->Controller->ArmWake(irp);
    default: {
      NTSTATUS status = irp->IoStatus.Status;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
  }
}

NTSTATUS PdoInternalControl(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  return Ext(pdo)->Controller->Submit(irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
}

NTSTATUS PdoPassThrough(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PdoInvalid(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_INVALID_DEVICE_REQUEST); }

}  // namespace

DEVICE_CAPABILITIES DefaultCapabilities() {
  DEVICE_CAPABILITIES c{};
  c.Size = sizeof c;
  c.Version = 1;
  c.DeviceD2 = 1;
  c.Removable = 1;
  c.UniqueID = 1;
  c.SurpriseRemovalOK = 1;
  c.WakeFromD2 = 1;
  c.Address = 1;
  c.UINumber = 0xFFFFFFFF;
  c.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
  c.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  c.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
  c.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
  c.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
  c.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  c.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  c.SystemWake = PowerSystemSleeping3;
  c.DeviceWake = PowerDeviceD2;
  return c;
}

void SetCapabilities(const DEVICE_CAPABILITIES& capabilities) { g_capabilities = capabilities; }

std::vector<PowerRequestSeen> PowerRequestsSeen(pnp::DeviceNode* node) {
  std::lock_guard<std::mutex> guard(g_recordLock);
  PdoExtension* ext = LiveExt(node);
  return ext ? ext->PowerSeen : std::vector<PowerRequestSeen>{};
}

std::vector<UCHAR> PnpRequestsSeen(pnp::DeviceNode* node) {
  std::lock_guard<std::mutex> guard(g_recordLock);
  PdoExtension* ext = LiveExt(node);
  return ext ? ext->PnpSeen : std::vector<UCHAR>{};
}

void HoldDevicePowerRequests(pnp::DeviceNode* node, bool hold) {
  std::lock_guard<std::mutex> guard(g_recordLock);
  if (PdoExtension* ext = LiveExt(node)) ext->HoldPower = hold;
}

size_t HeldDevicePowerRequests(pnp::DeviceNode* node) {
  std::lock_guard<std::mutex> guard(g_recordLock);
  PdoExtension* ext = LiveExt(node);
  return ext ? ext->HeldPower.size() : 0;
}

void ReleaseDevicePowerRequests(pnp::DeviceNode* node, NTSTATUS status) {
  if (LiveExt(node)) CompleteHeldPower(node->Pdo, status, true);
}

DEVICE_POWER_STATE PdoPowerState(pnp::DeviceNode* node) {
  PdoExtension* ext = LiveExt(node);
  return ext ? ext->Power : PowerDeviceUnspecified;
}

HostController* ControllerOf(pnp::DeviceNode* node) {
  if (!node || !io::IsLiveDevice(node->Pdo)) return nullptr;
  return Ext(node->Pdo)->Controller.get();
}

void OnControllerCreated(std::function<void(HostController&)> hook) {
  std::lock_guard<std::mutex> guard(g_lock);
  for (HostController* controller : g_controllers) hook(*controller);
  g_controllerHooks.push_back(std::move(hook));
}

void Start() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_bus = DRIVER_OBJECT{};
  g_busExtension = DRIVER_EXTENSION{};
  g_bus.Type = 4;
  g_bus.Size = sizeof g_bus;
  g_bus.DriverExtension = &g_busExtension;
  g_busExtension.DriverObject = &g_bus;
  g_bus.DriverName.Buffer = (PWSTR)g_busName.data();
  g_bus.DriverName.Length = (USHORT)(g_busName.size() * 2);
  g_bus.DriverName.MaximumLength = g_bus.DriverName.Length;
  for (auto& f : g_bus.MajorFunction) f = PdoInvalid;
  g_bus.MajorFunction[IRP_MJ_PNP] = PdoPnp;
  g_bus.MajorFunction[IRP_MJ_POWER] = PdoPower;
  g_bus.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PdoInternalControl;
  g_bus.MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PdoPassThrough;
  g_ports = 0;
  g_capabilities = DefaultCapabilities();
}

void Shutdown() {}

PDRIVER_OBJECT BusDriver() { return &g_bus; }

pnp::DeviceNode* PlugIn(std::shared_ptr<Function> function) {
  PDEVICE_OBJECT pdo = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(&g_bus, sizeof(PdoExtension), nullptr, FILE_DEVICE_USB,
                                 FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo)))
    return nullptr;
  auto* ext = new (pdo->DeviceExtension) PdoExtension;
  ext->Device = function;
  ext->Controller = std::make_unique<HostController>(function);
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  pdo->Flags |= DO_POWER_PAGABLE;
  char ids[64];
  std::snprintf(ids, sizeof ids, "USB\\Vid_%04X&Pid_%04X", function->VendorId(), function->ProductId());
  std::u16string hardwareId = rtl::FromAscii(ids);
  unsigned port;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    port = ++g_ports;
    g_controllers.insert(ext->Controller.get());
    for (auto& hook : g_controllerHooks) hook(*ext->Controller);
  }
  std::u16string serial = function->SerialNumber();
  if (serial.empty()) serial = rtl::FromAscii("5&1F2E3D4C&0&" + std::to_string(port));
  std::u16string instance = rtl::Upper(hardwareId) + u"\\" + serial;
  auto& record = io::Record(pdo);
  record.IsPdo = true;
  record.InstanceId = instance;
  record.BusContext = ext;
  std::u16string revision = hardwareId + u"&Rev_0100";
  pnp::DeviceNode* node = pnp::DeviceArrived(pdo, instance, {revision, hardwareId}, [pdo] {
    PdoExtension* e = Ext(pdo);
    {
      std::lock_guard<std::mutex> guard(g_lock);
      g_controllers.erase(e->Controller.get());
    }
    e->Controller->Detach();
    e->Controller.reset();
    e->~PdoExtension();
    IoDeleteDevice(pdo);
  });
  // A device that failed to start was removed again on arrival, and its PDO is gone.
  if (io::IsLiveDevice(pdo)) ext->Node = node;
  return node;
}

void Unplug(pnp::DeviceNode* node) {
  if (io::IsLiveDevice(node->Pdo)) Ext(node->Pdo)->Controller->Detach();
  pnp::SurpriseRemove(node);
}

}  // namespace hk::usb
