// The transmit buffer and the bulk-out stream's units: write data framed as data units, the
// in-band modem-control and XON/XOFF units, and input flow control built on them.
//
// Nothing is ever appended past the end of TxBuffer: in-band units are refused when there is
// no room, and a staged chunk that does not fit waits (TxStagePending) until the writer has
// drained the buffer.
//
// The writer takes its packets from TxHead, so sending moves nothing; what is buffered moves
// down to the start only when an append needs the room behind it. A chunk is framed straight
// from the write's own buffer into TxBuffer when it is appended, one pass per character.
// Under TxLock the work is at most the appended chunk (bounded by the caller's write, whose
// chunk enters only while at most TX_ACCEPT_LIMIT bytes wait) or one packet, and the move-down
// for a chunk moves only those few waiting bytes. Only an in-band unit (a request of its own,
// not a per-character cost) can find a long chunk's rest in the way and move it down.
#include "../serial/serial.h"
#include "transmit.h"

namespace {

// TxLock held, TxCount + bytes <= TX_BUFFER_SIZE: makes room for `bytes` behind what is
// buffered, moving it down to the start only when the room is not there already.
PUCHAR ReserveTailLocked(PDEVICE_EXTENSION extension, ULONG bytes) {
  if (extension->TxCount == 0) extension->TxHead = 0;
  if (extension->TxHead + extension->TxCount + bytes > TX_BUFFER_SIZE) {
    RtlMoveMemory(extension->TxBuffer, &extension->TxBuffer[extension->TxHead], extension->TxCount);
    extension->TxHead = 0;
  }
  return &extension->TxBuffer[extension->TxHead + extension->TxCount];
}

// TxLock held. Appends the first `bytes` bytes of the staged chunk when they fit, and makes the
// rest of a long write framable once its current chunk is in the buffer.
VOID AppendStagedLocked(PDEVICE_EXTENSION extension, ULONG bytes) {
  if (extension->TxCount + bytes > TX_BUFFER_SIZE) {
    extension->TxStagePending = TRUE;
    return;
  }
  // Every unit sets DTR and RTS at the adapter. The chunk is framed now rather than when it
  // was staged: one that waited (held by flow control, or for room) goes out with the lines as
  // they are now, or it would undo a change made meanwhile.
  UCHAR header = extension->ModemControl;
  const UCHAR* data = extension->TxStagedData;
  PUCHAR out = ReserveTailLocked(extension, bytes);
  for (ULONG i = 0; i < bytes / 2; ++i) {
    out[2 * i] = header;
    out[2 * i + 1] = data[i];
  }
  extension->TxCount += bytes;
  extension->TxStagedData = NULL;
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
  PUCHAR out = ReserveTailLocked(extension, 2);
  out[0] = header;
  out[1] = data;
  extension->TxCount += 2;
  KeReleaseSpinLock(&extension->TxLock, irql);
  WakeWriter(extension);
  return STATUS_SUCCESS;
}

}  // namespace

VOID FrameWriteData(PDEVICE_EXTENSION Extension, const UCHAR* Data, ULONG Count) {
  // Only noted here: the units are built when the chunk enters TxBuffer (AppendStagedLocked).
  // The write's buffer stays valid until then, since the write ends only under TxLock, where
  // its staged chunk is forgotten too.
  Extension->TxStagedData = Data;
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
    PUCHAR out = ReserveTailLocked(extension, 2);
    out[0] = (UCHAR)(UNIT_MODEM_CONTROL | (now & 0x0F));
    out[1] = 0;
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
