// The transmit buffer and the bulk-out stream's units: write data framed as data units, the
// in-band modem-control and XON/XOFF units, and input flow control built on them.
//
// Nothing is ever appended past the end of TxBuffer: in-band units are refused when there is
// no room, and a staged chunk that does not fit waits (TxStagePending) until the writer has
// drained the buffer.
#include "../serial/serial.h"
#include "transmit.h"

namespace {

// TxLock held. Appends the staged chunk when it fits, and makes the rest of a long write
// framable once its current chunk is in the buffer.
VOID AppendStagedLocked(PDEVICE_EXTENSION extension) {
  ULONG bytes = extension->TxStagedCount;
  if (extension->TxCount + bytes > TX_BUFFER_SIZE) {
    extension->TxStagePending = TRUE;
    return;
  }
  // Every unit sets DTR and RTS at the adapter. A chunk that waited (held by flow control, or
  // for room) may have been framed before the lines changed: it goes out with the lines as
  // they are now, or it would undo the change.
  UCHAR header = extension->ModemControl;
  if (bytes != 0 && extension->TxStaging[0] != header) {
    for (ULONG i = 0; i < bytes; i += 2) extension->TxStaging[i] = header;
  }
  RtlCopyMemory(&extension->TxBuffer[extension->TxCount], extension->TxStaging, bytes);
  extension->TxCount += bytes;
  extension->TxStagedCount = 0;
  extension->TxStagePending = FALSE;
  extension->TxSourceIndex = extension->TxSourceNext;
  extension->TxSourceNext = 0;
  InterlockedExchangeAdd((LONG volatile*)&extension->PerfStats.TransmittedCount, (LONG)(bytes / 2));
}

NTSTATUS QueueUnit(PDEVICE_OBJECT DeviceObject, UCHAR header, UCHAR data) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  if (!DeviceIsReady(DeviceObject)) return STATUS_INSUFFICIENT_RESOURCES;
  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  if (extension->TxCount > TX_IN_BAND_LIMIT) {
    KeReleaseSpinLock(&extension->TxLock, irql);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  extension->TxBuffer[extension->TxCount] = header;
  extension->TxBuffer[extension->TxCount + 1] = data;
  extension->TxCount += 2;
  KeReleaseSpinLock(&extension->TxLock, irql);
  WakeWriter(extension);
  return STATUS_SUCCESS;
}

}  // namespace

VOID FrameWriteData(PDEVICE_EXTENSION Extension, const UCHAR* Data, ULONG Count) {
  UCHAR header = ReadUCharNoFence(&Extension->ModemControl);  // corrected under TxLock on entry
  PUCHAR staged = Extension->TxStaging;
  for (ULONG i = 0; i < Count; ++i) {
    staged[2 * i] = header;
    staged[2 * i + 1] = Data[i];
  }
  Extension->TxStagedCount = 2 * Count;
}

VOID WakeWriter(PDEVICE_EXTENSION Extension) {
  // Tested and set under TxLock, where the writer clears it together with its emptiness test,
  // so that an append never goes without a wake-up.
  KIRQL irql;
  KeAcquireSpinLock(&Extension->TxLock, &irql);
  BOOLEAN wake = !Extension->TxActive;
  Extension->TxActive = TRUE;
  KeReleaseSpinLock(&Extension->TxLock, irql);
  if (wake) KeSetEvent(&Extension->TxDataEvent, 1, FALSE);
}

// ModemControl is TxLock's: the DTR/RTS requests, handshaking and input flow control change it
// from several contexts, and a change made outside the lock could undo another's.
BOOLEAN DriveModemControl(PDEVICE_OBJECT DeviceObject, UCHAR Bit, BOOLEAN On) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  BOOLEAN ready = DeviceIsReady(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  UCHAR old = extension->ModemControl;
  UCHAR now = On ? (UCHAR)(old | Bit) : (UCHAR)(old & ~Bit);
  WriteUCharNoFence(&extension->ModemControl, now);
  // Queued in the same step, so that the units go out in the order of the changes.
  BOOLEAN queued = now != old && ready && extension->TxCount <= TX_IN_BAND_LIMIT;
  if (queued) {
    extension->TxBuffer[extension->TxCount] = (UCHAR)(UNIT_MODEM_CONTROL | (now & 0x0F));
    extension->TxBuffer[extension->TxCount + 1] = 0;
    extension->TxCount += 2;
  }
  KeReleaseSpinLock(&extension->TxLock, irql);
  if (queued) WakeWriter(extension);
  return now != old;
}

NTSTATUS QueueModemControlWord(PDEVICE_OBJECT DeviceObject) {
  UCHAR control = ExtensionOf(DeviceObject)->ModemControl;
  return QueueUnit(DeviceObject, (UCHAR)(UNIT_MODEM_CONTROL | (control & 0x0F)), 0);
}

NTSTATUS QueueXonXoffWord(PDEVICE_OBJECT DeviceObject, BOOLEAN Xon) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&extension->RxLock, &irql);  // where SET_CHARS stores them
  UCHAR character = Xon ? extension->SerialChars.XonChar : extension->SerialChars.XoffChar;
  KeReleaseSpinLock(&extension->RxLock, irql);
  return QueueUnit(DeviceObject, extension->ModemControl, character);
}

// TxLock held: the write's own buffer is read under the lock that its abort takes, so the
// write cannot complete (and its buffer go away) while a chunk of it is framed.
VOID FrameNextWriteChunkLocked(PDEVICE_EXTENSION Extension) {
  if (Extension->TxStagePending) {
    AppendStagedLocked(Extension);
    return;
  }
  if (Extension->TxSourceIndex == 0 || Extension->TxSource == NULL) return;
  ULONG index = Extension->TxSourceIndex;
  ULONG count = Extension->TxSourceLength - index;
  if (count > MAX_CHUNK_CHARS) count = MAX_CHUNK_CHARS;
  FrameWriteData(Extension, Extension->TxSource + index, count);
  Extension->TxSourceIndex = 0;
  if (index + count >= Extension->TxSourceLength) {
    Extension->TxSource = NULL;
    Extension->TxSourceLength = 0;
    Extension->TxSourceNext = 0;
  } else {
    Extension->TxSourceNext = index + count;
  }
  AppendStagedLocked(Extension);
}

VOID SetReceiveFlowControl(PDEVICE_OBJECT DeviceObject, BOOLEAN Assert) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  volatile ULONG* holds = &extension->RxFlowHolds;
  UCHAR flags = ReadUCharNoFence(&extension->FlowFlags);
  if (Assert) {
    if (flags & FLOW_IN_XONXOFF) {
      if (!(AtomicOr(holds, HOLD_XOFF) & HOLD_XOFF)) QueueXonXoffWord(DeviceObject, FALSE);
    }
    if (flags & FLOW_IN_DTR) {
      DriveModemControl(DeviceObject, MODEM_CONTROL_DTR, FALSE);
      AtomicOr(holds, HOLD_DTR);
    }
    if (flags & FLOW_IN_RTS) {
      DriveModemControl(DeviceObject, MODEM_CONTROL_RTS, FALSE);
      AtomicOr(holds, HOLD_RTS);
    }
    return;
  }
  ULONG held = (ULONG)InterlockedExchange((LONG volatile*)holds, 0);
  if (held & HOLD_XOFF) QueueXonXoffWord(DeviceObject, TRUE);
  if (held & HOLD_DTR) DriveModemControl(DeviceObject, MODEM_CONTROL_DTR, TRUE);
  if (held & HOLD_RTS) DriveModemControl(DeviceObject, MODEM_CONTROL_RTS, TRUE);
}
