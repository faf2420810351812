// The transmit buffer and the bulk-out stream's units: write data framed as data units, the
// in-band modem-control and XON/XOFF units, and input flow control built on them.
//
// Nothing is ever appended past the end of TxBuffer: in-band units are refused when there is
// no room, and a staged chunk that does not fit waits (TxStagePending) until the writer has
// drained the buffer.
#include "../serial/serial.h"
#include "transmit.h"

namespace {

// TxLock held. Appends the first `bytes` bytes of the staged chunk when they fit, and makes the
// rest of a long write framable once its current chunk is in the buffer.
VOID AppendStagedLocked(PDEVICE_EXTENSION extension, ULONG bytes) {
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
  UCHAR header = Extension->ModemControl;
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

NTSTATUS QueueModemControlWord(PDEVICE_OBJECT DeviceObject) {
  UCHAR control = ExtensionOf(DeviceObject)->ModemControl;
  return QueueUnit(DeviceObject, (UCHAR)(UNIT_MODEM_CONTROL | (control & 0x0F)), 0);
}

NTSTATUS QueueXonXoffWord(PDEVICE_OBJECT DeviceObject, BOOLEAN Xon) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  UCHAR character = Xon ? extension->SerialChars.XonChar : extension->SerialChars.XoffChar;
  return QueueUnit(DeviceObject, extension->ModemControl, character);
}

// TxLock held: the write's own buffer is read under the lock that its abort takes, so the
// write cannot complete (and its buffer go away) while a chunk of it is framed.
VOID FrameNextWriteChunkLocked(PDEVICE_EXTENSION Extension) {
  if (Extension->TxStagePending) {
    AppendStagedLocked(Extension, Extension->TxStagedCount);
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
  AppendStagedLocked(Extension, Extension->TxStagedCount);
}

VOID AppendStagedToTxBuffer(PDEVICE_EXTENSION Extension, ULONG Bytes) {
  if (Bytes > Extension->TxStagedCount) Bytes = Extension->TxStagedCount;
  KIRQL irql;
  KeAcquireSpinLock(&Extension->TxLock, &irql);
  AppendStagedLocked(Extension, Bytes);
  KeReleaseSpinLock(&Extension->TxLock, irql);
}

VOID FrameNextWriteChunk(PDEVICE_EXTENSION Extension) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->TxLock, &irql);
  FrameNextWriteChunkLocked(Extension);
  KeReleaseSpinLock(&Extension->TxLock, irql);
}

VOID SetReceiveFlowControl(PDEVICE_OBJECT DeviceObject, BOOLEAN Assert) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  volatile ULONG* holds = &extension->RxFlowHolds;
  UCHAR flags = extension->FlowFlags;
  if (Assert) {
    if (flags & FLOW_IN_XONXOFF) {
      if (!(AtomicOr(holds, HOLD_XOFF) & HOLD_XOFF)) QueueXonXoffWord(DeviceObject, FALSE);
    }
    if (flags & FLOW_IN_DTR) {
      if (extension->ModemControl & MODEM_CONTROL_DTR) {
        extension->ModemControl &= (UCHAR)~MODEM_CONTROL_DTR;
        QueueModemControlWord(DeviceObject);
      }
      AtomicOr(holds, HOLD_DTR);
    }
    if (flags & FLOW_IN_RTS) {
      if (extension->ModemControl & MODEM_CONTROL_RTS) {
        extension->ModemControl &= (UCHAR)~MODEM_CONTROL_RTS;
        QueueModemControlWord(DeviceObject);
      }
      AtomicOr(holds, HOLD_RTS);
    }
    return;
  }
  ULONG held = (ULONG)InterlockedExchange((LONG volatile*)holds, 0);
  if (held & HOLD_XOFF) QueueXonXoffWord(DeviceObject, TRUE);
  if ((held & HOLD_DTR) && !(extension->ModemControl & MODEM_CONTROL_DTR)) {
    extension->ModemControl |= MODEM_CONTROL_DTR;
    QueueModemControlWord(DeviceObject);
  }
  if ((held & HOLD_RTS) && !(extension->ModemControl & MODEM_CONTROL_RTS)) {
    extension->ModemControl |= MODEM_CONTROL_RTS;
    QueueModemControlWord(DeviceObject);
  }
}
