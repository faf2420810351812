// Reading the adapter's descriptors, selecting its configuration and keeping the pipe table,
// un-configuring it at stop, and releasing all of it at removal.
#include "../receive/receive.h"
#include "../serial/serial.h"
#include "../transmit/transmit.h"
#include "usb.h"

namespace {

const ULONG kFirstReadSize = 521;

VOID FreePipeTable(PDEVICE_EXTENSION extension) {
  if (extension->InterfaceList != NULL) {
    for (ULONG i = 0; i < extension->InterfaceCount; ++i) {
      if (extension->InterfaceList[i].Pipes != NULL) ExFreePool(extension->InterfaceList[i].Pipes);
    }
    ExFreePool(extension->InterfaceList);
    extension->InterfaceList = NULL;
  }
  extension->InterfaceCount = 0;
}

// What an earlier start read is read again by this one.
VOID FreeConfiguration(PDEVICE_EXTENSION extension) {
  if (extension->DeviceDescriptor != NULL) {
    ExFreePool(extension->DeviceDescriptor);
    extension->DeviceDescriptor = NULL;
  }
  FreePipeTable(extension);
  if (extension->ConfigurationDescriptor != NULL) {
    ExFreePool(extension->ConfigurationDescriptor);
    extension->ConfigurationDescriptor = NULL;
  }
}

// A configuration descriptor is used only when it says what it is and every descriptor in it
// lies inside the bytes the device actually sent: a device must not make the driver read past
// its buffer or walk forever.
BOOLEAN DescriptorIsSound(PUSB_CONFIGURATION_DESCRIPTOR config, ULONG received) {
  if (received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return FALSE;
  if (config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) return FALSE;
  if (config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return FALSE;
  ULONG total = config->wTotalLength;
  if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || total > received) return FALSE;
  const UCHAR* base = (const UCHAR*)config;
  for (ULONG p = 0; p < total;) {
    if (total - p < 2) return FALSE;
    ULONG length = base[p];
    if (length < 2 || length > total - p) return FALSE;
    if (base[p + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && length < sizeof(USB_INTERFACE_DESCRIPTOR)) return FALSE;
    if (base[p + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR)) return FALSE;
    p += length;
  }
  return TRUE;
}

VOID BuildDescriptorRequest(PURB urb, UCHAR type, PVOID buffer, ULONG length) {
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer,
                               NULL, length, NULL);
}

}  // namespace

NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  FreeConfiguration(extension);

  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), ORVIX_POOL_TAG);
  PUSB_DEVICE_DESCRIPTOR descriptor =
      (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), ORVIX_POOL_TAG);
  if (urb == NULL || descriptor == NULL) {
    if (urb != NULL) ExFreePool(urb);
    if (descriptor != NULL) ExFreePool(descriptor);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
  NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
  ExFreePool(urb);
  if (!NT_SUCCESS(status)) {
    ExFreePool(descriptor);
    return status;
  }
  extension->DeviceDescriptor = descriptor;

  status = ReadConfigurationDescriptor(DeviceObject);
  if (!NT_SUCCESS(status)) return status;

  extension->DeviceStarted = TRUE;
  extension->IdlePowerState = PowerDeviceD1;

  // The timers and DPCs of the request paths exist before any request can use them.
  extension->WriteTotalDueTime.QuadPart = 0;
  extension->ReadTotalDueTime.QuadPart = -600000000LL;
  extension->IntervalPollDueTime.QuadPart = -10000000LL;
  KeInitializeTimer(&extension->ReadTotalTimer);
  KeInitializeTimer(&extension->ReadIntervalTimer);
  KeInitializeTimer(&extension->WriteTotalTimer);
  KeInitializeDpc(&extension->ReadTotalDpc, ReadTotalTimeoutDpc, extension);
  KeInitializeDpc(&extension->ReadIntervalDpc, ReadIntervalTimeoutDpc, extension);
  KeInitializeDpc(&extension->WriteTotalDpc, WriteTotalTimeoutDpc, extension);
  KeInitializeDpc(&extension->EventDpc, EventDpcRoutine, extension);
  KeInitializeTimer(&extension->BulkInRetryTimer);
  KeInitializeDpc(&extension->BulkInRetryDpc, BulkInRetryDpc, extension);
  return status;
}

NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), ORVIX_POOL_TAG);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  ULONG size = kFirstReadSize;
  NTSTATUS status = STATUS_SUCCESS;
  // One read, and a second one with the size the device gave; never more.
  for (int attempt = 0; attempt < 2; ++attempt) {
    PUSB_CONFIGURATION_DESCRIPTOR config =
        (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, size, ORVIX_POOL_TAG);
    if (config == NULL) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    RtlZeroMemory(config, size);
    extension->ConfigurationDescriptor = config;
    BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, size);
    status = SubmitUrbSync(DeviceObject, urb);
    ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (NT_SUCCESS(status) && received == 0) status = STATUS_DEVICE_DATA_ERROR;
    if (NT_SUCCESS(status) && received >= sizeof(USB_CONFIGURATION_DESCRIPTOR) && config->wTotalLength > size &&
        attempt == 0) {
      size = config->wTotalLength;
      ExFreePool(config);
      extension->ConfigurationDescriptor = NULL;
      continue;
    }
    if (NT_SUCCESS(status) && !DescriptorIsSound(config, received < size ? received : size))
      status = STATUS_DEVICE_DATA_ERROR;
    break;
  }
  ExFreePool(urb);
  if (!NT_SUCCESS(status)) {
    if (extension->ConfigurationDescriptor != NULL) {
      ExFreePool(extension->ConfigurationDescriptor);
      extension->ConfigurationDescriptor = NULL;
    }
    return status;
  }
  return SelectConfiguration(DeviceObject, extension->ConfigurationDescriptor);
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  ULONG slots = (ULONG)ConfigurationDescriptor->bNumInterfaces + 1;
  PUSBD_INTERFACE_LIST_ENTRY list = (PUSBD_INTERFACE_LIST_ENTRY)ExAllocatePoolWithTag(
      NonPagedPool, slots * sizeof(USBD_INTERFACE_LIST_ENTRY), ORVIX_POOL_TAG);
  if (list == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(list, slots * sizeof(USBD_INTERFACE_LIST_ENTRY));

  ULONG found = 0;
  for (ULONG number = 0; number < ConfigurationDescriptor->bNumInterfaces; ++number) {
    PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
        ConfigurationDescriptor, ConfigurationDescriptor, (LONG)number, -1, -1, -1, -1);
    if (descriptor == NULL) break;
    list[found++].InterfaceDescriptor = descriptor;
  }
  PURB urb = found ? USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list) : NULL;
  if (urb == NULL) {
    ExFreePool(list);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  for (ULONG i = 0; i < found; ++i) {
    PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
    for (ULONG p = 0; p < info->NumberOfPipes; ++p) info->Pipes[p].MaximumTransferSize = extension->PipeTransferSize;
  }

  NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
  if (NT_SUCCESS(status)) {
    // A table is kept only when it could be built completely.
    PINTERFACE_ENTRY table =
        (PINTERFACE_ENTRY)ExAllocatePoolWithTag(NonPagedPool, found * sizeof(INTERFACE_ENTRY), ORVIX_POOL_TAG);
    if (table == NULL) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      RtlZeroMemory(table, found * sizeof(INTERFACE_ENTRY));
      extension->InterfaceList = table;
      extension->InterfaceCount = found;
      for (ULONG i = 0; i < found && NT_SUCCESS(status); ++i) {
        PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
        ULONG count = info->NumberOfPipes;
        table[i].PipeCount = count;
        if (count == 0) continue;
        table[i].Pipes = (PPIPE_CONTEXT)ExAllocatePoolWithTag(NonPagedPool, count * sizeof(PIPE_CONTEXT), ORVIX_POOL_TAG);
        if (table[i].Pipes == NULL) {
          table[i].PipeCount = 0;
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        for (ULONG p = 0; p < count; ++p) table[i].Pipes[p].PipeInfo = info->Pipes[p];
      }
      if (!NT_SUCCESS(status)) FreePipeTable(extension);
    }
  }
  ExFreePool(urb);
  ExFreePool(list);
  return status;
}

NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  // Without the transfer resources of a start, a request on the stack serves as well.
  struct _URB_SELECT_CONFIGURATION local;
  PURB urb = extension->UnconfigureUrb != NULL ? extension->UnconfigureUrb : (PURB)&local;
  RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
  UsbBuildSelectConfigurationRequest(urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
  // Stopped whether or not the adapter heard of it: the threads and the name go next, so
  // nothing may be opened until a start configures the adapter again.
  SubmitUrbSync(DeviceObject, urb);
  extension->DeviceStarted = FALSE;
  WriteBooleanNoFence(&extension->StopPending, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  NTSTATUS status = STATUS_SUCCESS;
  if (extension->InterfaceName.Buffer != NULL)
    status = IoSetDeviceInterfaceState(&extension->InterfaceName, FALSE);
  ReleaseDeviceInterface(extension);
  FreeConfiguration(extension);
  if (extension->DeviceName.Buffer != NULL) {
    ExFreePool(extension->DeviceName.Buffer);
    extension->DeviceName.Buffer = NULL;
  }
  extension->RxQueueCapacity = 0;
  return status;
}
