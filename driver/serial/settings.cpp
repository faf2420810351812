// The serial settings held for the port and the values derived from them: the default
// settings, handshaking (which may move DTR and RTS), and the read time-out state.
#include "../receive/receive.h"
#include "../transmit/transmit.h"
#include "serial.h"

namespace {

// Sets or clears one output line in ModemControl; the adapter learns of it only when the bit
// really changes.
VOID DriveLine(PDEVICE_OBJECT DeviceObject, UCHAR bit, BOOLEAN on) { DriveModemControl(DeviceObject, bit, on); }

// True when the receive buffer holds at least as many characters as input flow control
// allows before it holds the peer off.
BOOLEAN AboveXoffLevel(PDEVICE_EXTENSION extension, LONG xoffLimit) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->RxLock, &irql);
  ULONG characters = (extension->RxCount - extension->RxStatusCount) / 2;
  KeReleaseSpinLock(&extension->RxLock, irql);
  return characters >= extension->RxQueueCapacity - (ULONG)xoffLimit;
}

}  // namespace

VOID SetDefaultSerialSettings(PDEVICE_EXTENSION Extension, BOOLEAN Full) {
  if (Full) {
    Extension->LineControl.WordLength = 8;
    Extension->LineControl.Parity = NO_PARITY;
    Extension->LineControl.StopBits = STOP_BIT_1;
    Extension->BaudRate = 9600;
  }
  Extension->SerialChars.EofChar = 0;
  Extension->SerialChars.ErrorChar = 0;
  Extension->SerialChars.BreakChar = 0;
  Extension->SerialChars.EventChar = 0;
  Extension->SerialChars.XonChar = 0x11;
  Extension->SerialChars.XoffChar = 0x13;
  Extension->Handflow.ControlHandShake = SERIAL_DTR_CONTROL;
  Extension->Handflow.FlowReplace = SERIAL_RTS_CONTROL;
  Extension->Handflow.XonLimit = 2048;
  Extension->Handflow.XoffLimit = 512;
}

VOID ApplyHandflow(PDEVICE_OBJECT DeviceObject, const SERIAL_HANDFLOW* New) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);

  ULONG dtrMode = New->ControlHandShake & SERIAL_DTR_MASK;
  if (!ReadBooleanNoFence(&extension->DeviceOpen) || dtrMode != (extension->Handflow.ControlHandShake & SERIAL_DTR_MASK)) {
    if (dtrMode == 0) DriveLine(DeviceObject, MODEM_CONTROL_DTR, FALSE);
    else if (dtrMode == SERIAL_DTR_HANDSHAKE)
      DriveLine(DeviceObject, MODEM_CONTROL_DTR, !AboveXoffLevel(extension, New->XoffLimit));
    else DriveLine(DeviceObject, MODEM_CONTROL_DTR, TRUE);
  }

  ULONG rtsMode = New->FlowReplace & SERIAL_RTS_MASK;
  if (!ReadBooleanNoFence(&extension->DeviceOpen) || rtsMode != (extension->Handflow.FlowReplace & SERIAL_RTS_MASK)) {
    if (rtsMode == SERIAL_RTS_HANDSHAKE)
      DriveLine(DeviceObject, MODEM_CONTROL_RTS, !AboveXoffLevel(extension, New->XoffLimit));
    else if (rtsMode == SERIAL_RTS_CONTROL || rtsMode == SERIAL_TRANSMIT_TOGGLE)
      DriveLine(DeviceObject, MODEM_CONTROL_RTS, TRUE);
    else DriveLine(DeviceObject, MODEM_CONTROL_RTS, FALSE);
  }

  UCHAR flags = 0;
  if (New->FlowReplace & SERIAL_AUTO_TRANSMIT) flags |= FLOW_OUT_XONXOFF;
  if (New->ControlHandShake & SERIAL_DSR_HANDSHAKE) flags |= FLOW_OUT_DSR;
  if (New->ControlHandShake & SERIAL_CTS_HANDSHAKE) flags |= FLOW_OUT_CTS;
  if (New->FlowReplace & SERIAL_XOFF_CONTINUE) flags |= FLOW_OUT_XOFF_CONTINUE;
  if (dtrMode == SERIAL_DTR_HANDSHAKE) flags |= FLOW_IN_DTR;
  if (rtsMode == SERIAL_RTS_HANDSHAKE) flags |= FLOW_IN_RTS;
  if (New->FlowReplace & SERIAL_AUTO_RECEIVE) flags |= FLOW_IN_XONXOFF;
  WriteUCharNoFence(&extension->FlowFlags, flags);

  extension->Handflow.FlowReplace = New->FlowReplace;
  extension->Handflow.XoffLimit = New->XoffLimit;
  extension->Handflow.ControlHandShake = New->ControlHandShake;
  extension->Handflow.XonLimit = New->XonLimit;
}

VOID SetReadTimeoutState(PDEVICE_EXTENSION Extension, const SERIAL_TIMEOUTS* Timeouts) {
  const ULONG M = MAXULONG;
  ULONG interval = Timeouts->ReadIntervalTimeout;
  ULONG multiplier = Timeouts->ReadTotalTimeoutMultiplier;
  ULONG constant = Timeouts->ReadTotalTimeoutConstant;
  if (interval != 0 && interval != M) {
    Extension->ReadIntervalTime.QuadPart = (LONGLONG)((ULONGLONG)interval * 10000ULL);
    // Short intervals are polled on every clock tick, long ones once a second.
    Extension->IntervalPollDueTime.QuadPart = Extension->ReadIntervalTime.QuadPart < 200000000LL ? -1 : -10000000LL;
  }
  UCHAR mode;
  if (interval == M && multiplier == 0 && constant == 0) mode = 1;
  else if (interval == M && constant == M) mode = 0;
  else if (interval == M && multiplier == M) mode = 2;
  else if (interval == M) mode = 3;
  else if (multiplier != 0 || constant != 0) mode = 4;
  else mode = 0;
  Extension->ReadTimeoutMode = mode;
}
