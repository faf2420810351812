// The receive path: receive buffer, reader thread with the bulk-in transfer, read requests.
#pragma once
#include "../frame/frame.h"

// BulkInState values.
#define BULK_IDLE 0
#define BULK_CLAIMED 1
#define BULK_SUBMITTED 2
#define BULK_COMPLETING 3

// Read states.
#define READ_IDLE 0
#define READ_WAITING 1
#define READ_PACKET_SEEN 2
#define READ_INTERVAL_TIMING 3
#define READ_PACKET_WHILE_TIMING 4
#define READ_TIMED_OUT 5
#define READ_ABORTED 6

// Kinds of servicing of the current read.
#define SERVICE_NEW_READ 0
#define SERVICE_NEW_DATA 1

// The receive buffer never takes a packet that would not fit.
#define RX_HIGH_WATER 797952
#define RX_80_PERCENT 1280000

// Reading is tried again one second after a failed bulk-in transfer.
#define BULK_IN_RETRY_DUE_TIME (-10000000LL)

// Receive buffer.
VOID AppendBulkInPacket(PDEVICE_EXTENSION Extension, ULONG Length);
VOID FillReadRequest(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG Length, UCHAR Mode, BOOLEAN Final);
VOID RestartBulkInIfRoom(PDEVICE_EXTENSION Extension);
// RxLock held: empties the receive buffer from outside a read (purge, removal).
VOID DiscardReceivedLocked(PDEVICE_EXTENSION Extension);
// Ends the input flow control that holds the partner off once the buffer is below its mark.
VOID ReleaseInputFlowIfRoom(PDEVICE_EXTENSION Extension);

// Transfer resources and the reader thread.
NTSTATUS AllocateTransferResources(PDEVICE_OBJECT DeviceObject);
VOID FreeTransferResources(PDEVICE_OBJECT DeviceObject);
NTSTATUS StartReaderThread(PDEVICE_OBJECT DeviceObject);
NTSTATUS StopReaderThread(PDEVICE_OBJECT DeviceObject);
VOID NTAPI ReaderThreadRoutine(PVOID StartContext);
VOID ServiceReceivedData(PDEVICE_OBJECT DeviceObject);
VOID ServiceNewRead(PDEVICE_OBJECT DeviceObject);
NTSTATUS SubmitBulkIn(PDEVICE_EXTENSION Extension);
NTSTATUS NTAPI BulkInCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID CancelBulkInTransfer(PDEVICE_EXTENSION Extension);
VOID NTAPI BulkInRetryDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);

// Read requests.
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// A read that has become the current one: served, or left waiting with its timers.
NTSTATUS BeginRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Reader thread: makes the oldest queued read current once no read is.
VOID StartQueuedRead(PDEVICE_OBJECT DeviceObject);
VOID ServiceCurrentRead(PDEVICE_EXTENSION Extension, UCHAR Kind);
VOID StartReadTimers(PDEVICE_EXTENSION Extension, ULONG Length);
VOID NTAPI ReadTotalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI ReadIntervalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID AbortCurrentRead(PDEVICE_OBJECT DeviceObject);
