// The Plug and Play manager: loads the function driver, installs a new device (the Ports class
// installer's COM name), calls AddDevice and sends the start, stop and removal sequences down
// the device stack. Every sequence runs at PASSIVE_LEVEL in the caller's thread, except the
// removal that follows a surprise removal, which waits for the last handle to close.
#pragma once
#include <hostddk/ddk.h>

#include <functional>
#include <string>
#include <vector>

namespace hk::pnp {

struct DriverImage {
  std::u16string Name;  // service name, e.g. u"Orvix"
  PDRIVER_INITIALIZE Entry;
};

// RemovePending: a query-remove was accepted while handles were open; REMOVE_DEVICE follows
// the close of the last one.
enum class DeviceState { Added, Started, StartFailed, AddFailed, Stopped, SurpriseRemoved, RemovePending, Removed };

struct DeviceNode {
  std::u16string InstanceId;
  std::vector<std::u16string> HardwareIds;
  PDEVICE_OBJECT Pdo = nullptr;
  DeviceState State = DeviceState::Added;
  NTSTATUS LastStatus = STATUS_SUCCESS;  // of the last sequence
  bool RemoveWhenClosed = false;
  std::function<void()> OnRemoved;       // the bus deletes its PDO
};

void Start();  // called by the machine with the kernel
void Shutdown();

void RegisterDriver(const std::u16string& hardwareId, DriverImage image);
PDRIVER_OBJECT LoadedDriver(const std::u16string& service);  // null when not loaded

// COM names the Ports class installer treats as taken (built-in ports). Default COM1-COM4.
void ReserveComNames(std::vector<int> numbers);

// A bus reports a new device: installs it if new, loads its driver, AddDevice, START_DEVICE.
DeviceNode* DeviceArrived(PDEVICE_OBJECT pdo, const std::u16string& instanceId,
                          const std::vector<std::u16string>& hardwareIds,
                          std::function<void()> onRemoved);
// The device disappeared: SURPRISE_REMOVAL now, REMOVE_DEVICE once no handle is open.
void SurpriseRemove(DeviceNode* node);
// Orderly removal: QUERY_REMOVE, then REMOVE_DEVICE (once no handle is open) or CANCEL_REMOVE.
// Returns the query status.
NTSTATUS QueryRemoveAndRemove(DeviceNode* node);
NTSTATUS QueryRemoveThenCancel(DeviceNode* node);
// Rebalance: QUERY_STOP, then STOP_DEVICE and START_DEVICE again, or CANCEL_STOP.
NTSTATUS StopAndRestart(DeviceNode* node);
NTSTATUS QueryStopThenCancel(DeviceNode* node);
// A single PnP request to the top of the stack; returns its final status.
NTSTATUS SendPnp(DeviceNode* node, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> setup = {});
// Called by the application layer when a handle to a device in `node`'s stack was closed.
void FileClosed(PDEVICE_OBJECT stackDevice);

std::u16string HardwareKey(const std::u16string& instanceId);  // ...\Enum\<id>\Device Parameters
void FailDeviceKeyOpen(bool fail);
// Test hooks: leave PortName unwritten for new devices; stop after AddDevice without starting.
void SkipPortInstallation(bool skip);
void SetAutoStart(bool start);
std::vector<DeviceNode*> Nodes();

// Counts of open handles by the application layer, per device stack (set by app).
void SetOpenFileCounter(std::function<int(PDEVICE_OBJECT top)> counter);

}  // namespace hk::pnp
