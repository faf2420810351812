// A virtual USB bus for testing ORVIX.sys under Wine; never shipped. Root-enumerated, its FDO
// reports one child PDO with the adapter's hardware IDs. The PDO turns every URB into a request
// written to a FIFO read by the adapter model (a user-mode process); a receiver thread reads the
// model's replies from a second FIFO and completes the URBs. The channel is the bus's own, not
// requests from a user-mode relay, because Wine dispatches every request from user mode on one
// thread per driver process, which the driver's synchronous URBs keep busy.
//
// Requests are written by whichever thread queued them, at whatever IRQL it runs: this bus only
// ever runs under Wine, where IRQL is nominal, and every thread hop costs Wine a round trip to
// wineserver.
// Unplugging (an IOCTL on the control device) drops the child from the bus relations, so the
// driver stack sees surprise removal and removal while the port may be open.
#include <intrin.h>
#define InterlockedBitTestAndSet InterlockedBitTestAndSet_wdm
#define InterlockedBitTestAndReset InterlockedBitTestAndReset_wdm
extern "C" {
#include <ddk/wdm.h>
#include <ddk/ntddk.h>
#include <usb.h>
#include <usbdi.h>
#include <ddk/usbdlib.h>
}
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset

#include "bus_protocol.h"

namespace {

constexpr ULONG kTag = 0x73754F42;  // "BOus"
enum class Role { Fdo, Pdo, Control };

struct Common {
  Role Kind;
};

// One request on its way to the model, or a URB waiting for its reply.
struct Outgoing {
  LIST_ENTRY Link;
  ULONG Size;
  OrvixBusMessage Message;  // followed by data
};

// Everything the bus shares between dispatch routines, cancel routines and its threads. Lock
// covers Outbox, Writing, Requests, InFlight, NextId, Present, Removed, Reported and Pdo.
struct Bus {
  KSPIN_LOCK Lock;
  LIST_ENTRY Outbox;    // requests not written yet, in order
  BOOLEAN Writing;      // a thread is writing the outbox; it alone uses Batch
  HANDLE Requests;      // the requests FIFO, once open
  UCHAR Batch[65536];
  LIST_ENTRY InFlight;  // URB requests waiting for the model's reply
  ULONGLONG NextId;
  BOOLEAN Present;      // the adapter is plugged in
  BOOLEAN Removed;      // the PDO's stack was removed or surprise-removed
  BOOLEAN Reported;     // the PDO was last reported in the bus relations
  PDEVICE_OBJECT Fdo;
  PDEVICE_OBJECT LowerOfFdo;
  PDEVICE_OBJECT RootPdo;
  PDEVICE_OBJECT Pdo;
  PDEVICE_OBJECT Control;
};

Bus g_bus;

struct FdoExtension {
  Common Base;
};
struct PdoExtension {
  Common Base;
};

Role RoleOf(PDEVICE_OBJECT device) { return ((Common*)device->DeviceExtension)->Kind; }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---- The channel to the model ------------------------------------------------------------

// Queues a request; call with the lock held, and Flush after releasing it.
void PostLocked(Outgoing* message) { InsertTailList(&g_bus.Outbox, &message->Link); }

// Writes the outbox unless another thread is at it; one writer at a time keeps the order.
void Flush() {
  KIRQL irql;
  KeAcquireSpinLock(&g_bus.Lock, &irql);
  if (g_bus.Writing || g_bus.Requests == NULL) {
    KeReleaseSpinLock(&g_bus.Lock, irql);
    return;
  }
  g_bus.Writing = TRUE;
  for (;;) {
    ULONG used = 0;
    while (!IsListEmpty(&g_bus.Outbox)) {
      Outgoing* message = CONTAINING_RECORD(g_bus.Outbox.Flink, Outgoing, Link);
      if (used + message->Size > sizeof g_bus.Batch) break;
      RemoveEntryList(&message->Link);
      RtlCopyMemory(g_bus.Batch + used, &message->Message, message->Size);
      used += message->Size;
      ExFreePoolWithTag(message, kTag);
    }
    if (used == 0) break;
    KeReleaseSpinLock(&g_bus.Lock, irql);
    for (ULONG written = 0; written < used;) {
      IO_STATUS_BLOCK io;
      NTSTATUS status = ZwWriteFile(g_bus.Requests, NULL, NULL, NULL, &io, g_bus.Batch + written,
                                    used - written, NULL, NULL);
      if (!NT_SUCCESS(status) || io.Information == 0) {
        DbgPrint("OrvixBus: writing requests failed (%08lx)\n", status);
        break;
      }
      written += (ULONG)io.Information;
    }
    KeAcquireSpinLock(&g_bus.Lock, &irql);
  }
  g_bus.Writing = FALSE;
  KeReleaseSpinLock(&g_bus.Lock, irql);
}

Outgoing* NewMessage(uint32_t kind, uint64_t id, ULONG dataBytes) {
  ULONG size = sizeof(OrvixBusMessage) + dataBytes;
  Outgoing* message =
      (Outgoing*)ExAllocatePoolWithTag(NonPagedPool, FIELD_OFFSET(Outgoing, Message) + size, kTag);
  if (message == NULL) return NULL;
  RtlZeroMemory(&message->Message, sizeof(OrvixBusMessage));
  message->Size = size;
  message->Message.Size = size;
  message->Message.Kind = kind;
  message->Message.Id = id;
  return message;
}


// ---- URBs ---------------------------------------------------------------------------------

PURB UrbOf(PIRP irp) {
  return (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
}

PVOID TransferBuffer(PVOID buffer, PMDL mdl) {
  if (buffer != NULL) return buffer;
  return mdl != NULL ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : NULL;
}

// The data buffer and length of a URB the model moves data for; NULL when it has none.
PUCHAR DataOf(PURB urb, ULONG* length, BOOLEAN* in) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      struct _URB_BULK_OR_INTERRUPT_TRANSFER* t = &urb->UrbBulkOrInterruptTransfer;
      *length = t->TransferBufferLength;
      *in = ((ULONG_PTR)t->PipeHandle & 0x80) != 0;
      return (PUCHAR)TransferBuffer(t->TransferBuffer, t->TransferBufferMDL);
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      struct _URB_CONTROL_DESCRIPTOR_REQUEST* d = &urb->UrbControlDescriptorRequest;
      *length = d->TransferBufferLength;
      *in = TRUE;
      return (PUCHAR)TransferBuffer(d->TransferBuffer, d->TransferBufferMDL);
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT: {
      struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* v = &urb->UrbControlVendorClassRequest;
      *length = v->TransferBufferLength;
      *in = (v->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      return (PUCHAR)TransferBuffer(v->TransferBuffer, v->TransferBufferMDL);
    }
    default:
      *length = 0;
      *in = FALSE;
      return NULL;
  }
}

void SetTransferred(PURB urb, ULONG bytes) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = bytes;
      break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      urb->UrbControlDescriptorRequest.TransferBufferLength = bytes;
      break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      break;
    default:
      urb->UrbControlVendorClassRequest.TransferBufferLength = bytes;
      break;
  }
}

NTSTATUS FailUrb(PIRP irp, USBD_STATUS usbd, NTSTATUS status) {
  PURB urb = UrbOf(irp);
  if (urb != NULL) urb->UrbHeader.Status = usbd;
  return Complete(irp, status);
}

VOID NTAPI CancelUrb(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  // The model takes back whatever it already gave this transfer.
  Outgoing* cancel = NewMessage(kBusCancel, (ULONGLONG)(ULONG_PTR)irp->Tail.Overlay.DriverContext[0], 0);
  KIRQL irql;
  KeAcquireSpinLock(&g_bus.Lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  if (cancel != NULL && g_bus.Present) PostLocked(cancel);
  else if (cancel != NULL) ExFreePoolWithTag(cancel, kTag);
  KeReleaseSpinLock(&g_bus.Lock, irql);
  Flush();
  FailUrb(irp, USBD_STATUS_CANCELED, STATUS_CANCELLED);
}

// Fills the interface and pipe information of a select-configuration URB from the
// configuration descriptor the driver passed in it.
NTSTATUS FillConfiguration(struct _URB_SELECT_CONFIGURATION* select) {
  PUSB_CONFIGURATION_DESCRIPTOR config = select->ConfigurationDescriptor;
  PUCHAR begin = (PUCHAR)config;
  PUCHAR end = begin + config->wTotalLength;
  PUCHAR urbEnd = (PUCHAR)select + select->Hdr.Length;
  PUSBD_INTERFACE_INFORMATION info = &select->Interface;
  for (ULONG n = 0; n < config->bNumInterfaces; ++n) {
    if ((PUCHAR)info + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) > urbEnd) break;
    PUSB_INTERFACE_DESCRIPTOR found = NULL;
    PUCHAR p = begin;
    while (p + 2 <= end && p[0] >= 2) {
      PUSB_INTERFACE_DESCRIPTOR d = (PUSB_INTERFACE_DESCRIPTOR)p;
      if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p + sizeof(*d) <= end &&
          d->bInterfaceNumber == info->InterfaceNumber && d->bAlternateSetting == info->AlternateSetting) {
        found = d;
        break;
      }
      p += p[0];
    }
    if (found == NULL) return STATUS_INVALID_PARAMETER;
    info->Class = found->bInterfaceClass;
    info->SubClass = found->bInterfaceSubClass;
    info->Protocol = found->bInterfaceProtocol;
    info->InterfaceHandle = (USBD_INTERFACE_HANDLE)(ULONG_PTR)(0x100 | found->bInterfaceNumber);
    ULONG pipes = 0;
    p = (PUCHAR)found + found->bLength;
    while (p + 2 <= end && p[0] >= 2 && p[1] != USB_INTERFACE_DESCRIPTOR_TYPE &&
           pipes < found->bNumEndpoints) {
      if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && p + sizeof(USB_ENDPOINT_DESCRIPTOR) <= end) {
        PUSB_ENDPOINT_DESCRIPTOR e = (PUSB_ENDPOINT_DESCRIPTOR)p;
        if ((PUCHAR)&info->Pipes[pipes + 1] > urbEnd) return STATUS_INVALID_PARAMETER;
        PUSBD_PIPE_INFORMATION pipe = &info->Pipes[pipes];
        pipe->EndpointAddress = e->bEndpointAddress;
        pipe->MaximumPacketSize = e->wMaxPacketSize;
        pipe->Interval = e->bInterval;
        pipe->PipeType = (USBD_PIPE_TYPE)(e->bmAttributes & 3);
        // The endpoint address is the handle; bit 7 tells the direction.
        pipe->PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)(0x1000 | e->bEndpointAddress);
        if (pipe->MaximumTransferSize == 0) pipe->MaximumTransferSize = 4096;
        ++pipes;
      }
      p += p[0];
    }
    info->NumberOfPipes = pipes;
    info = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)info + info->Length);
  }
  select->ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)(ULONG_PTR)0x10;
  return STATUS_SUCCESS;
}

NTSTATUS SubmitUrb(PIRP irp) {
  PURB urb = UrbOf(irp);
  if (urb == NULL) return Complete(irp, STATUS_INVALID_PARAMETER);
  uint32_t kind = kBusControl;
  uint8_t endpoint = 0;
  uint8_t setup[8] = {};
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      kind = kBusConfigure;
      struct _URB_SELECT_CONFIGURATION* select = &urb->UrbSelectConfiguration;
      if (select->ConfigurationDescriptor != NULL) {
        NTSTATUS status = FillConfiguration(select);
        if (!NT_SUCCESS(status)) return FailUrb(irp, USBD_STATUS_INVALID_PARAMETER, status);
        setup[2] = select->ConfigurationDescriptor->bConfigurationValue;
      }
      break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      struct _URB_CONTROL_DESCRIPTOR_REQUEST* d = &urb->UrbControlDescriptorRequest;
      setup[0] = 0x80;
      setup[1] = USB_REQUEST_GET_DESCRIPTOR;
      setup[2] = d->Index;
      setup[3] = d->DescriptorType;
      setup[4] = (UCHAR)d->LanguageId;
      setup[5] = (UCHAR)(d->LanguageId >> 8);
      break;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT: {
      struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* v = &urb->UrbControlVendorClassRequest;
      USHORT f = urb->UrbHeader.Function;
      UCHAR type = (f == URB_FUNCTION_CLASS_DEVICE || f == URB_FUNCTION_CLASS_INTERFACE ||
                    f == URB_FUNCTION_CLASS_ENDPOINT) ? 0x20 : 0x40;
      UCHAR recipient = (f == URB_FUNCTION_VENDOR_DEVICE || f == URB_FUNCTION_CLASS_DEVICE) ? 0
                        : (f == URB_FUNCTION_VENDOR_INTERFACE || f == URB_FUNCTION_CLASS_INTERFACE) ? 1 : 2;
      setup[0] = (UCHAR)(((v->TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0) | type | recipient);
      setup[1] = v->Request;
      setup[2] = (UCHAR)v->Value;
      setup[3] = (UCHAR)(v->Value >> 8);
      setup[4] = (UCHAR)v->Index;
      setup[5] = (UCHAR)(v->Index >> 8);
      break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      kind = kBusBulk;
      ULONG_PTR handle = (ULONG_PTR)urb->UrbBulkOrInterruptTransfer.PipeHandle;
      if ((handle & ~(ULONG_PTR)0xFF) != 0x1000)
        return FailUrb(irp, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
      endpoint = (uint8_t)handle;
      break;
    }
    default:
      return FailUrb(irp, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
  }
  ULONG length = 0;
  BOOLEAN in = FALSE;
  PUCHAR data = DataOf(urb, &length, &in);
  if (length > ORVIXBUS_MAX_DATA || (length != 0 && data == NULL))
    return FailUrb(irp, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  if (kind == kBusControl) {
    setup[6] = (UCHAR)length;
    setup[7] = (UCHAR)(length >> 8);
  }
  Outgoing* message = NewMessage(kind, 0, in ? 0 : length);
  if (message == NULL) return FailUrb(irp, USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES);
  message->Message.Endpoint = endpoint;
  RtlCopyMemory(message->Message.Setup, setup, sizeof setup);
  message->Message.Length = length;
  if (!in && length != 0) RtlCopyMemory(&message->Message + 1, data, length);

  KIRQL irql;
  KeAcquireSpinLock(&g_bus.Lock, &irql);
  if (!g_bus.Present || g_bus.Removed) {
    KeReleaseSpinLock(&g_bus.Lock, irql);
    ExFreePoolWithTag(message, kTag);
    return FailUrb(irp, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  }
  ULONGLONG id = ++g_bus.NextId;
  message->Message.Id = id;
  irp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)id;
  IoMarkIrpPending(irp);
  InsertTailList(&g_bus.InFlight, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, CancelUrb);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_bus.Lock, irql);
    ExFreePoolWithTag(message, kTag);
    FailUrb(irp, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  PostLocked(message);
  KeReleaseSpinLock(&g_bus.Lock, irql);
  Flush();
  return STATUS_PENDING;
}

// A reply of the model: completes the URB it answers, unless that was cancelled meanwhile.
NTSTATUS Reply(const OrvixBusMessage* reply, ULONG size) {
  if (size < sizeof(OrvixBusMessage) || reply->Size != size || reply->Kind != kBusReply)
    return STATUS_INVALID_PARAMETER;
  KIRQL irql;
  PIRP irp = NULL;
  KeAcquireSpinLock(&g_bus.Lock, &irql);
  for (PLIST_ENTRY e = g_bus.InFlight.Flink; e != &g_bus.InFlight; e = e->Flink) {
    PIRP candidate = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
    if ((ULONGLONG)(ULONG_PTR)candidate->Tail.Overlay.DriverContext[0] == reply->Id) {
      if (IoSetCancelRoutine(candidate, NULL) != NULL) {
        RemoveEntryList(e);
        irp = candidate;
      }
      break;
    }
  }
  KeReleaseSpinLock(&g_bus.Lock, irql);
  if (irp == NULL) return STATUS_SUCCESS;  // cancelled or failed by removal first

  PURB urb = UrbOf(irp);
  ULONG length = 0;
  BOOLEAN in = FALSE;
  PUCHAR data = DataOf(urb, &length, &in);
  ULONG bytes = reply->Bytes <= length ? reply->Bytes : length;
  if (in && bytes > size - sizeof(OrvixBusMessage)) bytes = size - sizeof(OrvixBusMessage);
  if (in && bytes != 0) RtlCopyMemory(data, reply + 1, bytes);
  SetTransferred(urb, bytes);
  urb->UrbHeader.Status = (USBD_STATUS)reply->Status;
  NTSTATUS status = STATUS_SUCCESS;
  if (USBD_ERROR(reply->Status)) {
    status = reply->Status == (int32_t)USBD_STATUS_CANCELED ? STATUS_CANCELLED
             : reply->Status == (int32_t)USBD_STATUS_DEVICE_GONE ? STATUS_DEVICE_NOT_CONNECTED
                                                                 : STATUS_UNSUCCESSFUL;
  }
  Complete(irp, status);
  return STATUS_SUCCESS;
}

// Fails every URB still waiting and tells the model the adapter is gone.
void DetachAll(BOOLEAN tellModel) {
  LIST_ENTRY failed;
  InitializeListHead(&failed);
  Outgoing* detach = tellModel ? NewMessage(kBusDetach, 0, 0) : NULL;
  KIRQL irql;
  KeAcquireSpinLock(&g_bus.Lock, &irql);
  while (!IsListEmpty(&g_bus.InFlight)) {
    PLIST_ENTRY e = RemoveHeadList(&g_bus.InFlight);
    PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) == NULL) {
      InitializeListHead(e);  // its cancel routine completes it
      continue;
    }
    InsertTailList(&failed, e);
  }
  // Requests the model never saw are dropped; the detach tells it to forget the rest.
  while (!IsListEmpty(&g_bus.Outbox))
    ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&g_bus.Outbox), Outgoing, Link), kTag);
  if (detach != NULL) PostLocked(detach);
  KeReleaseSpinLock(&g_bus.Lock, irql);
  Flush();
  while (!IsListEmpty(&failed)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&failed), IRP, Tail.Overlay.ListEntry);
    FailUrb(irp, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  }
}

// ---- Plug and Play --------------------------------------------------------------------------

const WCHAR kDeviceId[] = L"USB\\Vid_7A3C&Pid_0003";
const WCHAR kHardwareIds[] = L"USB\\Vid_7A3C&Pid_0003&Rev_0100\0USB\\Vid_7A3C&Pid_0003\0";
const WCHAR kCompatibleIds[] = L"USB\\Class_ff&SubClass_00&Prot_00\0USB\\Class_ff\0";
const WCHAR kInstanceId[] = L"ORVIXWINE0001";

NTSTATUS CopyIdString(PIRP irp, const WCHAR* text, ULONG bytes) {
  PWCHAR copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, bytes, kTag);
  if (copy == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
  RtlCopyMemory(copy, text, bytes);
  return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)copy);
}

NTSTATUS PdoPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      KIRQL irql;
      KeAcquireSpinLock(&g_bus.Lock, &irql);
      g_bus.Removed = FALSE;
      KeReleaseSpinLock(&g_bus.Lock, irql);
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE: {
      KIRQL irql;
      KeAcquireSpinLock(&g_bus.Lock, &irql);
      g_bus.Removed = TRUE;
      BOOLEAN gone = sp->MinorFunction == IRP_MN_REMOVE_DEVICE && !g_bus.Reported;
      if (gone) g_bus.Pdo = NULL;
      KeReleaseSpinLock(&g_bus.Lock, irql);
      DetachAll(TRUE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      if (gone) IoDeleteDevice(pdo);
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID:
      switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
          return CopyIdString(irp, kDeviceId, sizeof kDeviceId);
        case BusQueryHardwareIDs:
          return CopyIdString(irp, kHardwareIds, sizeof kHardwareIds);
        case BusQueryCompatibleIDs:
          return CopyIdString(irp, kCompatibleIds, sizeof kCompatibleIds);
        case BusQueryInstanceID:
          return CopyIdString(irp, kInstanceId, sizeof kInstanceId);
        default:
          break;
      }
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
      caps->Removable = TRUE;
      caps->SurpriseRemovalOK = TRUE;
      caps->UniqueID = FALSE;
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
      caps->SystemWake = PowerSystemUnspecified;
      caps->DeviceWake = PowerDeviceUnspecified;
      caps->Address = 1;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        PDEVICE_RELATIONS relations =
            (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag);
        if (relations == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        relations->Count = 1;
        relations->Objects[0] = pdo;
        ObReferenceObject(pdo);
        return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)relations);
      }
      break;
    default:
      break;
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI SyncDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SyncDone, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(g_bus.LowerOfFdo, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  return irp->IoStatus.Status;
}

NTSTATUS FdoPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(irp);
      if (status == STATUS_NOT_SUPPORTED) status = STATUS_SUCCESS;
      Complete(irp, status, irp->IoStatus.Information);
      if (NT_SUCCESS(status)) IoInvalidateDeviceRelations(g_bus.RootPdo, BusRelations);
      return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (sp->Parameters.QueryDeviceRelations.Type != BusRelations) break;
      PDEVICE_RELATIONS relations =
          (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag);
      if (relations == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      relations->Count = 0;
      KIRQL irql;
      KeAcquireSpinLock(&g_bus.Lock, &irql);
      g_bus.Reported = g_bus.Present && g_bus.Pdo != NULL;
      if (g_bus.Reported) {
        relations->Objects[relations->Count++] = g_bus.Pdo;
        ObReferenceObject(g_bus.Pdo);
      }
      KeReleaseSpinLock(&g_bus.Lock, irql);
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = (ULONG_PTR)relations;
      break;
    }
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(g_bus.LowerOfFdo, irp);
      PDEVICE_OBJECT child = NULL;
      KIRQL irql;
      KeAcquireSpinLock(&g_bus.Lock, &irql);
      child = g_bus.Pdo;
      g_bus.Pdo = NULL;
      g_bus.Present = FALSE;
      KeReleaseSpinLock(&g_bus.Lock, irql);
      DetachAll(FALSE);
      if (child != NULL) IoDeleteDevice(child);
      IoDetachDevice(g_bus.LowerOfFdo);
      g_bus.Fdo = NULL;
      IoDeleteDevice(fdo);
      return status;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(g_bus.LowerOfFdo, irp);
}

// ---- Dispatch -----------------------------------------------------------------------------

NTSTATUS ControlDeviceControl(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
  switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_ORVIXBUS_UNPLUG: {
      KIRQL irql;
      KeAcquireSpinLock(&g_bus.Lock, &irql);
      BOOLEAN was = g_bus.Present;
      g_bus.Present = FALSE;
      KeReleaseSpinLock(&g_bus.Lock, irql);
      if (was && g_bus.RootPdo != NULL) IoInvalidateDeviceRelations(g_bus.RootPdo, BusRelations);
      return Complete(irp, was ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
    }
    case IOCTL_ORVIXBUS_STATE: {
      if (out < sizeof(ULONG)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
      KIRQL irql;
      KeAcquireSpinLock(&g_bus.Lock, &irql);
      // 1: present; 2: also started and not removed.
      ULONG state = g_bus.Present ? (g_bus.Pdo != NULL && !g_bus.Removed ? 2 : 1) : 0;
      KeReleaseSpinLock(&g_bus.Lock, irql);
      *(ULONG*)irp->AssociatedIrp.SystemBuffer = state;
      return Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  Role role = RoleOf(device);
  switch (sp->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      if (role == Role::Control) return Complete(irp, STATUS_SUCCESS);
      break;
    case IRP_MJ_DEVICE_CONTROL:
      if (role == Role::Control) return ControlDeviceControl(irp);
      break;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      if (role == Role::Pdo) {
        if (sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) return SubmitUrb(irp);
        return Complete(irp, STATUS_NOT_SUPPORTED);
      }
      break;
    case IRP_MJ_PNP:
      if (role == Role::Pdo) return PdoPnp(device, irp);
      if (role == Role::Fdo) return FdoPnp(device, irp);
      break;
    case IRP_MJ_POWER:
      if (role == Role::Pdo) {
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_SUCCESS);
      }
      if (role == Role::Fdo) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(g_bus.LowerOfFdo, irp);
      }
      break;
    case IRP_MJ_SYSTEM_CONTROL:
      if (role == Role::Fdo) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(g_bus.LowerOfFdo, irp);
      }
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    default:
      break;
  }
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT rootPdo) {
  if (g_bus.Fdo != NULL) return STATUS_DEVICE_ALREADY_ATTACHED;
  PDEVICE_OBJECT fdo = NULL;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), NULL, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  ((FdoExtension*)fdo->DeviceExtension)->Base.Kind = Role::Fdo;
  PDEVICE_OBJECT pdo = NULL;
  status = IoCreateDevice(driver, sizeof(PdoExtension), NULL, FILE_DEVICE_UNKNOWN,
                          FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(fdo);
    return status;
  }
  ((PdoExtension*)pdo->DeviceExtension)->Base.Kind = Role::Pdo;
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  g_bus.LowerOfFdo = IoAttachDeviceToDeviceStack(fdo, rootPdo);
  if (g_bus.LowerOfFdo == NULL) {
    IoDeleteDevice(pdo);
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  g_bus.RootPdo = rootPdo;
  KIRQL irql;
  KeAcquireSpinLock(&g_bus.Lock, &irql);
  g_bus.Fdo = fdo;
  g_bus.Pdo = pdo;
  g_bus.Present = TRUE;
  KeReleaseSpinLock(&g_bus.Lock, irql);
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

// Opens one of the FIFOs, waiting for the model server to make it.
HANDLE OpenChannel(const WCHAR* path, ACCESS_MASK access) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
  for (;;) {
    HANDLE handle = NULL;
    IO_STATUS_BLOCK io;
    NTSTATUS status = ZwCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, NULL, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
    if (NT_SUCCESS(status)) return handle;
    DbgPrint("OrvixBus: %ws cannot be opened yet (%08lx)\n", path, status);
    LARGE_INTEGER delay;
    delay.QuadPart = -2000000;  // 200 ms
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }
}

// Each pass through Wine's file I/O costs a round trip to wineserver, so requests and replies
// move in batches of whatever is queued or available.
constexpr ULONG kBatchBytes = 65536;

// Opens the requests FIFO, then writes what was queued meanwhile; later requests are written
// by the threads that queue them.
VOID NTAPI Sender(PVOID) {
  HANDLE channel = OpenChannel(ORVIXBUS_REQUESTS, FILE_WRITE_DATA);
  DbgPrint("OrvixBus: sending requests to the model\n");
  KIRQL irql;
  KeAcquireSpinLock(&g_bus.Lock, &irql);
  g_bus.Requests = channel;
  KeReleaseSpinLock(&g_bus.Lock, irql);
  Flush();
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// Reads the model's replies and completes the URBs they answer.
VOID NTAPI Receiver(PVOID) {
  HANDLE channel = OpenChannel(ORVIXBUS_REPLIES, FILE_READ_DATA);
  DbgPrint("OrvixBus: receiving replies from the model\n");
  PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, kBatchBytes + ORVIXBUS_MAX_MESSAGE, kTag);
  ULONG held = 0;
  while (buffer != NULL) {
    IO_STATUS_BLOCK io;
    NTSTATUS status = ZwReadFile(channel, NULL, NULL, NULL, &io, buffer + held, kBatchBytes, NULL, NULL);
    if (!NT_SUCCESS(status) || io.Information == 0) break;
    held += (ULONG)io.Information;
    ULONG at = 0;
    while (held - at >= sizeof(OrvixBusMessage)) {
      OrvixBusMessage* reply = (OrvixBusMessage*)(buffer + at);
      if (reply->Size < sizeof(OrvixBusMessage) || reply->Size > ORVIXBUS_MAX_MESSAGE) {
        DbgPrint("OrvixBus: a reply of %u bytes\n", reply->Size);
        held = at = 0;
        break;
      }
      if (held - at < reply->Size) break;
      if (!NT_SUCCESS(Reply(reply, reply->Size))) DbgPrint("OrvixBus: a malformed reply\n");
      at += reply->Size;
    }
    RtlMoveMemory(buffer, buffer + at, held - at);
    held -= at;
  }
  DbgPrint("OrvixBus: the model's replies ended\n");
  ZwClose(channel);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS StartThread(PKSTART_ROUTINE routine) {
  HANDLE thread;
  NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, routine, NULL);
  if (NT_SUCCESS(status)) ZwClose(thread);
  return status;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  KeInitializeSpinLock(&g_bus.Lock);
  InitializeListHead(&g_bus.Outbox);
  InitializeListHead(&g_bus.InFlight);
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  // No unload routine: the channel threads live as long as the test's Wine session.

  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, ORVIXBUS_CONTROL_NAME);
  RtlInitUnicodeString(&link, ORVIXBUS_CONTROL_LINK);
  PDEVICE_OBJECT control = NULL;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Common), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
  if (!NT_SUCCESS(status)) return status;
  ((Common*)control->DeviceExtension)->Kind = Role::Control;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(control);
    return status;
  }
  control->Flags |= DO_BUFFERED_IO;
  control->Flags &= ~DO_DEVICE_INITIALIZING;
  g_bus.Control = control;
  status = StartThread(Sender);
  if (NT_SUCCESS(status)) status = StartThread(Receiver);
  return status;
}
