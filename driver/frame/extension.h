// DEVICE_EXTENSION: the whole state of one port, with its two large buffers inline.
#pragma once
#include "platform.h"
#include "request_queue.h"

// Pool tags, as they read in memory.
#define ORVIX_POOL_TAG 0x206D6457  // "Wdm "
#define PORT_NAME_TAG 0x4E616D65   // "emaN"
#define LINK_NAME_TAG 0x56436F6D   // "moCV"

#define RX_BUFFER_SIZE 1600000
#define TX_BUFFER_SIZE 200067
#define TRANSFER_BUFFER_SIZE 64
#define PORT_NAME_BUFFER_SIZE 66
#define LINK_NAME_BUFFER_SIZE 130

typedef struct _PIPE_CONTEXT {
  USBD_PIPE_INFORMATION PipeInfo;
} PIPE_CONTEXT, *PPIPE_CONTEXT;

typedef struct _INTERFACE_ENTRY {
  ULONG PipeCount;
  PPIPE_CONTEXT Pipes;
} INTERFACE_ENTRY, *PINTERFACE_ENTRY;

typedef struct _DEVICE_EXTENSION {
  // Core state.
  PDEVICE_OBJECT FunctionalDeviceObject;  // the device object this extension belongs to
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT LowerDeviceObject;
  LONG IoCount;
  KEVENT DrainedEvent;
  KEVENT RemoveEvent;
  BOOLEAN DeviceStarted;
  BOOLEAN StopPending;
  BOOLEAN RemovePending;
  BOOLEAN DeviceRemoved;
  BOOLEAN PortClosed;
  BOOLEAN CleanedUp;  // the handle's clean-up has run: reads, writes and waits after it are cancelled

  // Port names.
  UNICODE_STRING DeviceName;
  UNICODE_STRING InterfaceName;
  UNICODE_STRING PortName;
  UNICODE_STRING SymbolicLinkName;
  BOOLEAN SymbolicLinkCreated;
  BOOLEAN PortLinkCreated;

  // USB configuration.
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
  ULONG InterfaceCount;
  PINTERFACE_ENTRY InterfaceList;
  ULONG PipeTransferSize;
  DEVICE_CAPABILITIES Capabilities;

  // Power.
  DEVICE_POWER_STATE CurrentPowerState;
  DEVICE_POWER_STATE IdlePowerState;
  BOOLEAN WakeArmed;
  BOOLEAN PowerRequestBusy;
  PIRP HeldSystemPowerIrp;
  KEVENT PowerRequestDoneEvent;

  // Serial settings.
  ULONG BaudRate;
  SERIAL_LINE_CONTROL LineControl;
  SERIAL_CHARS SerialChars;
  SERIAL_HANDFLOW Handflow;
  SERIAL_TIMEOUTS Timeouts;
  KSPIN_LOCK TimeoutLock;
  UCHAR ReadTimeoutMode;
  LARGE_INTEGER ReadIntervalTime;
  LARGE_INTEGER IntervalPollDueTime;
  UCHAR FlowFlags;
  ULONG RxQueueCapacity;

  // Adapter control requests, statistics and errors.
  UCHAR ModemStatus;
  KMUTEX ControlUrbMutex;  // one control request in ControlUrb at a time
  ULONG CommErrors;
  SERIALPERF_STATS PerfStats;

  // Events and wait-on-mask, output flow control.
  ULONG WaitMask;
  ULONG EventsSeen;
  PIRP WaitIrp;
  BOOLEAN WaitPending;
  KSPIN_LOCK EventLock;
  KDPC EventDpc;
  BOOLEAN TxXonState;
  ULONG TxHoldReasons;

  // Internal serial requests.
  BOOLEAN BasicSettingsActive;

  // Receive buffer: a ring of RxCount bytes starting at RxHead.
  ULONG RxCount;
  ULONG RxStatusCount;
  ULONG RxPurges;  // times the buffer was emptied from outside a read (purge, removal)
  ULONG RxHead;    // offset of the oldest unit; always even, so no unit straddles the ring's end
  KSPIN_LOCK RxLock;  // covers RxCount, RxStatusCount, RxPurges and RxHead
  UCHAR BulkInBuffer[TRANSFER_BUFFER_SIZE];
  BOOLEAN BulkInActive;

  // Reader thread and the transfer resources.
  PVOID ReaderThreadObject;
  KEVENT ReaderStopEvent;
  KEVENT ReaderExitedEvent;
  PKTHREAD ReaderExitingThread;  // written by the reader thread alone, before it sets ReaderExitedEvent
  KEVENT BulkInEvent;
  KEVENT ReadRequestEvent;
  KEVENT BulkInIdleEvent;
  KSPIN_LOCK BulkInLock;
  UCHAR BulkInState;
  ULONG BulkInSubmitted;  // transfers submitted so far
  ULONG BulkInCompleted;  // BulkInSubmitted as of the last completion
  KTIMER BulkInRetryTimer;  // reading tried again a while after a failed transfer
  KDPC BulkInRetryDpc;
  PIRP BulkInIrp;
  PURB BulkInUrb;
  USBD_PIPE_HANDLE BulkInPipe;
  PIRP BulkOutIrp;
  PURB BulkOutUrb;
  USBD_PIPE_HANDLE Pipe1Handle;
  USBD_PIPE_HANDLE Pipe2Handle;
  PURB ControlUrb;
  PURB UnconfigureUrb;

  // Read requests.
  PIRP CurrentReadIrp;
  UCHAR ReadState;
  KTIMER ReadTotalTimer;
  KDPC ReadTotalDpc;
  LARGE_INTEGER ReadTotalDueTime;
  KTIMER ReadIntervalTimer;
  KDPC ReadIntervalDpc;
  LARGE_INTEGER LastCharTime;
  BOOLEAN ReadOutstanding;          // a read is being dispatched or is current: one at a time
  LARGE_INTEGER ReadTotalDeadline;  // interrupt time the armed total timer stands for

  // Transmit buffers: TxBuffer holds TxCount bytes from TxHead on.
  ULONG TxCount;
  ULONG TxHead;
  const UCHAR* TxStagedData;  // the write's characters that TxStagedCount frames, still unframed
  ULONG TxStagedCount;
  PUCHAR TxSource;
  ULONG TxSourceIndex;
  ULONG TxSourceLength;
  ULONG TxSourceNext;     // TxSourceIndex once the staged chunk has entered TxBuffer
  BOOLEAN TxStagePending; // the staged chunk waits for room in TxBuffer
  KSPIN_LOCK TxLock;  // covers TxCount, TxHead, TxBuffer's contents, ModemControl and TxCredit
  BOOLEAN TxActive;
  UCHAR ModemControl;
  ULONG RxFlowHolds;

  // Write requests.
  PIRP CurrentWriteIrp;
  BOOLEAN TxHeld;
  BOOLEAN TxWriteQueued;  // the current write's data is with the transmit path: a drain may end it
  LARGE_INTEGER WriteTotalDueTime;
  KTIMER WriteTotalTimer;
  KDPC WriteTotalDpc;
  LARGE_INTEGER WriteDeadline;  // interrupt time the armed write timer stands for

  // Writer thread.
  PVOID WriterThreadObject;
  KEVENT WriterExitedEvent;
  PKTHREAD WriterExitingThread;  // written by the writer thread alone, before it sets WriterExitedEvent
  KEVENT WriterStopEvent;
  KEVENT TxDataEvent;
  KEVENT TxCreditEvent;
  KEVENT BulkOutIdleEvent;
  UCHAR BulkOutBuffer[TRANSFER_BUFFER_SIZE];
  ULONG BulkOutLength;
  KSPIN_LOCK BulkOutLock;
  UCHAR BulkOutState;
  ULONG BulkOutSubmitted;  // transfers submitted so far
  ULONG BulkOutCompleted;  // BulkOutSubmitted as of the last completion
  USHORT TxCredit;

  // Open and close.
  BOOLEAN DeviceOpen;
  KSPIN_LOCK OpenLock;  // DeviceOpen, PortClosed and StopPending: an open sees a close, a query-stop an open

  // Requests waiting for the current read, or for the current write, to end.
  REQUEST_QUEUE ReadQueue;   // reads; a queued read is started by the reader thread
  REQUEST_QUEUE WriteQueue;  // writes and flushes, in the order they came
  LONG WriteQueueStarting;   // interlocked: callers of StartNextWrite; the first one does the work

  // The two large buffers, last so that the fields above stay close together.
  UCHAR RxBuffer[RX_BUFFER_SIZE];
  UCHAR TxBuffer[TX_BUFFER_SIZE];
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;
