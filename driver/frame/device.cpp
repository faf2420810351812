// Device creation with every default, the I/O reference count, readiness, and a timer wait.
#include "../serial/serial.h"
#include "../usb/usb.h"
#include "frame.h"

namespace {

const WCHAR kDeviceNamePrefix[] = L"\\Device\\Vexon";
const USHORT kNameBufferSize = 258;

// Undoes what CreateDeviceObject made when a later step of adding the device fails.
void DeleteNewDevice(PDEVICE_OBJECT Fdo) {
  PDEVICE_EXTENSION extension = ExtensionOf(Fdo);
  ReleaseDeviceInterface(extension);
  if (extension->DeviceName.Buffer != NULL) {
    ExFreePool(extension->DeviceName.Buffer);
    extension->DeviceName.Buffer = NULL;
  }
  IoDeleteDevice(Fdo);
}

void InitializeDefaults(PDEVICE_EXTENSION extension) {
  extension->PipeTransferSize = 256;
  extension->RxQueueCapacity = 800000;
  extension->TxXonState = TRUE;
  extension->TxCredit = 256;
  extension->ModemControl = 0xA0;

  KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->DrainedEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->PowerRequestDoneEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->ReaderStopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->ReaderExitedEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->BulkInEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->ReadRequestEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->BulkInIdleEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->WriterExitedEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->WriterStopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->TxDataEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->TxCreditEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->BulkOutIdleEvent, NotificationEvent, FALSE);
  KeInitializeMutex(&extension->ControlUrbMutex, 2);

  KeInitializeSpinLock(&extension->TimeoutLock);
  KeInitializeSpinLock(&extension->OpenLock);
  KeInitializeSpinLock(&extension->BulkInLock);
  KeInitializeSpinLock(&extension->RxLock);
  KeInitializeSpinLock(&extension->EventLock);
  KeInitializeSpinLock(&extension->TxLock);
  KeInitializeSpinLock(&extension->BulkOutLock);
}

}  // namespace

NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PDEVICE_OBJECT* Fdo) {
  PWSTR nameBuffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, kNameBufferSize, ORVIX_POOL_TAG);
  if (nameBuffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(nameBuffer, kNameBufferSize);
  UNICODE_STRING name;
  name.Buffer = nameBuffer;
  name.Length = 0;
  name.MaximumLength = kNameBufferSize - sizeof(WCHAR);

  WCHAR numberBuffer[20];
  UNICODE_STRING number;
  number.Buffer = numberBuffer;
  number.Length = 0;
  number.MaximumLength = sizeof(numberBuffer);
  RtlAppendUnicodeToString(&name, kDeviceNamePrefix);
  RtlIntegerToUnicodeString(NextDeviceNumber, 10, &number);
  RtlAppendUnicodeStringToString(&name, &number);
  NextDeviceNumber++;

  PDEVICE_OBJECT fdo = NULL;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &name,
                                   FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE, &fdo);
  if (!NT_SUCCESS(status)) {
    ExFreePool(nameBuffer);
    return status;
  }

  PDEVICE_EXTENSION extension = ExtensionOf(fdo);
  RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));
  extension->FunctionalDeviceObject = fdo;
  extension->PhysicalDeviceObject = PhysicalDeviceObject;
  NTSTATUS interfaceStatus = RegisterDeviceInterface(extension);
  if (!NT_SUCCESS(interfaceStatus)) {
    ExFreePool(nameBuffer);
    ReleaseDeviceInterface(extension);
    IoDeleteDevice(fdo);
    return interfaceStatus;
  }

  USHORT size = (USHORT)(name.Length + sizeof(WCHAR));
  extension->DeviceName.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, size, ORVIX_POOL_TAG);
  if (extension->DeviceName.Buffer == NULL) {
    ExFreePool(nameBuffer);
    ReleaseDeviceInterface(extension);
    IoDeleteDevice(fdo);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  extension->DeviceName.MaximumLength = size;
  extension->DeviceName.Length = 0;
  RtlZeroMemory(extension->DeviceName.Buffer, size);
  RtlCopyUnicodeString(&extension->DeviceName, &name);

  InitializeDefaults(extension);
  ExFreePool(nameBuffer);
  *Fdo = fdo;
  return interfaceStatus;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT fdo = NULL;
  NTSTATUS status = CreateDeviceObject(DriverObject, PhysicalDeviceObject, &fdo);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_EXTENSION extension = ExtensionOf(fdo);

  extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
  if (extension->LowerDeviceObject == NULL) {
    DeleteNewDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }

  QueryCapabilities(extension->LowerDeviceObject, &extension->Capabilities);

  // The last sleeping state the device can follow in D1 or D2 sets the idle state.
  extension->IdlePowerState = PowerDeviceUnspecified;
  for (int state = PowerSystemSleeping1; state <= PowerSystemSleeping3; ++state) {
    if (extension->Capabilities.DeviceState[state] < PowerDeviceD3)
      extension->IdlePowerState = extension->Capabilities.DeviceState[state];
  }

  fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;

  IoIncrement(fdo);

  status = CreatePortName(extension);
  if (NT_SUCCESS(status)) return status;
  IoDetachDevice(extension->LowerDeviceObject);
  DeleteNewDevice(fdo);
  return status;
}

VOID IoIncrement(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  if (InterlockedIncrement(&extension->IoCount) == 2) KeClearEvent(&extension->DrainedEvent);
}

LONG IoDecrement(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  LONG count = InterlockedDecrement(&extension->IoCount);
  if (count == 1) KeSetEvent(&extension->DrainedEvent, 1, FALSE);
  if (count == 0) KeSetEvent(&extension->RemoveEvent, 1, FALSE);
  return count;
}

BOOLEAN DeviceIsReady(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  // Flags of other contexts, each tested again under the lock of whatever it guards.
  return !ReadBooleanNoFence(&extension->DeviceRemoved) && !ReadBooleanNoFence(&extension->PortClosed) &&
         ReadBooleanNoFence(&extension->DeviceStarted) && !ReadBooleanNoFence(&extension->RemovePending) &&
         !ReadBooleanNoFence(&extension->StopPending);
}

VOID DelayOnTimer(PKTIMER Timer, LARGE_INTEGER DueTime) {
  KeSetTimer(Timer, DueTime, NULL);
  KeWaitForSingleObject(Timer, Executive, KernelMode, FALSE, NULL);
}
