// Linked only into the build of ORVIX.sys that runs under Wine's ntoskrnl.exe in the Wine tests;
// the shipped driver never contains it. Where Wine's kernel does less than Windows, this object
// takes the driver's import in Wine's place, so the unchanged driver sources behave as on
// Windows:
// - IoOpenDeviceRegistryKey: Wine access-checks kernel callers, and a key opened for 0x20000
//   cannot be queried; the access is widened by KEY_READ.
// - PoRequestPowerIrp: missing in Wine (the process aborts); built here from IoAllocateIrp.
// - KeInitializeDpc, KeInsertQueueDpc, KeRemoveQueueDpc: Wine never runs a queued DPC and lacks
//   KeRemoveQueueDpc; a worker thread runs the queue here.
// - KeSetTimer, KeCancelTimer: Wine runs a timer's DPC inside its timer callback, where
//   cancelling or re-arming that timer deadlocks, and its KeCancelTimer still reports a timer
//   that already fired as pending. Each timer's DPC goes through the queue above instead, and
//   the pending state is kept here.
// - IRP_MJ_CREATE: Wine returns the handle without waiting for the driver's answer, so a create
//   the driver refused still gets requests and a close, which Windows never sends. Requests on
//   such a file object are answered here with the create's status and never reach the driver.
// - IRP_MN_REMOVE_DEVICE: Wine sends it right after IRP_MN_SURPRISE_REMOVAL, while an
//   application may still hold the port open, and the application's close then runs beside the
//   removal that frees what the close uses. Windows sends it only once the last file object is
//   closed; the removal waits here until then.
// - KeQueryInterruptTime: see interrupt_time.h; the driver's calls land here.
// Every import is taken by defining its __imp_ pointer, which the linker then prefers to the
// import library; the real routines are found with MmGetSystemRoutineAddress.
#include "../../../driver/frame/platform.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

// Reports the first use of each stand-in in the kernel's debug output, so that the test's log
// shows which of Wine's gaps the driver met.
enum Gap { kRegistryAccess, kPowerIrp, kQueueDpc, kRemoveQueueDpc, kTimerDpc, kRefusedCreate, kRemoveWhileOpen, kGaps };
const char* const kGapNames[kGaps] = {"IoOpenDeviceRegistryKey access", "PoRequestPowerIrp",
                                      "KeInsertQueueDpc", "KeRemoveQueueDpc", "timer DPC",
                                      "refused create", "removal while open"};
LONG GapSeen[kGaps];

void Met(Gap gap) {
  if (InterlockedExchange(&GapSeen[gap], 1) == 0) DbgPrint("WineCompat: bridged %s\n", kGapNames[gap]);
}

// ---- DPC queue ------------------------------------------------------------------------------

// The queue lock covers Queue, the DpcData marks of queued DPCs and Stopping.
KSPIN_LOCK QueueLock;
LIST_ENTRY Queue;
BOOLEAN Stopping;
KEVENT QueueWork;
PVOID Worker;  // the worker thread's object, referenced

// DpcData marks a DPC as queued here.
PVOID const kQueued = (PVOID)&Queue;

VOID NTAPI CompatInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE Routine, PVOID Context) {
  RtlZeroMemory(Dpc, sizeof(KDPC));
  Dpc->Type = 19;  // DpcObject
  Dpc->Importance = MediumImportance;
  Dpc->DeferredRoutine = Routine;
  Dpc->DeferredContext = Context;
}

BOOLEAN NTAPI CompatInsertQueueDpc(PRKDPC Dpc, PVOID Argument1, PVOID Argument2) {
  Met(kQueueDpc);
  KIRQL irql;
  KeAcquireSpinLock(&QueueLock, &irql);
  BOOLEAN queued = Dpc->DpcData == NULL;
  if (queued) {
    Dpc->SystemArgument1 = Argument1;
    Dpc->SystemArgument2 = Argument2;
    Dpc->DpcData = kQueued;
    InsertTailList(&Queue, &Dpc->DpcListEntry);
  }
  KeReleaseSpinLock(&QueueLock, irql);
  if (queued) KeSetEvent(&QueueWork, IO_NO_INCREMENT, FALSE);
  return queued;
}

BOOLEAN NTAPI CompatRemoveQueueDpc(PRKDPC Dpc) {
  Met(kRemoveQueueDpc);
  KIRQL irql;
  KeAcquireSpinLock(&QueueLock, &irql);
  BOOLEAN removed = Dpc->DpcData != NULL;
  if (removed) {
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = NULL;
  }
  KeReleaseSpinLock(&QueueLock, irql);
  return removed;
}

VOID NTAPI RunQueue(PVOID) {
  for (;;) {
    KeWaitForSingleObject(&QueueWork, Executive, KernelMode, FALSE, NULL);
    for (;;) {
      KIRQL irql;
      KeAcquireSpinLock(&QueueLock, &irql);
      if (IsListEmpty(&Queue)) {
        BOOLEAN stop = Stopping;
        KeReleaseSpinLock(&QueueLock, irql);
        if (stop) PsTerminateSystemThread(STATUS_SUCCESS);
        break;
      }
      PRKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&Queue), KDPC, DpcListEntry);
      dpc->DpcData = NULL;
      PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
      PVOID context = dpc->DeferredContext;
      PVOID argument1 = dpc->SystemArgument1;
      PVOID argument2 = dpc->SystemArgument2;
      KeReleaseSpinLock(&QueueLock, irql);
      routine(dpc, context, argument1, argument2);
    }
  }
}

// ---- Timers ---------------------------------------------------------------------------------

typedef BOOLEAN(NTAPI* SetTimerEx)(PKTIMER, LARGE_INTEGER, LONG, PKDPC);
typedef BOOLEAN(NTAPI* CancelTimer)(PKTIMER);
SetTimerEx RealSetTimerEx;
CancelTimer RealCancelTimer;

// One per timer the driver ever armed. TimerLock covers every field of every slot.
struct TimerSlot {
  PKTIMER Timer;
  KDPC Trampoline;  // what Wine's timer callback runs
  PKDPC Target;     // the driver's DPC, NULL for a timer that is only waited on
  BOOLEAN Pending;
};
constexpr int kTimerSlots = 64;
TimerSlot Slots[kTimerSlots];
KSPIN_LOCK TimerLock;

// Runs inside Wine's timer callback, so it only queues: the driver's DPC then runs on the queue
// worker, where cancelling or re-arming the timer is safe.
VOID NTAPI TimerFired(PKDPC, PVOID Context, PVOID, PVOID) {
  TimerSlot* slot = (TimerSlot*)Context;
  KIRQL irql;
  KeAcquireSpinLock(&TimerLock, &irql);
  PKDPC target = slot->Pending ? slot->Target : NULL;
  slot->Pending = FALSE;
  KeReleaseSpinLock(&TimerLock, irql);
  if (target != NULL) {
    Met(kTimerDpc);
    CompatInsertQueueDpc(target, NULL, NULL);
  }
}

TimerSlot* SlotOf(PKTIMER Timer, BOOLEAN create) {
  KIRQL irql;
  KeAcquireSpinLock(&TimerLock, &irql);
  TimerSlot* found = NULL;
  TimerSlot* free = NULL;
  for (int i = 0; i < kTimerSlots && found == NULL; ++i) {
    if (Slots[i].Timer == Timer) found = &Slots[i];
    else if (Slots[i].Timer == NULL && free == NULL) free = &Slots[i];
  }
  if (found == NULL && create && free != NULL) {
    found = free;
    found->Timer = Timer;
    found->Pending = FALSE;
    CompatInitializeDpc(&found->Trampoline, TimerFired, found);
  }
  KeReleaseSpinLock(&TimerLock, irql);
  return found;
}

BOOLEAN NTAPI CompatCancelTimer(PKTIMER Timer) {
  // Wine's cancel waits for a running callback of the timer; TimerFired never blocks.
  BOOLEAN wine = RealCancelTimer(Timer);
  TimerSlot* slot = SlotOf(Timer, FALSE);
  if (slot == NULL) return wine;
  KIRQL irql;
  KeAcquireSpinLock(&TimerLock, &irql);
  BOOLEAN pending = slot->Pending;
  slot->Pending = FALSE;
  KeReleaseSpinLock(&TimerLock, irql);
  return pending;
}

BOOLEAN NTAPI CompatSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  TimerSlot* slot = SlotOf(Timer, TRUE);
  if (slot == NULL) return RealSetTimerEx(Timer, DueTime, 0, Dpc);
  // Cancelled first, outside Wine's timer lock, which its own re-arm would hold while waiting
  // for the callback that needs it.
  BOOLEAN pending = CompatCancelTimer(Timer);
  KIRQL irql;
  KeAcquireSpinLock(&TimerLock, &irql);
  slot->Target = Dpc;
  slot->Pending = TRUE;
  KeReleaseSpinLock(&TimerLock, irql);
  RealSetTimerEx(Timer, DueTime, 0, &slot->Trampoline);
  return pending;
}

// ---- Registry and power ---------------------------------------------------------------------

typedef NTSTATUS(NTAPI* OpenDeviceRegistryKey)(PDEVICE_OBJECT, ULONG, ACCESS_MASK, PHANDLE);
OpenDeviceRegistryKey RealOpenDeviceRegistryKey;

NTSTATUS NTAPI CompatOpenDeviceRegistryKey(PDEVICE_OBJECT Device, ULONG KeyType, ACCESS_MASK Access,
                                           PHANDLE Key) {
  Met(kRegistryAccess);
  return RealOpenDeviceRegistryKey(Device, KeyType, Access | KEY_READ, Key);
}

// Pool tag "OrCp".
constexpr ULONG kPowerTag = 0x7043724F;

struct PowerRequest {
  PDEVICE_OBJECT Pdo;
  PDEVICE_OBJECT Top;
  UCHAR Minor;
  POWER_STATE State;
  PREQUEST_POWER_COMPLETE Done;
  PVOID Context;
};

NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  PowerRequest* request = (PowerRequest*)Context;
  if (request->Done != NULL)
    request->Done(request->Pdo, request->Minor, request->State, request->Context, &Irp->IoStatus);
  ObDereferenceObject(request->Top);
  ExFreePoolWithTag(request, kPowerTag);
  IoFreeIrp(Irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a device power request to the top of the PDO's stack, as the power manager does.
NTSTATUS NTAPI CompatRequestPowerIrp(PDEVICE_OBJECT Pdo, UCHAR Minor, POWER_STATE State,
                                     PREQUEST_POWER_COMPLETE Done, PVOID Context, PIRP* Out) {
  Met(kPowerIrp);
  if (Minor != IRP_MN_SET_POWER && Minor != IRP_MN_QUERY_POWER) return STATUS_INVALID_PARAMETER_2;
  PowerRequest* request =
      (PowerRequest*)ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerRequest), kPowerTag);
  if (request == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Pdo);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == NULL) {
    ObDereferenceObject(top);
    ExFreePoolWithTag(request, kPowerTag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *request = PowerRequest{Pdo, top, Minor, State, Done, Context};
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = Minor;
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State = State;
  IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
  if (Out != NULL) *Out = irp;
  PoCallDriver(top, irp);
  return STATUS_PENDING;
}

PVOID Routine(const WCHAR* name) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  return MmGetSystemRoutineAddress(&text);
}

// ---- Refused creates -------------------------------------------------------------------------

// RefusedLock covers Refused and RefusedStatus.
KSPIN_LOCK RefusedLock;
constexpr int kRefusedSlots = 32;
PFILE_OBJECT Refused[kRefusedSlots];
NTSTATUS RefusedStatus[kRefusedSlots];
PDRIVER_DISPATCH Dispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];

// FilesLock covers OpenFiles, the file objects the driver accepted and has not yet had closed
// (the test has one port), and FilesClosed, set while there are none.
KSPIN_LOCK FilesLock;
LONG OpenFiles;
KEVENT FilesClosed;

VOID CountFile(LONG change) {
  KIRQL irql;
  KeAcquireSpinLock(&FilesLock, &irql);
  OpenFiles += change;
  if (OpenFiles == 0) KeSetEvent(&FilesClosed, IO_NO_INCREMENT, FALSE);
  else KeClearEvent(&FilesClosed);
  KeReleaseSpinLock(&FilesLock, irql);
}

// Holds a removal back until the driver's files are closed, as Windows does; bounded, so that
// an application that never closes cannot keep the test from ending.
VOID AwaitFilesClosed() {
  KIRQL irql;
  KeAcquireSpinLock(&FilesLock, &irql);
  BOOLEAN open = OpenFiles > 0;
  KeReleaseSpinLock(&FilesLock, irql);
  if (!open) return;
  Met(kRemoveWhileOpen);
  LARGE_INTEGER limit;
  limit.QuadPart = -60LL * 10000000LL;
  KeWaitForSingleObject(&FilesClosed, Executive, KernelMode, FALSE, &limit);
}

// The create's status when the driver refused this file object, else STATUS_SUCCESS; `forget`
// drops the record.
NTSTATUS RefusedStatusOf(PFILE_OBJECT File, BOOLEAN forget) {
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;
  KeAcquireSpinLock(&RefusedLock, &irql);
  for (int i = 0; i < kRefusedSlots; ++i) {
    if (File != NULL && Refused[i] == File) {
      status = RefusedStatus[i];
      if (forget) Refused[i] = NULL;
      break;
    }
  }
  KeReleaseSpinLock(&RefusedLock, irql);
  return status;
}

NTSTATUS NTAPI CompatDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  UCHAR major = sp->MajorFunction;
  PFILE_OBJECT file = sp->FileObject;
  if (major == IRP_MJ_CREATE) {
    NTSTATUS status = Dispatch[major](Device, Irp);
    // The driver completes creates at once; a refusal is remembered for the file object.
    if (!NT_SUCCESS(status) && status != STATUS_PENDING && file != NULL) {
      Met(kRefusedCreate);
      KIRQL irql;
      KeAcquireSpinLock(&RefusedLock, &irql);
      for (int i = 0; i < kRefusedSlots; ++i) {
        if (Refused[i] == NULL) {
          Refused[i] = file;
          RefusedStatus[i] = status;
          break;
        }
      }
      KeReleaseSpinLock(&RefusedLock, irql);
    } else if (NT_SUCCESS(status) && status != STATUS_PENDING) {
      CountFile(1);
    }
    return status;
  }
  if (major == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE) AwaitFilesClosed();
  if (major != IRP_MJ_PNP && major != IRP_MJ_POWER && major != IRP_MJ_INTERNAL_DEVICE_CONTROL &&
      major != IRP_MJ_SYSTEM_CONTROL) {
    NTSTATUS refused = RefusedStatusOf(file, major == IRP_MJ_CLOSE);
    if (!NT_SUCCESS(refused)) {
      NTSTATUS status = major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE ? STATUS_SUCCESS : refused;
      Irp->IoStatus.Status = status;
      Irp->IoStatus.Information = 0;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return status;
    }
  }
  NTSTATUS status = Dispatch[major](Device, Irp);
  if (major == IRP_MJ_CLOSE) CountFile(-1);
  return status;
}

PDRIVER_UNLOAD DriverUnload;

VOID NTAPI CompatUnload(PDRIVER_OBJECT DriverObject) {
  if (DriverUnload != NULL) DriverUnload(DriverObject);
  KIRQL irql;
  KeAcquireSpinLock(&QueueLock, &irql);
  Stopping = TRUE;
  KeReleaseSpinLock(&QueueLock, irql);
  KeSetEvent(&QueueWork, IO_NO_INCREMENT, FALSE);
  if (Worker != NULL) {
    KeWaitForSingleObject(Worker, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(Worker);
  }
}

}  // namespace

// The driver's imports of these routines resolve to the pointers below.
extern "C" {
PVOID __imp_IoOpenDeviceRegistryKey = (PVOID)CompatOpenDeviceRegistryKey;
PVOID __imp_PoRequestPowerIrp = (PVOID)CompatRequestPowerIrp;
PVOID __imp_KeInitializeDpc = (PVOID)CompatInitializeDpc;
PVOID __imp_KeInsertQueueDpc = (PVOID)CompatInsertQueueDpc;
PVOID __imp_KeRemoveQueueDpc = (PVOID)CompatRemoveQueueDpc;
PVOID __imp_KeSetTimer = (PVOID)CompatSetTimer;
PVOID __imp_KeCancelTimer = (PVOID)CompatCancelTimer;
}

extern "C" ULONGLONG WineCompatInterruptTime(void) {
  LARGE_INTEGER frequency;
  LARGE_INTEGER count = KeQueryPerformanceCounter(&frequency);
  ULONGLONG f = (ULONGLONG)frequency.QuadPart;
  ULONGLONG c = (ULONGLONG)count.QuadPart;
  // In 100 ns units, without overflowing the product.
  return c / f * 10000000ULL + c % f * 10000000ULL / f;
}

extern "C" NTSTATUS NTAPI WineCompatDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  RealOpenDeviceRegistryKey = (OpenDeviceRegistryKey)Routine(L"IoOpenDeviceRegistryKey");
  RealSetTimerEx = (SetTimerEx)Routine(L"KeSetTimerEx");
  RealCancelTimer = (CancelTimer)Routine(L"KeCancelTimer");
  if (RealOpenDeviceRegistryKey == NULL || RealSetTimerEx == NULL || RealCancelTimer == NULL)
    return STATUS_PROCEDURE_NOT_FOUND;
  KeInitializeSpinLock(&QueueLock);
  KeInitializeSpinLock(&TimerLock);
  KeInitializeSpinLock(&RefusedLock);
  KeInitializeSpinLock(&FilesLock);
  KeInitializeEvent(&FilesClosed, NotificationEvent, TRUE);
  InitializeListHead(&Queue);
  KeInitializeEvent(&QueueWork, SynchronizationEvent, FALSE);
  HANDLE thread;
  NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, RunQueue, NULL);
  if (!NT_SUCCESS(status)) return status;
  status = ObReferenceObjectByHandle(thread, SYNCHRONIZE, NULL, KernelMode, &Worker, NULL);
  ZwClose(thread);
  if (!NT_SUCCESS(status)) Worker = NULL;
  status = DriverEntry(DriverObject, RegistryPath);
  if (!NT_SUCCESS(status)) {
    CompatUnload(NULL);
    return status;
  }
  DriverUnload = DriverObject->DriverUnload;
  DriverObject->DriverUnload = CompatUnload;
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
    Dispatch[i] = DriverObject->MajorFunction[i];
    DriverObject->MajorFunction[i] = CompatDispatch;
  }
  return status;
}
