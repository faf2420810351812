// IRPs: allocation, the call down a device stack, completion up it, cancellation, and the
// verifier checks on all of them.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

#include "../kernel/activity.h"
#include "../kernel/faults.h"
#include "../kernel/irql.h"
#include "../kernel/thread_state.h"
#include "../kernel/verifier.h"
#include "io_manager.h"

namespace hk::io {
namespace {

constexpr uint32_t kLive = 0x49525021;   // "!PRI"
constexpr uint32_t kFreed = 0x46524545;  // "EERF"

struct alignas(16) IrpShadow {
  uint32_t Magic = kLive;
  std::atomic<int> Refs{1};  // the allocation, plus one per call or completion in progress
  Origin Kind = Origin::Allocated;
  std::atomic<bool> InFlight{false};  // sent and not yet back with its originator
  std::atomic<bool> InWalk{false};
  std::atomic<bool> Completed{false};  // completion reached the top
  std::atomic<bool> Freed{false};
  std::atomic<uint64_t> Generation{0};
  NTSTATUS FinalStatus = STATUS_SUCCESS;
  std::function<void(PIRP)> OnFinal;
  PVOID OutputBuffer = nullptr;  // METHOD_BUFFERED output of a threaded IOCTL
  ULONG OutputLength = 0;
  size_t Bytes = 0;
  // Devices the IRP was dispatched to, by stack level, until completion passes that level.
  std::vector<std::pair<int, PDEVICE_OBJECT>> Calls;
  // Levels whose dispatch routine returned STATUS_PENDING before completion reached them: by the
  // time it does, that level must be marked pending (directly or by its completion routine).
  std::vector<int> PendingLevels;
  // Levels completion has passed in this flight, with their major function and whether each was
  // marked pending then: read later instead of the IRP, which its owner may be reusing by then.
  struct PassedLevel {
    int Level;
    UCHAR Major;
    bool Marked;
  };
  std::vector<PassedLevel> Passed;
};

std::mutex g_irpLock;
std::map<PIRP, std::string> g_live;
std::deque<IrpShadow*> g_quarantine;

IrpShadow* Shadow(PIRP irp) { return reinterpret_cast<IrpShadow*>(irp) - 1; }

std::string Describe(PIRP irp) {
  char text[96];
  std::snprintf(text, sizeof text, "IRP %p", (void*)irp);
  return text;
}

bool Check(PIRP irp, const char* routine) {
  if (!irp) {
    verifier::Report("irp", std::string(routine) + " with a NULL IRP");
    return false;
  }
  IrpShadow* shadow = Shadow(irp);
  if (shadow->Magic == kLive && !shadow->Freed) return true;
  verifier::Report("irp", std::string(routine) + " on " + Describe(irp) +
                              (shadow->Magic == kFreed || shadow->Freed ? ", which was already freed"
                                                                        : ", which is not an IRP"));
  return false;
}

void Release(IrpShadow* shadow) {
  if (--shadow->Refs != 0) return;
  shadow->Magic = kFreed;
  shadow->OnFinal = nullptr;
  std::lock_guard<std::mutex> guard(g_irpLock);
  // Freed IRPs stay mapped for a while, so a late use is reported instead of corrupting memory.
  g_quarantine.push_back(shadow);
  if (g_quarantine.size() > 2048) {
    IrpShadow* old = g_quarantine.front();
    g_quarantine.pop_front();
    old->~IrpShadow();
    std::free(old);
  }
}

void Free(PIRP irp) {
  IrpShadow* shadow = Shadow(irp);
  if (shadow->Freed.exchange(true)) {
    verifier::Report("irp", "IoFreeIrp on " + Describe(irp) + " twice");
    return;
  }
  {
    std::lock_guard<std::mutex> guard(g_irpLock);
    g_live.erase(irp);
  }
  Release(shadow);
}

PIRP Allocate(CCHAR stackSize, Origin kind, const std::string& what) {
  if (stackSize < 1) stackSize = 1;
  size_t bytes = sizeof(IrpShadow) + sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION);
  void* block = std::calloc(1, bytes);
  auto* shadow = new (block) IrpShadow;
  shadow->Kind = kind;
  shadow->Bytes = bytes;
  auto* irp = reinterpret_cast<PIRP>(shadow + 1);
  irp->Type = 6;
  irp->Size = (USHORT)(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
  irp->StackCount = stackSize;
  irp->CurrentLocation = (CHAR)(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  irp->Tail.Overlay.Thread = CurrentThread().Object;
  std::lock_guard<std::mutex> guard(g_irpLock);
  g_live[irp] = what;
  return irp;
}

PIO_STACK_LOCATION Location(PIRP irp, int level) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (level - 1);
}

// Completion has passed `level`: no driver called at that level owns the IRP any more (with
// IoSkipCurrentIrpStackLocation two drivers share a level).
void ReportUnmarked(PIRP irp, UCHAR major) {
  verifier::Report("pending", "a dispatch routine returned STATUS_PENDING for " + Describe(irp) + " (major 0x" +
                                  std::to_string(major) + ") without marking it pending");
}

void CheckMarked(PIRP irp, int level) {
  if (!(Location(irp, level)->Control & SL_PENDING_RETURNED)) ReportUnmarked(irp, Location(irp, level)->MajorFunction);
}

// Lock() held: the same check for a level completion passed earlier, from what it saw then.
void CheckMarkedWhenPassed(PIRP irp, int level) {
  for (const auto& passed : Shadow(irp)->Passed) {
    if (passed.Level == level) {
      if (!passed.Marked) ReportUnmarked(irp, passed.Major);
      return;
    }
  }
}

void Disown(PIRP irp, int level) {
  std::lock_guard<std::mutex> guard(Lock());
  PIO_STACK_LOCATION at = Location(irp, level);
  Shadow(irp)->Passed.push_back({level, at->MajorFunction, (at->Control & SL_PENDING_RETURNED) != 0});
  auto& pending = Shadow(irp)->PendingLevels;
  for (auto it = pending.begin(); it != pending.end();) {
    if (*it == level) {
      CheckMarked(irp, level);
      it = pending.erase(it);
    } else {
      ++it;
    }
  }
  auto& calls = Shadow(irp)->Calls;
  for (auto it = calls.begin(); it != calls.end();) {
    if (it->first != level) {
      ++it;
      continue;
    }
    if (IsLiveDevice(it->second)) {
      auto& owned = Record(it->second).Owned;
      auto o = owned.find(irp);
      if (o != owned.end()) owned.erase(o);
    }
    it = calls.erase(it);
  }
}

void FinishThreaded(PIRP irp) {
  IrpShadow* shadow = Shadow(irp);
  PVOID system = irp->AssociatedIrp.SystemBuffer;
  if (shadow->OutputBuffer && irp->IoStatus.Information) {
    ULONG_PTR bytes = irp->IoStatus.Information;
    if (bytes > shadow->OutputLength) {
      verifier::Report("irp", "a driver reported " + std::to_string(bytes) +
                                  " output bytes for a buffer of " +
                                  std::to_string(shadow->OutputLength));
      bytes = shadow->OutputLength;
    }
    if (NT_SUCCESS(irp->IoStatus.Status)) std::memcpy(shadow->OutputBuffer, system, bytes);
  }
  std::free(system);
  irp->AssociatedIrp.SystemBuffer = nullptr;
  if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = irp->UserEvent;
  Free(irp);
  if (event) KeSetEvent(event, 0, FALSE);
}

}  // namespace

PIRP AllocateSystemIrp(CCHAR stackSize, std::function<void(PIRP)> onFinal) {
  PIRP irp = Allocate(stackSize, Origin::System, "system request");
  Shadow(irp)->OnFinal = std::move(onFinal);
  return irp;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  NTSTATUS final = STATUS_PENDING;
  auto previous = std::move(Shadow(irp)->OnFinal);
  Shadow(irp)->OnFinal = [&, previous](PIRP completed) {
    final = completed->IoStatus.Status;
    if (previous) previous(completed);
    KeSetEvent(&done, 0, FALSE);
  };
  IofCallDriver(device, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return final;
}

void FreeQuarantine() {
  std::lock_guard<std::mutex> guard(g_irpLock);
  for (IrpShadow* old : g_quarantine) {
    old->~IrpShadow();
    std::free(old);
  }
  g_quarantine.clear();
}

void ReferenceIrp(PIRP irp) { ++Shadow(irp)->Refs; }
void DereferenceIrp(PIRP irp) { Release(Shadow(irp)); }
bool IrpCompleted(PIRP irp) { return Shadow(irp)->Completed; }

std::vector<std::string> LiveIrps() {
  std::lock_guard<std::mutex> guard(g_irpLock);
  std::vector<std::string> out;
  for (const auto& [irp, what] : g_live) {
    const PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation;
    char text[160];
    if (irp->CurrentLocation <= irp->StackCount)
      std::snprintf(text, sizeof text, "%s (%p), major 0x%02X minor 0x%02X, at stack level %d of %d",
                    what.c_str(), (void*)irp, sp->MajorFunction, sp->MinorFunction,
                    irp->CurrentLocation, irp->StackCount);
    else
      std::snprintf(text, sizeof text, "%s (%p), not in any driver", what.c_str(), (void*)irp);
    out.push_back(text);
  }
  return out;
}

}  // namespace hk::io

using namespace hk;
using namespace hk::io;

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  if (CurrentThread().Irql > DISPATCH_LEVEL) verifier::Report("irql", "IoAllocateIrp above DISPATCH_LEVEL");
  if (faults::ShouldFail(faults::Resource::Irp, 0, __builtin_return_address(0))) return nullptr;
  return Allocate(StackSize, Origin::Allocated, "IRP from IoAllocateIrp");
}

void IoFreeIrp(PIRP Irp) {
  if (!Check(Irp, "IoFreeIrp")) return;
  IrpShadow* shadow = Shadow(Irp);
  if (shadow->InFlight)
    verifier::Report("irp", "IoFreeIrp on " + Describe(Irp) + " while a lower driver still owns it");
  if (shadow->Kind != Origin::Allocated)
    verifier::Report("irp", "IoFreeIrp on " + Describe(Irp) + ", which the I/O manager frees itself");
  Free(Irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  if (CurrentThread().Irql != PASSIVE_LEVEL)
    verifier::Report("irql", "IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
  if (faults::ShouldFail(faults::Resource::Irp, 0, __builtin_return_address(0))) return nullptr;
  PIRP irp = Allocate(DeviceObject->StackSize, Origin::Threaded,
                      "IRP from IoBuildDeviceIoControlRequest");
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction =
      InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  switch (IoControlCode & 3) {
    case METHOD_BUFFERED: {
      ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
      if (length) {
        irp->AssociatedIrp.SystemBuffer = std::malloc(length);
        if (InputBuffer && InputBufferLength)
          std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
      }
      Shadow(irp)->OutputBuffer = OutputBuffer;
      Shadow(irp)->OutputLength = OutputBufferLength;
      break;
    }
    case METHOD_NEITHER:
      next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
    default:
      verifier::Report("irp", "IoBuildDeviceIoControlRequest with a direct-I/O method is not modelled");
      break;
  }
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->IoStatus.Status = STATUS_SUCCESS;
  return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  sched::Point("IoCallDriver");
  if (!Check(Irp, "IoCallDriver")) return STATUS_INVALID_PARAMETER;
  if (!DeviceObject || !IsLiveDevice(DeviceObject)) {
    verifier::Report("irp", "IoCallDriver to a device object that does not exist (deleted?)");
    return STATUS_NO_SUCH_DEVICE;
  }
  if (CurrentThread().Irql > DISPATCH_LEVEL) verifier::Report("irql", "IoCallDriver above DISPATCH_LEVEL");
  IrpShadow* shadow = Shadow(Irp);
  ++shadow->Refs;
  if (!shadow->InFlight.exchange(true)) {
    shadow->Completed = false;
    ++shadow->Generation;
    std::lock_guard<std::mutex> guard(Lock());
    shadow->Passed.clear();
  }
  if (Irp->CurrentLocation <= 1) {
    verifier::Report("irp", "IoCallDriver with no stack location left for the next driver");
    Release(shadow);
    return STATUS_NO_MORE_IRP_STACK_LOCATIONS;
  }
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
  sp->DeviceObject = DeviceObject;
  int level = Irp->CurrentLocation;
  uint64_t generation = shadow->Generation;
  {
    std::lock_guard<std::mutex> guard(Lock());
    // A device holds the IRP until completion passes its level: sending it there again (a driver
    // resubmitting its own request before it came back) gives one IRP two owners.
    if (std::any_of(shadow->Calls.begin(), shadow->Calls.end(),
                    [DeviceObject](const std::pair<int, PDEVICE_OBJECT>& c) { return c.second == DeviceObject; }))
      verifier::Report("irp", "IoCallDriver sent " + Describe(Irp) +
                                  " to a device that still holds it (sent again before it was completed)");
    Record(DeviceObject).Owned.insert(Irp);
    shadow->Calls.push_back({level, DeviceObject});
  }
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[sp->MajorFunction];
  NTSTATUS status;
  if (dispatch) {
    status = dispatch(DeviceObject, Irp);
  } else {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    status = STATUS_INVALID_DEVICE_REQUEST;
  }
  if (shadow->Generation == generation) {
    if (status == STATUS_PENDING) {
      std::lock_guard<std::mutex> guard(Lock());
      // Whether completion has passed this level already is read from the record it removes under
      // this lock, not from CurrentLocation, which a completing thread is moving meanwhile.
      bool passed = std::none_of(shadow->Calls.begin(), shadow->Calls.end(),
                                 [level](const std::pair<int, PDEVICE_OBJECT>& c) { return c.first == level; });
      if (shadow->Completed || passed) CheckMarkedWhenPassed(Irp, level);
      else shadow->PendingLevels.push_back(level);
    }
    bool top = shadow->Kind == Origin::System && level == Irp->StackCount;
    if (top && status != STATUS_PENDING) {
      if (!shadow->Completed) {
        verifier::Report("completion", "a dispatch routine returned " + std::to_string(status) +
                                           " without completing " + Describe(Irp) +
                                           " or marking it pending");
      } else if (shadow->FinalStatus != status) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "a dispatch routine completed %s with 0x%08X but returned 0x%08X",
                      Describe(Irp).c_str(), (unsigned)shadow->FinalStatus, (unsigned)status);
        verifier::Report("status", text);
      }
    }
  }
  Release(shadow);
  return status;
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  sched::Point("IoCompleteRequest");
  if (Irp && (Shadow(Irp)->Magic == kFreed || Shadow(Irp)->Freed)) {
    verifier::Report("double-completion", Describe(Irp) + " completed after it was completed and freed");
    return;
  }
  if (!Check(Irp, "IoCompleteRequest")) return;
  IrpShadow* shadow = Shadow(Irp);
  if (shadow->InWalk || shadow->Completed) {
    verifier::Report("double-completion", Describe(Irp) + " completed twice");
    return;
  }
  if (Irp->CurrentLocation > Irp->StackCount) {
    verifier::Report("double-completion", "IoCompleteRequest on " + Describe(Irp) +
                                              ", which no driver holds (completed already?)");
    return;
  }
  if (Irp->IoStatus.Status == STATUS_PENDING)
    verifier::Report("completion", "IoCompleteRequest with status STATUS_PENDING");
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_RELAXED))
    verifier::Report("cancel", Describe(Irp) + " completed while it still has a cancel routine");
  if (CurrentThread().Irql > DISPATCH_LEVEL) verifier::Report("irql", "IoCompleteRequest above DISPATCH_LEVEL");
  ++shadow->Refs;
  shadow->InWalk = true;
  PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
  for (; Irp->CurrentLocation <= Irp->StackCount + 1;
       sp++, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
    Disown(Irp, Irp->CurrentLocation - 1);
    Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                  (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                  (__atomic_load_n(&Irp->Cancel, __ATOMIC_RELAXED) && (sp->Control & SL_INVOKE_ON_CANCEL));
    if (invoke && sp->CompletionRoutine) {
      bool originator = Irp->CurrentLocation == Irp->StackCount + 1;
      PDEVICE_OBJECT device = originator ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
      if (originator) shadow->InFlight = false;  // the originator owns it again
      shadow->InWalk = false;
      NTSTATUS result = sp->CompletionRoutine(device, Irp, sp->Context);
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        Release(shadow);
        return;
      }
      if (shadow->Freed) {
        verifier::Report("irp", "a completion routine freed " + Describe(Irp) +
                                    " and did not return STATUS_MORE_PROCESSING_REQUIRED");
        Release(shadow);
        return;
      }
      shadow->InWalk = true;
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }
  shadow->InWalk = false;
  shadow->InFlight = false;
  shadow->FinalStatus = Irp->IoStatus.Status;
  shadow->Completed = true;
  switch (shadow->Kind) {
    case Origin::Allocated:
      verifier::Report("completion", Describe(Irp) +
                                         " from IoAllocateIrp was completed up to the I/O manager; its "
                                         "completion routine must return STATUS_MORE_PROCESSING_REQUIRED");
      break;
    case Origin::Threaded:
      FinishThreaded(Irp);
      break;
    case Origin::System: {
      auto onFinal = std::move(shadow->OnFinal);
      if (onFinal) onFinal(Irp);
      Free(Irp);
      break;
    }
  }
  Release(shadow);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  // The I/O manager may cancel its own request just as it completes (it holds a reference
  // meanwhile); that is harmless. Decided on one reading of Completed, which completion sets
  // before it frees the request: a second test of Freed would find a completion that ran in
  // between and report a use after free that never happened.
  if (Irp && Shadow(Irp)->Magic == kLive && Shadow(Irp)->Kind == Origin::System) {
    if (Shadow(Irp)->Completed) return FALSE;
  } else if (!Check(Irp, "IoCancelIrp")) {
    return FALSE;
  }
  IrpShadow* shadow = Shadow(Irp);
  ++shadow->Refs;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELAXED);  // read without the lock by completion
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    Release(shadow);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                              ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                              : nullptr;
  routine(device, Irp);
  if (locks::HeldIn(locks::CancelSpinLock(), locks::CancelSpinLock() + 1)) {
    verifier::Report("cancel", "a cancel routine returned without releasing the cancel spin lock");
    IoReleaseCancelSpinLock(irql);
  }
  Release(shadow);
  return TRUE;
}

}  // extern "C"
