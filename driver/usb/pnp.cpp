// Plug and Play requests: start (configuration, default settings, transfer resources, the two
// pipe threads), stop refused while the port is open, removal drained and torn down in order.
#include "../receive/receive.h"
#include "../serial/serial.h"
#include "../transmit/transmit.h"
#include "usb.h"

namespace {

NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN copy) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  if (copy) IoCopyCurrentIrpStackLocationToNext(Irp);
  else IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, Irp);
  IoDecrement(DeviceObject);
  return status;
}

NTSTATUS CompleteHere(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS status) {
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  IoDecrement(DeviceObject);
  return status;
}

// Nothing of the device's timers or DPCs may outlive it.
VOID CancelTimersAndDpcs(PDEVICE_EXTENSION extension) {
  KeCancelTimer(&extension->ReadTotalTimer);
  KeCancelTimer(&extension->ReadIntervalTimer);
  KeCancelTimer(&extension->WriteTotalTimer);
  KeCancelTimer(&extension->BulkInRetryTimer);
  KeRemoveQueueDpc(&extension->ReadTotalDpc);
  KeRemoveQueueDpc(&extension->ReadIntervalDpc);
  KeRemoveQueueDpc(&extension->WriteTotalDpc);
  KeRemoveQueueDpc(&extension->EventDpc);
  KeRemoveQueueDpc(&extension->BulkInRetryDpc);
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  NTSTATUS status = ForwardAndWait(extension, Irp, NotificationEvent, Suspended);
  if (NT_SUCCESS(status)) {
    status = ConfigureDevice(DeviceObject);
    ChangeDevicePower(DeviceObject, TRUE);
    SetDefaultSerialSettings(extension, TRUE);
    NTSTATUS resources = AllocateTransferResources(DeviceObject);
    if (NT_SUCCESS(status) && !NT_SUCCESS(resources)) {
      // A configured device without its transfer requests cannot be used: it refuses I/O.
      status = resources;
      extension->DeviceStarted = FALSE;
    }
    extension->ReaderThreadObject = NULL;
    extension->WriterThreadObject = NULL;
    NTSTATUS reader = StartReaderThread(DeviceObject);
    NTSTATUS writer = StartWriterThread(DeviceObject);
    if (NT_SUCCESS(status) && !NT_SUCCESS(reader)) status = reader;
    if (NT_SUCCESS(status) && !NT_SUCCESS(writer)) status = writer;
    if (!NT_SUCCESS(status)) extension->DeviceStarted = FALSE;
    extension->ModemStatus = 0;
    // A stop withdrew the COM name; a start after it gives it back, or programs that open the
    // port by name would lose it after every resource rebalance. Its failure leaves the port
    // reachable through its interface, as a missing PortName does at creation.
    if (NT_SUCCESS(status) && !extension->PortLinkCreated) CreatePortName(extension);
  }
  // The request is completed with the status it carries, and that is what is returned.
  return CompleteHere(DeviceObject, Irp, status);
}

NTSTATUS QueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  // Pending first, so that no transfer starts after the cancels below.
  WriteBooleanNoFence(&extension->RemovePending, TRUE);
  AbortCurrentRead(DeviceObject);
  AbortCurrentWrite(DeviceObject);
  CancelBulkInTransfer(extension);
  CancelBulkOutTransfer(extension);
  // Let every other counted dispatch routine leave first.
  IoDecrement(DeviceObject);
  KeWaitForSingleObject(&extension->DrainedEvent, Suspended, KernelMode, FALSE, NULL);
  IoIncrement(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(DeviceObject, Irp, TRUE);
}

// Under OpenLock, where an open claims the port before it asks the adapter: a port being opened
// counts as open.
BOOLEAN AcceptQueryStop(PDEVICE_EXTENSION extension) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->OpenLock, &irql);
  BOOLEAN accept = !ReadBooleanNoFence(&extension->DeviceOpen);
  if (accept) WriteBooleanNoFence(&extension->StopPending, TRUE);
  KeReleaseSpinLock(&extension->OpenLock, irql);
  return accept;
}

NTSTATUS CancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  WriteBooleanNoFence(&extension->RemovePending, FALSE);
  KIRQL irql;
  KeAcquireSpinLock(&extension->RxLock, &irql);
  if (extension->RxCount + TRANSFER_BUFFER_SIZE <= RX_BUFFER_SIZE && !ReadBooleanNoFence(&extension->DeviceRemoved) &&
      ReadBooleanNoFence(&extension->DeviceOpen)) {
    extension->BulkInActive = TRUE;
    KeSetEvent(&extension->BulkInEvent, 1, FALSE);
  }
  KeReleaseSpinLock(&extension->RxLock, irql);
  // The writer, stopped by the cancelled transfer, sends what is left.
  if (ReadBooleanNoFence(&extension->DeviceOpen) && extension->TxCount != 0) WakeWriter(extension);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(DeviceObject, Irp, TRUE);
}

NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  ChangeDevicePower(DeviceObject, FALSE);
  extension->IdlePowerState = PowerDeviceD0;
  Irp->IoStatus.Status = UnconfigureDevice(DeviceObject);
  RemovePortName(extension);
  StopReaderThread(DeviceObject);
  StopWriterThread(DeviceObject);
  return PassDown(DeviceObject, Irp, TRUE);
}

NTSTATUS SurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  IoDecrement(DeviceObject);
  WriteBooleanNoFence(&extension->DeviceRemoved, TRUE);
  KIRQL irql;
  KeAcquireSpinLock(&extension->RxLock, &irql);
  DiscardReceivedLocked(extension);
  KeReleaseSpinLock(&extension->RxLock, irql);
  KeAcquireSpinLock(&extension->TxLock, &irql);
  extension->TxCount = 0;
  extension->TxSourceIndex = 0;
  KeReleaseSpinLock(&extension->TxLock, irql);
  // The pending wait is cancelled before the lines are marked changed, so that an event DPC
  // already on its way cannot complete it with them instead; the next wait learns of them.
  CancelPendingWait(extension);
  extension->ModemStatus = 0;
  RecordEvents(extension, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING);
  CancelBulkInTransfer(extension);
  CancelBulkOutTransfer(extension);
  AbortCurrentRead(DeviceObject);
  AbortCurrentWrite(DeviceObject);
  extension->IdlePowerState = PowerDeviceD0;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, Irp);
  RemovePortName(extension);
  StopReaderThread(DeviceObject);
  StopWriterThread(DeviceObject);
  CancelTimersAndDpcs(extension);
  return status;
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  RemovePortName(extension);
  // Whatever an application still has pending ends now: the device is about to go.
  AbortCurrentRead(DeviceObject);
  AbortCurrentWrite(DeviceObject);
  CancelPendingWait(extension);
  StopReaderThread(DeviceObject);
  StopWriterThread(DeviceObject);
  CancelBulkInTransfer(extension);
  CancelBulkOutTransfer(extension);
  FreeTransferResources(DeviceObject);
  CancelTimersAndDpcs(extension);
  WriteBooleanNoFence(&extension->RemovePending, FALSE);
  ChangeDevicePower(DeviceObject, FALSE);
  extension->IdlePowerState = PowerDeviceD0;
  IoDecrement(DeviceObject);
  WriteBooleanNoFence(&extension->DeviceRemoved, TRUE);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoCopyCurrentIrpStackLocationToNext(Irp);
  NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, Irp);
  IoDecrement(DeviceObject);
  KeWaitForSingleObject(&extension->RemoveEvent, Suspended, KernelMode, FALSE, NULL);
  PDEVICE_OBJECT lower = extension->LowerDeviceObject;
  ReleaseDeviceResources(DeviceObject);
  IoDetachDevice(lower);
  IoDeleteDevice(DeviceObject);
  return status;
}

NTSTATUS FilterResourceRequirements(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PIO_RESOURCE_REQUIREMENTS_LIST list = stack->Parameters.FilterResourceRequirements.IoResourceRequirementList;
  NTSTATUS status = ForwardAndWait(extension, Irp, SynchronizationEvent, Executive);
  if (Irp->IoStatus.Information != 0) {
    status = STATUS_SUCCESS;
  } else if (list != NULL) {
    Irp->IoStatus.Information = (ULONG_PTR)list;
    status = STATUS_SUCCESS;
  }
  return CompleteHere(DeviceObject, Irp, status);
}

}  // namespace

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  IoIncrement(DeviceObject);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (!extension->DeviceStarted) return PassDown(DeviceObject, Irp, FALSE);
      return QueryRemove(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(DeviceObject, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (!extension->DeviceStarted) return PassDown(DeviceObject, Irp, FALSE);
      return CancelRemove(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
      return StopDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      if (!extension->DeviceStarted) return PassDown(DeviceObject, Irp, FALSE);
      if (!AcceptQueryStop(extension)) return CompleteHere(DeviceObject, Irp, STATUS_UNSUCCESSFUL);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(DeviceObject, Irp, TRUE);
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (!extension->DeviceStarted) return PassDown(DeviceObject, Irp, FALSE);
      WriteBooleanNoFence(&extension->StopPending, FALSE);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(DeviceObject, Irp, TRUE);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations && ReadBooleanNoFence(&extension->DeviceOpen))
        return CompleteHere(DeviceObject, Irp, STATUS_NOT_SUPPORTED);
      return PassDown(DeviceObject, Irp, FALSE);
    case IRP_MN_QUERY_CAPABILITIES:
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      // Answered here as they arrived; the result is the status they are completed with.
      return CompleteHere(DeviceObject, Irp, Irp->IoStatus.Status);
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
      return FilterResourceRequirements(DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
      return SurpriseRemoval(DeviceObject, Irp);
    default:
      return PassDown(DeviceObject, Irp, TRUE);
  }
}
