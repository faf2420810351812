// Serial control: settings, the adapter's control requests, events and wait-on-mask, device
// control, clean-up, file information and internal requests.
#pragma once
#include "../frame/frame.h"

// FlowFlags bits.
#define FLOW_OUT_XONXOFF 0x01
#define FLOW_OUT_DSR 0x02
#define FLOW_OUT_CTS 0x04
#define FLOW_OUT_XOFF_CONTINUE 0x08
#define FLOW_IN_DTR 0x10
#define FLOW_IN_RTS 0x20
#define FLOW_IN_XONXOFF 0x40
#define FLOW_OUTPUT_MASK 0x0F
#define FLOW_INPUT_MASK 0xF0

// Modem-status bits, as the adapter reports them.
#define MODEM_CTS 0x01
#define MODEM_DSR 0x02
#define MODEM_RI 0x04
#define MODEM_DCD 0x08

// Vendor requests.
#define PORT_REQUEST_OPEN 1
#define PORT_REQUEST_CLOSE 2
#define PORT_REQUEST_SET_LINE 3

// Settings.
VOID SetDefaultSerialSettings(PDEVICE_EXTENSION Extension, BOOLEAN Full);
VOID ApplyHandflow(PDEVICE_OBJECT DeviceObject, const SERIAL_HANDFLOW* New);
// TimeoutLock held: the time-outs and the state derived from them change in one step, and the
// mode is written once, so that a read never sees a mode the caller did not ask for.
VOID SetReadTimeoutState(PDEVICE_EXTENSION Extension, const SERIAL_TIMEOUTS* Timeouts);

// The adapter's control requests.
NTSTATUS SendPortCommand(PDEVICE_OBJECT DeviceObject, UCHAR Request);
BOOLEAN BuildLineSettings(PDEVICE_EXTENSION Extension, UCHAR Block[8]);
NTSTATUS SendLineSettings(PDEVICE_OBJECT DeviceObject, const UCHAR Block[8]);

// Events, wait-on-mask and output flow control.
VOID RecordEvents(PDEVICE_EXTENSION Extension, ULONG Events);
VOID ClearEvents(PDEVICE_EXTENSION Extension, ULONG Keep);
VOID RecordCommErrors(PDEVICE_EXTENSION Extension, ULONG Errors);
NTSTATUS GetWaitMask(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS SetWaitMask(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS WaitOnMask(PDEVICE_EXTENSION Extension, PIRP Irp);
VOID NTAPI EventDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI WaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID CancelPendingWait(PDEVICE_EXTENSION Extension);
NTSTATUS SetXoff(PDEVICE_EXTENSION Extension);
NTSTATUS SetXon(PDEVICE_EXTENSION Extension);
BOOLEAN TransmitMayResume(PDEVICE_EXTENSION Extension, UCHAR Flags, UCHAR Modem);

// Dispatch routines.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN LineControlChanged(const UCHAR New[3], const UCHAR Old[3]);
VOID FillCommProperties(PDEVICE_EXTENSION Extension, PSERIAL_COMMPROP Out);
