// The serial device-control requests: every IOCTL_SERIAL_* code is implemented, accepted as a
// no-op, or refused.
#include "../receive/receive.h"
#include "../transmit/transmit.h"
#include "serial.h"

namespace {

const ULONG kMaxSerialFunction = 39;

struct Request {
  PDEVICE_OBJECT Device;
  PDEVICE_EXTENSION Extension;
  PIRP Irp;
  PVOID Buffer;
  ULONG In;
  ULONG Out;
};

BOOLEAN ShortIn(const Request& r, ULONG size) { return r.In < size; }
BOOLEAN ShortOut(const Request& r, ULONG size) { return r.Out < size; }

NTSTATUS Output(const Request& r, const void* data, ULONG size) {
  RtlCopyMemory(r.Buffer, data, size);
  r.Irp->IoStatus.Information = size;
  return STATUS_SUCCESS;
}

NTSTATUS OutputUlong(const Request& r, ULONG value) { return Output(r, &value, sizeof(value)); }

// The line settings are ControlUrbMutex's (which the block's own request takes again): store,
// build and send are one step, so that the block sent last is the one the settings give, and no
// request sees another's invalid value before it is put back.
VOID LockLineSettings(PDEVICE_EXTENSION ext) {
  KeWaitForSingleObject(&ext->ControlUrbMutex, Executive, KernelMode, FALSE, NULL);
}

NTSTATUS UnlockLineSettings(PDEVICE_EXTENSION ext, NTSTATUS status) {
  KeReleaseMutex(&ext->ControlUrbMutex, FALSE);
  return status;
}

NTSTATUS SetBaudRate(const Request& r) {
  if (ShortIn(r, sizeof(SERIAL_BAUD_RATE)) || !DeviceIsReady(r.Device)) return STATUS_BUFFER_TOO_SMALL;
  PDEVICE_EXTENSION ext = r.Extension;
  LockLineSettings(ext);
  ULONG old = ext->BaudRate;
  ext->BaudRate = ((PSERIAL_BAUD_RATE)r.Buffer)->BaudRate;
  if (ext->BaudRate == old) return UnlockLineSettings(ext, STATUS_SUCCESS);
  UCHAR block[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  if (!BuildLineSettings(ext, block)) {
    ext->BaudRate = old;
    return UnlockLineSettings(ext, STATUS_INVALID_DEVICE_REQUEST);
  }
  SendLineSettings(r.Device, block);
  return UnlockLineSettings(ext, STATUS_SUCCESS);
}

NTSTATUS SetLineControl(const Request& r) {
  if (ShortIn(r, sizeof(SERIAL_LINE_CONTROL)) || !DeviceIsReady(r.Device)) return STATUS_BUFFER_TOO_SMALL;
  PDEVICE_EXTENSION ext = r.Extension;
  LockLineSettings(ext);
  SERIAL_LINE_CONTROL old = ext->LineControl;
  ext->LineControl = *(PSERIAL_LINE_CONTROL)r.Buffer;
  UCHAR now[3] = {ext->LineControl.WordLength, ext->LineControl.Parity, ext->LineControl.StopBits};
  UCHAR before[3] = {old.WordLength, old.Parity, old.StopBits};
  if (!LineControlChanged(now, before)) return UnlockLineSettings(ext, STATUS_SUCCESS);
  UCHAR block[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  if (!BuildLineSettings(ext, block)) {
    ext->LineControl = old;
    return UnlockLineSettings(ext, STATUS_INVALID_PARAMETER);
  }
  SendLineSettings(r.Device, block);
  return UnlockLineSettings(ext, STATUS_SUCCESS);
}

NTSTATUS SetTimeouts(const Request& r) {
  if (ShortIn(r, sizeof(SERIAL_TIMEOUTS)) || !DeviceIsReady(r.Device)) return STATUS_BUFFER_TOO_SMALL;
  SERIAL_TIMEOUTS timeouts = *(PSERIAL_TIMEOUTS)r.Buffer;
  if (timeouts.ReadIntervalTimeout == MAXULONG && timeouts.ReadTotalTimeoutMultiplier == MAXULONG &&
      timeouts.ReadTotalTimeoutConstant == MAXULONG)
    return STATUS_INVALID_PARAMETER;
  KIRQL irql;
  KeAcquireSpinLock(&r.Extension->TimeoutLock, &irql);
  SetReadTimeoutState(r.Extension, &timeouts);
  r.Extension->Timeouts = timeouts;
  KeReleaseSpinLock(&r.Extension->TimeoutLock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS GetTimeouts(const Request& r) {
  if (ShortOut(r, sizeof(SERIAL_TIMEOUTS))) return STATUS_BUFFER_TOO_SMALL;
  KIRQL irql;
  KeAcquireSpinLock(&r.Extension->TimeoutLock, &irql);
  SERIAL_TIMEOUTS timeouts = r.Extension->Timeouts;
  KeReleaseSpinLock(&r.Extension->TimeoutLock, irql);
  return Output(r, &timeouts, sizeof(timeouts));
}

// DTR and RTS follow a request unless handshaking owns the line or the port is not ready.
NTSTATUS DriveLine(const Request& r, UCHAR bit, BOOLEAN on) {
  PDEVICE_EXTENSION ext = r.Extension;
  if (bit == MODEM_CONTROL_DTR && (ext->Handflow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE)
    return STATUS_SUCCESS;
  ULONG rts = ext->Handflow.FlowReplace & SERIAL_RTS_MASK;
  if (bit == MODEM_CONTROL_RTS && (rts == SERIAL_RTS_HANDSHAKE || rts == SERIAL_TRANSMIT_TOGGLE)) return STATUS_SUCCESS;
  if (!DeviceIsReady(r.Device)) return STATUS_SUCCESS;
  DriveModemControl(r.Device, bit, on);
  return STATUS_SUCCESS;
}

NTSTATUS Purge(const Request& r) {
  if (ShortIn(r, sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
  ULONG mask = *(PULONG)r.Buffer;
  if (mask == 0 || (mask & ~0x0FUL)) return STATUS_INVALID_PARAMETER;
  PDEVICE_EXTENSION ext = r.Extension;
  if (mask & SERIAL_PURGE_RXCLEAR) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->RxLock, &irql);
    DiscardReceivedLocked(ext);
    KeReleaseSpinLock(&ext->RxLock, irql);
    ClearEvents(ext, 0xFFC);
    // Reading paused by a full buffer goes on now that it is empty, and a partner held off by
    // input flow control may send again.
    if (ReadBooleanNoFence(&ext->DeviceOpen) && !ReadBooleanNoFence(&ext->PortClosed)) {
      ReleaseInputFlowIfRoom(ext);
      RestartBulkInIfRoom(ext);
    }
  }
  if (mask & SERIAL_PURGE_RXABORT) AbortCurrentRead(r.Device);
  if (mask & SERIAL_PURGE_TXABORT) AbortCurrentWrite(r.Device);
  return STATUS_SUCCESS;
}

NTSTATUS SetChars(const Request& r) {
  if (ShortIn(r, sizeof(SERIAL_CHARS)) || !DeviceIsReady(r.Device)) return STATUS_BUFFER_TOO_SMALL;
  PSERIAL_CHARS chars = (PSERIAL_CHARS)r.Buffer;
  if (chars->XonChar == chars->XoffChar) return STATUS_INVALID_PARAMETER;
  // Under RxLock, where the receive path takes its copy of the characters.
  KIRQL irql;
  KeAcquireSpinLock(&r.Extension->RxLock, &irql);
  r.Extension->SerialChars = *chars;
  KeReleaseSpinLock(&r.Extension->RxLock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS GetChars(const Request& r) {
  KIRQL irql;
  KeAcquireSpinLock(&r.Extension->RxLock, &irql);
  SERIAL_CHARS chars = r.Extension->SerialChars;
  KeReleaseSpinLock(&r.Extension->RxLock, irql);
  return Output(r, &chars, sizeof(chars));
}

NTSTATUS SetHandflow(const Request& r) {
  if (ShortIn(r, sizeof(SERIAL_HANDFLOW)) || !DeviceIsReady(r.Device)) return STATUS_BUFFER_TOO_SMALL;
  SERIAL_HANDFLOW handflow = *(PSERIAL_HANDFLOW)r.Buffer;
  LONG capacity = (LONG)r.Extension->RxQueueCapacity;
  if ((handflow.ControlHandShake & SERIAL_CONTROL_INVALID) || (handflow.FlowReplace & SERIAL_FLOW_INVALID) ||
      (handflow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK || handflow.XonLimit < 0 ||
      handflow.XonLimit > capacity || handflow.XoffLimit < 0 || handflow.XoffLimit > capacity ||
      (handflow.FlowReplace & SERIAL_ERROR_CHAR))
    return STATUS_INVALID_PARAMETER;
  ApplyHandflow(r.Device, &handflow);
  return STATUS_SUCCESS;
}

NTSTATUS GetModemStatus(const Request& r) {
  if (ShortOut(r, sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
  ClearEvents(r.Extension, 0xFC7);
  return OutputUlong(r, (ULONG)ReadUCharNoFence(&r.Extension->ModemStatus) << 4);
}

NTSTATUS GetCommStatus(const Request& r) {
  if (ShortOut(r, sizeof(SERIAL_STATUS))) return STATUS_BUFFER_TOO_SMALL;
  PDEVICE_EXTENSION ext = r.Extension;
  SERIAL_STATUS status;
  RtlZeroMemory(&status, sizeof(status));
  status.Errors = (ULONG)InterlockedExchange((LONG volatile*)&ext->CommErrors, 0);
  if (DeviceIsReady(r.Device)) {
    ULONG holds = ReadULongNoFence(&ext->TxHoldReasons);
    if (holds & 0x01) status.HoldReasons |= SERIAL_TX_WAITING_FOR_CTS;
    if (holds & 0x02) status.HoldReasons |= SERIAL_TX_WAITING_FOR_DSR;
    if (holds & 0x08) status.HoldReasons |= SERIAL_TX_WAITING_FOR_XON;
    KIRQL irql;
    KeAcquireSpinLock(&ext->RxLock, &irql);
    status.AmountInInQueue = (ext->RxCount - ext->RxStatusCount) / 2;
    KeReleaseSpinLock(&ext->RxLock, irql);
    KeAcquireSpinLock(&ext->TxLock, &irql);
    status.AmountInOutQueue = ext->TxCount / 2;
    KeReleaseSpinLock(&ext->TxLock, irql);
  }
  return Output(r, &status, sizeof(status));
}

NTSTATUS Dispatch(const Request& r, ULONG code) {
  PDEVICE_EXTENSION ext = r.Extension;
  switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: return SetBaudRate(r);
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
      if (ShortIn(r, sizeof(SERIAL_QUEUE_SIZE)) || !DeviceIsReady(r.Device)) return STATUS_BUFFER_TOO_SMALL;
      return ((PSERIAL_QUEUE_SIZE)r.Buffer)->InSize > ext->RxQueueCapacity ? STATUS_INSUFFICIENT_RESOURCES
                                                                           : STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_LINE_CONTROL: return SetLineControl(r);
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_LSRMST_INSERT:
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_TIMEOUTS: return SetTimeouts(r);
    case IOCTL_SERIAL_GET_TIMEOUTS: return GetTimeouts(r);
    case IOCTL_SERIAL_SET_DTR: return DriveLine(r, MODEM_CONTROL_DTR, TRUE);
    case IOCTL_SERIAL_CLR_DTR: return DriveLine(r, MODEM_CONTROL_DTR, FALSE);
    case IOCTL_SERIAL_SET_RTS: return DriveLine(r, MODEM_CONTROL_RTS, TRUE);
    case IOCTL_SERIAL_CLR_RTS: return DriveLine(r, MODEM_CONTROL_RTS, FALSE);
    case IOCTL_SERIAL_SET_XOFF: return SetXoff(ext);
    case IOCTL_SERIAL_SET_XON: return SetXon(ext);
    case IOCTL_SERIAL_GET_WAIT_MASK: return GetWaitMask(ext, r.Irp);
    case IOCTL_SERIAL_SET_WAIT_MASK: return SetWaitMask(ext, r.Irp);
    case IOCTL_SERIAL_WAIT_ON_MASK: return WaitOnMask(ext, r.Irp);
    case IOCTL_SERIAL_PURGE: return Purge(r);
    case IOCTL_SERIAL_GET_BAUD_RATE:
      if (ShortOut(r, sizeof(SERIAL_BAUD_RATE))) return STATUS_BUFFER_TOO_SMALL;
      LockLineSettings(ext);
      return UnlockLineSettings(ext, OutputUlong(r, ext->BaudRate));
    case IOCTL_SERIAL_GET_LINE_CONTROL:
      if (ShortOut(r, sizeof(SERIAL_LINE_CONTROL))) return STATUS_BUFFER_TOO_SMALL;
      LockLineSettings(ext);
      return UnlockLineSettings(ext, Output(r, &ext->LineControl, sizeof(SERIAL_LINE_CONTROL)));
    case IOCTL_SERIAL_GET_CHARS:
      if (ShortOut(r, sizeof(SERIAL_CHARS))) return STATUS_BUFFER_TOO_SMALL;
      return GetChars(r);
    case IOCTL_SERIAL_SET_CHARS: return SetChars(r);
    case IOCTL_SERIAL_GET_HANDFLOW:
      if (ShortOut(r, sizeof(SERIAL_HANDFLOW))) return STATUS_BUFFER_TOO_SMALL;
      return Output(r, &ext->Handflow, sizeof(SERIAL_HANDFLOW));
    case IOCTL_SERIAL_SET_HANDFLOW: return SetHandflow(r);
    case IOCTL_SERIAL_GET_MODEMSTATUS: return GetModemStatus(r);
    case IOCTL_SERIAL_GET_COMMSTATUS: return GetCommStatus(r);
    case IOCTL_SERIAL_GET_PROPERTIES: {
      if (ShortOut(r, sizeof(SERIAL_COMMPROP))) return STATUS_BUFFER_TOO_SMALL;
      FillCommProperties(ext, (PSERIAL_COMMPROP)r.Buffer);
      r.Irp->IoStatus.Information = sizeof(SERIAL_COMMPROP);
      return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_DTRRTS: {
      if (ShortOut(r, sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
      ULONG state = 0;
      if (ext->ModemControl & MODEM_CONTROL_DTR) state |= SERIAL_DTR_STATE;
      if (ext->ModemControl & MODEM_CONTROL_RTS) state |= SERIAL_RTS_STATE;
      return OutputUlong(r, state);
    }
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
      if (ShortOut(r, sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
      return OutputUlong(r, ext->ModemControl & (SERIAL_IOC_MCR_DTR | SERIAL_IOC_MCR_RTS));
    case IOCTL_SERIAL_CONFIG_SIZE:
      if (ShortOut(r, sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
      return OutputUlong(r, 0);
    case IOCTL_SERIAL_GET_STATS:
      if (ShortOut(r, sizeof(SERIALPERF_STATS))) return STATUS_BUFFER_TOO_SMALL;
      return Output(r, &ext->PerfStats, sizeof(SERIALPERF_STATS));
    case IOCTL_SERIAL_CLEAR_STATS:
      RtlZeroMemory(&ext->PerfStats, sizeof(SERIALPERF_STATS));
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

}  // namespace

BOOLEAN LineControlChanged(const UCHAR New[3], const UCHAR Old[3]) {
  return New[0] != Old[0] || New[1] != Old[1] || New[2] != Old[2];
}

VOID FillCommProperties(PDEVICE_EXTENSION Extension, PSERIAL_COMMPROP Out) {
  UNREFERENCED_PARAMETER(Extension);
  RtlZeroMemory(Out, sizeof(SERIAL_COMMPROP));
  Out->PacketLength = sizeof(SERIAL_COMMPROP);
  Out->PacketVersion = 2;
  Out->ServiceMask = SERIAL_SP_SERIALCOMM;
  Out->MaxBaud = SERIAL_BAUD_USER;
  Out->ProvSubType = SERIAL_SP_RS232;
  Out->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_PARITY_CHECK |
                          SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                          SERIAL_PCF_INTTIMEOUTS;
  Out->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                        SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
  Out->SettableBaud = 0x10067B7A;
  Out->SettableData = SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
  Out->SettableStopParity =
      SERIAL_STOPBITS_10 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN;
  Out->CurrentTxQueue = 0;
  Out->CurrentRxQueue = 4096;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoIncrement(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  Request r;
  r.Device = DeviceObject;
  r.Extension = ExtensionOf(DeviceObject);
  r.Irp = Irp;
  r.Buffer = Irp->AssociatedIrp.SystemBuffer;
  r.In = stack->Parameters.DeviceIoControl.InputBufferLength;
  r.Out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  Irp->IoStatus.Information = 0;

  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  ULONG function = (code >> 2) & 0xFFF;
  if ((code >> 16) == FILE_DEVICE_SERIAL_PORT && (code & 3) == METHOD_BUFFERED && function >= 1 &&
      function <= kMaxSerialFunction)
    status = Dispatch(r, code);
  if (status == STATUS_PENDING) {
    IoDecrement(DeviceObject);
    return STATUS_PENDING;
  }
  CompleteRequest(Irp, status, NT_SUCCESS(status) ? Irp->IoStatus.Information : 0);
  IoDecrement(DeviceObject);
  return status;
}
