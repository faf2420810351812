// Driver entry, dispatch helpers, device creation and state, port naming.
#pragma once
#include "atomic.h"
#include "extension.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Driver-wide state.
extern ULONG NextDeviceNumber;
extern PKMUTEX DevicePowerMutex;

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
NTSTATUS NTAPI SyncCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Sends a request down and waits for it, leaving it with this driver to complete.
NTSTATUS ForwardAndWait(PDEVICE_EXTENSION Extension, PIRP Irp, EVENT_TYPE EventType,
                        KWAIT_REASON WaitReason);

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PDEVICE_OBJECT* Fdo);
VOID IoIncrement(PDEVICE_OBJECT DeviceObject);
LONG IoDecrement(PDEVICE_OBJECT DeviceObject);
BOOLEAN DeviceIsReady(PDEVICE_OBJECT DeviceObject);
VOID DelayOnTimer(PKTIMER Timer, LARGE_INTEGER DueTime);

NTSTATUS RegisterDeviceInterface(PDEVICE_EXTENSION Extension);
VOID ReleaseDeviceInterface(PDEVICE_EXTENSION Extension);
NTSTATUS CreatePortName(PDEVICE_EXTENSION Extension);
NTSTATUS ReadPortName(PDEVICE_EXTENSION Extension, PUNICODE_STRING PortName);
NTSTATUS RemovePortName(PDEVICE_EXTENSION Extension);

// Time since the system started, in 100-ns units: what relative timers run on, and what a
// change of the system clock does not move.
inline LONGLONG InterruptTimeNow() { return (LONGLONG)KeQueryInterruptTime(); }

// A relative due time (negative, 100-ns units) for a time-out in milliseconds; a huge time-out is
// clamped rather than wrapping round into an absolute time in the past.
inline LONGLONG RelativeDueMs(ULONGLONG Milliseconds) {
  const ULONGLONG longest = 0x7FFFFFFFFFFFFFFFULL / 10000ULL;
  if (Milliseconds > longest) Milliseconds = longest;
  return -(LONGLONG)(Milliseconds * 10000ULL);
}

inline PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject) {
  return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}
