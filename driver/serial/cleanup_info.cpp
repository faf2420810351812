// Clean-up of a closing handle, the file-information requests every opened device is asked,
// and the internal serial requests by which drivers stacked on the port impose and restore
// basic settings.
#include "../receive/receive.h"
#include "../transmit/transmit.h"
#include "serial.h"

namespace {

// TimeoutLock is held across the whole apply, including the modem-control words that the new
// handshaking may queue (TimeoutLock before TxLock).
VOID ApplyBasicSettings(PDEVICE_OBJECT DeviceObject, const SERIAL_BASIC_SETTINGS* settings) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&extension->TimeoutLock, &irql);
  extension->Timeouts = settings->Timeouts;
  SetReadTimeoutState(extension, &extension->Timeouts);
  ApplyHandflow(DeviceObject, &settings->HandFlow);
  KeReleaseSpinLock(&extension->TimeoutLock, irql);
}

}  // namespace

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoIncrement(DeviceObject);
  // Another thread's request may still reach the driver after the handle is gone; it must not
  // pend, or it would hold back the close and keep the port from being opened again. Set before
  // the aborts, whose locks the requests test it under.
  WriteBooleanNoFence(&ExtensionOf(DeviceObject)->CleanedUp, TRUE);
  AbortCurrentRead(DeviceObject);
  AbortCurrentWrite(DeviceObject);
  CancelPendingWait(ExtensionOf(DeviceObject));
  CompleteRequest(Irp, STATUS_SUCCESS, 0);
  IoDecrement(DeviceObject);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!DeviceIsReady(DeviceObject)) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileStandardInformation:
      RtlZeroMemory(buffer, sizeof(FILE_STANDARD_INFORMATION));
      return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(FILE_STANDARD_INFORMATION));
    case FilePositionInformation:
      RtlZeroMemory(buffer, sizeof(FILE_POSITION_INFORMATION));
      return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(FILE_POSITION_INFORMATION));
    default:
      return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  }
}

NTSTATUS NTAPI DispatchSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!DeviceIsReady(DeviceObject)) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  FILE_INFORMATION_CLASS type = IoGetCurrentIrpStackLocation(Irp)->Parameters.SetFile.FileInformationClass;
  if (type == FileEndOfFileInformation || type == FileAllocationInformation)
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
  return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
}

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  IoIncrement(DeviceObject);
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  if (!DeviceIsReady(DeviceObject)) {
    status = STATUS_DELETE_PENDING;
  } else {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PSERIAL_BASIC_SETTINGS buffer = (PSERIAL_BASIC_SETTINGS)Irp->AssociatedIrp.SystemBuffer;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
      case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
      case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
        break;
      case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS: {
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SERIAL_BASIC_SETTINGS)) {
          status = STATUS_BUFFER_TOO_SMALL;
          break;
        }
        KIRQL irql;
        KeAcquireSpinLock(&extension->TimeoutLock, &irql);
        buffer->Timeouts = extension->Timeouts;
        KeReleaseSpinLock(&extension->TimeoutLock, irql);
        buffer->HandFlow = extension->Handflow;
        buffer->RxFifo = 0;
        buffer->TxFifo = 1;
        information = sizeof(SERIAL_BASIC_SETTINGS);
        extension->BasicSettingsActive = TRUE;
        SERIAL_BASIC_SETTINGS basic;
        RtlZeroMemory(&basic, sizeof(basic));
        basic.TxFifo = 1;
        ApplyBasicSettings(DeviceObject, &basic);
        break;
      }
      case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS: {
        if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(SERIAL_BASIC_SETTINGS)) {
          status = STATUS_BUFFER_TOO_SMALL;
          break;
        }
        SERIAL_BASIC_SETTINGS saved = *buffer;
        extension->BasicSettingsActive = FALSE;
        ApplyBasicSettings(DeviceObject, &saved);
        break;
      }
      default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }
  }
  CompleteRequest(Irp, status, information);
  IoDecrement(DeviceObject);
  return status;
}
