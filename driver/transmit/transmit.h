// The transmit path: transmit buffers, write requests, the writer thread, open and close.
#pragma once
#include "../frame/frame.h"

#define UNIT_DATA 0xA0
#define UNIT_MODEM_CONTROL 0xC0
#define UNIT_KIND_MASK 0xE0
#define MODEM_CONTROL_DTR 0x01
#define MODEM_CONTROL_RTS 0x02
#define MAX_CHUNK_CHARS 100000
#define TX_IN_BAND_LIMIT 200065
#define TX_ACCEPT_LIMIT 66
#define BULK_OUT_CHUNK 64

// RxFlowHolds bits.
#define HOLD_DTR 0x1
#define HOLD_XOFF 0x2
#define HOLD_RTS 0x4

// Transmit buffers.
VOID FrameWriteData(PDEVICE_EXTENSION Extension, const UCHAR* Data, ULONG Count);
VOID WakeWriter(PDEVICE_EXTENSION Extension);
NTSTATUS QueueModemControlWord(PDEVICE_OBJECT DeviceObject);
// Sets or clears DTR or RTS (`Bit`) in ModemControl and queues the unit that tells the adapter,
// in one step under TxLock; returns TRUE when the line changed.
BOOLEAN DriveModemControl(PDEVICE_OBJECT DeviceObject, UCHAR Bit, BOOLEAN On);
NTSTATUS QueueXonXoffWord(PDEVICE_OBJECT DeviceObject, BOOLEAN Xon);
// TxLock held: enters a staged chunk that waited for room, or frames the next chunk of a long
// write, into the drained transmit buffer.
VOID FrameNextWriteChunkLocked(PDEVICE_EXTENSION Extension);
VOID SetReceiveFlowControl(PDEVICE_OBJECT DeviceObject, BOOLEAN Assert);

// Write requests.
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID ResumeHeldTransmit(PDEVICE_EXTENSION Extension);
// TxHeld read under TxLock: a path that changed what a held write waits for (modem status,
// XON) tests it after the change, so that it or the write's own test after holding sees both.
BOOLEAN TransmitHeld(PDEVICE_EXTENSION Extension);
VOID NTAPI WriteTotalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID AbortCurrentWrite(PDEVICE_OBJECT DeviceObject);
// TxLock held: takes the current write for completion; a held write only when `HeldToo`.
PIRP TakeCurrentWriteLocked(PDEVICE_EXTENSION Extension, BOOLEAN HeldToo);
VOID FinishWrite(PDEVICE_EXTENSION Extension, PIRP Irp, NTSTATUS Status, CCHAR Boost);

// Writer thread.
NTSTATUS StartWriterThread(PDEVICE_OBJECT DeviceObject);
NTSTATUS StopWriterThread(PDEVICE_OBJECT DeviceObject);
VOID NTAPI WriterThreadRoutine(PVOID StartContext);
NTSTATUS SendNextChunk(PDEVICE_OBJECT DeviceObject);
NTSTATUS SubmitCreditQuery(PDEVICE_OBJECT DeviceObject);
NTSTATUS SubmitBulkOut(PDEVICE_EXTENSION Extension);
NTSTATUS NTAPI BulkOutCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI CreditQueryCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID CancelBulkOutTransfer(PDEVICE_EXTENSION Extension);

// Open and close.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
