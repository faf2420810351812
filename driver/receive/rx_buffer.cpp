// The receive buffer: bulk-in packets appended as they arrive (units, modem status, events,
// output flow-control changes), and characters taken from its front for read requests.
//
// The buffer is a ring, so that neither side ever moves what is buffered: under RxLock an
// append copies at most one packet and a read only updates the counts and the head. The scan
// a read makes is outside the lock and bounded by the caller's read length (plus the status
// units and filtered characters between those characters), never by the buffer's size.
#include "../serial/serial.h"
#include "../transmit/transmit.h"
#include "receive.h"

namespace {

const UCHAR kUnitKindMask = 0xE0;
const UCHAR kCharacterUnit = 0x20;
const UCHAR kLineErrorUnit = 0x60;

BOOLEAN IsCharacter(UCHAR header) {
  UCHAR kind = header & kUnitKindMask;
  return kind == kCharacterUnit || kind == kLineErrorUnit;
}

// The events of a change in the modem inputs.
ULONG ModemEvents(UCHAR changed) {
  ULONG events = 0;
  if (changed & MODEM_CTS) events |= SERIAL_EV_CTS;
  if (changed & MODEM_DSR) events |= SERIAL_EV_DSR;
  if (changed & MODEM_RI) events |= SERIAL_EV_RING;
  if (changed & MODEM_DCD) events |= SERIAL_EV_RLSD;
  return events;
}

}  // namespace

VOID AppendBulkInPacket(PDEVICE_EXTENSION Extension, ULONG Length) {
  if (Length == 0) return;
  const UCHAR* packet = Extension->BulkInBuffer;

  // Any packet counts as activity for the interval time-out. Under RxLock, where a purge's abort
  // or a time-out sets the states this must not overwrite; the special characters are taken in
  // the same step, as SET_CHARS stores them there.
  KIRQL irql;
  KeAcquireSpinLock(&Extension->RxLock, &irql);
  if (Extension->ReadState == READ_WAITING) Extension->ReadState = READ_PACKET_SEEN;
  else if (Extension->ReadState == READ_INTERVAL_TIMING) Extension->ReadState = READ_PACKET_WHILE_TIMING;
  SERIAL_CHARS chars = Extension->SerialChars;
  KeReleaseSpinLock(&Extension->RxLock, irql);

  ULONG events = 0;
  ULONG statusBytes = 0;
  for (ULONG p = 0; p < Length; p += 2) {
    UCHAR kind = packet[p] & kUnitKindMask;
    if (kind == kCharacterUnit) {
      events |= SERIAL_EV_RXCHAR;
      if (packet[p + 1] == chars.EventChar) events |= SERIAL_EV_RXFLAG;
    } else if (kind != kLineErrorUnit) {
      statusBytes += 2;
    }
  }

  UCHAR modem = packet[Length - 2] & 0x0F;
  events |= ModemEvents((UCHAR)(modem ^ ReadUCharNoFence(&Extension->ModemStatus)));
  RecordEvents(Extension, events);

  UCHAR flags = ReadUCharNoFence(&Extension->FlowFlags);
  if (flags & FLOW_OUTPUT_MASK) {
    BOOLEAN changed = FALSE;
    if ((flags & (FLOW_OUT_DSR | FLOW_OUT_CTS)) && modem != ReadUCharNoFence(&Extension->ModemStatus)) {
      changed = TRUE;
      WriteUCharNoFence(&Extension->ModemStatus, modem);
    }
    if (flags & FLOW_OUT_XONXOFF) {
      // The newest XON or XOFF in the packet decides; XON wins when both characters are equal.
      for (ULONG p = Length; p >= 2; p -= 2) {
        UCHAR data = packet[p - 1];
        if (data == chars.XonChar) {
          Extension->TxXonState = TRUE;
          break;
        }
        if (data == chars.XoffChar) {
          Extension->TxXonState = FALSE;
          break;
        }
      }
      if (Extension->TxXonState) changed = TRUE;
    }
    if (changed && TransmitHeld(Extension) && TransmitMayResume(Extension, flags, modem)) ResumeHeldTransmit(Extension);
  }
  WriteUCharNoFence(&Extension->ModemStatus, modem);

  KeAcquireSpinLock(&Extension->RxLock, &irql);
  // Reading is submitted only with room for a whole packet; should a packet still not fit, it is
  // an overrun, never a write past the buffer.
  BOOLEAN fits = Extension->RxCount + Length <= RX_BUFFER_SIZE;
  if (fits) {
    ULONG tail = Extension->RxHead + Extension->RxCount;
    if (tail >= RX_BUFFER_SIZE) tail -= RX_BUFFER_SIZE;
    // Both parts are whole units: the head, the count and the packet's length are all even.
    ULONG first = RX_BUFFER_SIZE - tail;
    if (first > Length) first = Length;
    RtlCopyMemory(&Extension->RxBuffer[tail], packet, first);
    if (first < Length) RtlCopyMemory(Extension->RxBuffer, packet + first, Length - first);
    Extension->RxCount += Length;
    Extension->RxStatusCount += statusBytes;
  }
  KeReleaseSpinLock(&Extension->RxLock, irql);
  if (!fits) {
    RecordEvents(Extension, SERIAL_EV_ERR);
    RecordCommErrors(Extension, SERIAL_ERROR_OVERRUN | SERIAL_ERROR_QUEUEOVERRUN);
    return;
  }

  InterlockedExchangeAdd((LONG volatile*)&Extension->PerfStats.ReceivedCount, (LONG)((Length - statusBytes) / 2));
}

VOID FillReadRequest(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG Length, UCHAR Mode, BOOLEAN Final) {
  Irp->IoStatus.Information = 0;
  if (ReadBooleanNoFence(&Extension->PortClosed) || !ReadBooleanNoFence(&Extension->DeviceOpen)) return;
  PUCHAR out = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  KIRQL irql;
  KeAcquireSpinLock(&Extension->RxLock, &irql);
  ULONG limit = Extension->RxCount;
  ULONG purges = Extension->RxPurges;
  ULONG head = Extension->RxHead;
  UCHAR xon = Extension->SerialChars.XonChar;
  UCHAR xoff = Extension->SerialChars.XoffChar;
  KeReleaseSpinLock(&Extension->RxLock, irql);
  if (limit == 0) return;
  BOOLEAN filter = (ReadUCharNoFence(&Extension->FlowFlags) & FLOW_OUT_XONXOFF) != 0;

  // p counts the bytes scanned, at the ring offset `at`.
  ULONG p = 0, copied = 0, skipped = 0, at = head;
  while (p + 2 <= limit) {
    UCHAR header = Extension->RxBuffer[at];
    if (IsCharacter(header)) {
      if ((header & kUnitKindMask) == kLineErrorUnit) {
        RecordEvents(Extension, SERIAL_EV_ERR);
        RecordCommErrors(Extension, SERIAL_ERROR_FRAMING | SERIAL_ERROR_PARITY);
      }
      UCHAR data = Extension->RxBuffer[at + 1];
      if (!(filter && (data == xon || data == xoff))) out[copied++] = data;
    } else {
      skipped += 2;
    }
    p += 2;
    at += 2;
    if (at == RX_BUFFER_SIZE) at = 0;
    if (copied >= Length) break;
  }

  // A read that may still wait only looks: the characters stay for its next attempt.
  if (copied < Length && Mode != 1 && Mode != 3 && !Final) {
    Irp->IoStatus.Information = copied;
    RestartBulkInIfRoom(Extension);
    return;
  }

  KeAcquireSpinLock(&Extension->RxLock, &irql);
  // A purge that emptied the buffer while it was scanned counts as coming first: the read takes
  // nothing (what it copied may already be mixed with characters that arrived since), and the
  // buffer keeps what arrived after the purge.
  if (Extension->RxPurges != purges) {
    copied = 0;
  } else {
    Extension->RxStatusCount = Extension->RxStatusCount <= skipped ? 0 : Extension->RxStatusCount - skipped;
    Extension->RxCount -= p;
    if (Extension->RxCount > Extension->RxStatusCount) {
      // The scan began at the head, which no one else moves while a read is being filled.
      Extension->RxHead = at;
    } else {
      // Only status units are left: they are of no use to anyone.
      Extension->RxCount = 0;
      Extension->RxStatusCount = 0;
    }
  }
  BOOLEAN characters = Extension->RxCount > Extension->RxStatusCount;
  KeReleaseSpinLock(&Extension->RxLock, irql);
  if (characters) RecordEvents(Extension, SERIAL_EV_RXCHAR);
  else ClearEvents(Extension, ~(ULONG)SERIAL_EV_RXCHAR);
  // Room made by any read (a time-out's too) lets the held-off partner send again.
  ReleaseInputFlowIfRoom(Extension);
  RestartBulkInIfRoom(Extension);
  Irp->IoStatus.Information = copied;
}

VOID DiscardReceivedLocked(PDEVICE_EXTENSION Extension) {
  // The head moves past what is dropped rather than staying put: a read still scanning the
  // dropped units (it will take nothing, as the purge count tells it) is then never written
  // over by the packets that arrive next, which go behind them.
  ULONG head = Extension->RxHead + Extension->RxCount;
  if (head >= RX_BUFFER_SIZE) head -= RX_BUFFER_SIZE;
  Extension->RxHead = head;
  Extension->RxCount = 0;
  Extension->RxStatusCount = 0;
  ++Extension->RxPurges;
}

VOID ReleaseInputFlowIfRoom(PDEVICE_EXTENSION Extension) {
  if (ReadULongNoFence(&Extension->RxFlowHolds) == 0) return;
  KIRQL irql;
  KeAcquireSpinLock(&Extension->RxLock, &irql);
  BOOLEAN room = Extension->RxCount + TRANSFER_BUFFER_SIZE <= RX_HIGH_WATER;
  KeReleaseSpinLock(&Extension->RxLock, irql);
  if (room) SetReceiveFlowControl(Extension->FunctionalDeviceObject, FALSE);
}

VOID RestartBulkInIfRoom(PDEVICE_EXTENSION Extension) {
  // Under the lock that a completion finding the buffer full pauses reading under, so that the
  // room made here is never missed by both.
  KIRQL irql;
  KeAcquireSpinLock(&Extension->RxLock, &irql);
  BOOLEAN restart = !Extension->BulkInActive && Extension->RxCount + TRANSFER_BUFFER_SIZE <= RX_BUFFER_SIZE;
  if (restart) Extension->BulkInActive = TRUE;
  KeReleaseSpinLock(&Extension->RxLock, irql);
  if (restart) KeSetEvent(&Extension->BulkInEvent, 1, FALSE);
}
