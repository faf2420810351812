// The port's three names: its device interface, the "\DosDevices\" link named after the
// PortName value that the port's installation stored, and the SERIALCOMM device-map entry.
#include "frame.h"

namespace {

// {5E1C7A42-9B3D-4F06-A8E1-2C47D9B0F315}
const GUID kInterfaceGuid = {0x5E1C7A42, 0x9B3D, 0x4F06,
                             {0xA8, 0xE1, 0x2C, 0x47, 0xD9, 0xB0, 0xF3, 0x15}};
const WCHAR kSerialCommKey[] = L"SERIALCOMM";
const WCHAR kDosDevices[] = L"\\DosDevices\\";
const WCHAR kPortNameValue[] = L"PortName";
const ACCESS_MASK kReadAccess = 0x20000;
// A port name fills at most the 66-byte buffer less its terminating zero.
const ULONG kMaxPortNameChars = PORT_NAME_BUFFER_SIZE / sizeof(WCHAR) - 1;

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

ULONG BoundedLength(PCWSTR text, ULONG limit) {
  ULONG n = 0;
  while (n < limit && text[n] != 0) ++n;
  return n;
}

void FreeString(PUNICODE_STRING s) {
  if (s->Buffer != NULL) ExFreePool(s->Buffer);
  s->Buffer = NULL;
  s->Length = 0;
  s->MaximumLength = 0;
}

}  // namespace

NTSTATUS RegisterDeviceInterface(PDEVICE_EXTENSION Extension) {
  NTSTATUS status = IoRegisterDeviceInterface(Extension->PhysicalDeviceObject, &kInterfaceGuid,
                                              NULL, &Extension->InterfaceName);
  if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&Extension->InterfaceName, TRUE);
  return status;
}

// Disables the interface (when it was enabled) and frees its name.
VOID ReleaseDeviceInterface(PDEVICE_EXTENSION Extension) {
  if (Extension->InterfaceName.Buffer == NULL) return;
  IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);
  RtlFreeUnicodeString(&Extension->InterfaceName);
}

NTSTATUS CreatePortName(PDEVICE_EXTENSION Extension) {
  if (Extension->PortLinkCreated) return STATUS_UNSUCCESSFUL;

  Extension->PortName.Buffer =
      (PWSTR)ExAllocatePoolWithTag(PagedPool, PORT_NAME_BUFFER_SIZE, PORT_NAME_TAG);
  if (Extension->PortName.Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(Extension->PortName.Buffer, PORT_NAME_BUFFER_SIZE);
  Extension->PortName.Length = 0;
  Extension->PortName.MaximumLength = PORT_NAME_BUFFER_SIZE;

  NTSTATUS status = ReadPortName(Extension, &Extension->PortName);
  if (!NT_SUCCESS(status)) {
    FreeString(&Extension->PortName);
    return status;
  }

  Extension->SymbolicLinkName.Buffer =
      (PWSTR)ExAllocatePoolWithTag(PagedPool, LINK_NAME_BUFFER_SIZE, LINK_NAME_TAG);
  if (Extension->SymbolicLinkName.Buffer == NULL) {
    FreeString(&Extension->PortName);
    Extension->PortLinkCreated = FALSE;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Extension->SymbolicLinkName.Buffer, LINK_NAME_BUFFER_SIZE);
  Extension->SymbolicLinkName.Length = 0;
  Extension->SymbolicLinkName.MaximumLength = LINK_NAME_BUFFER_SIZE;
  RtlAppendUnicodeToString(&Extension->SymbolicLinkName, kDosDevices);
  RtlAppendUnicodeStringToString(&Extension->SymbolicLinkName, &Extension->PortName);

  status = IoCreateSymbolicLink(&Extension->SymbolicLinkName, &Extension->DeviceName);
  if (!NT_SUCCESS(status)) {
    FreeString(&Extension->PortName);
    FreeString(&Extension->SymbolicLinkName);
    Extension->PortLinkCreated = FALSE;
    return status;
  }

  Extension->SymbolicLinkCreated = TRUE;
  status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialCommKey, Extension->DeviceName.Buffer,
                                 REG_SZ, Extension->PortName.Buffer,
                                 Extension->PortName.Length + sizeof(WCHAR));
  if (!NT_SUCCESS(status)) {
    FreeString(&Extension->PortName);
    IoDeleteSymbolicLink(&Extension->SymbolicLinkName);
    Extension->SymbolicLinkCreated = FALSE;
    FreeString(&Extension->SymbolicLinkName);
    Extension->PortLinkCreated = FALSE;
    return status;
  }
  Extension->PortLinkCreated = TRUE;
  return status;
}

NTSTATUS ReadPortName(PDEVICE_EXTENSION Extension, PUNICODE_STRING PortName) {
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(Extension->PhysicalDeviceObject,
                                            PLUGPLAY_REGKEY_DEVICE, kReadAccess, &key);
  if (!NT_SUCCESS(status)) return status;

  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, kPortNameValue);
  ULONG size = 0;
  status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, NULL, 0, &size);
  if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) {
    ZwClose(key);
    // A query that needs no buffer cannot have found a value.
    return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_NOT_FOUND : status;
  }
  PKEY_VALUE_PARTIAL_INFORMATION info =
      (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, size, ORVIX_POOL_TAG);
  if (info == NULL) {
    ZwClose(key);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, size, &size);
  if (!NT_SUCCESS(status)) {
    ExFreePool(info);
    ZwClose(key);
    return status;
  }

  // Only a string that fits the name buffer with its terminating zero names the port; anything
  // else would leave an empty name or be read past its end.
  if (!IsStringType(info->Type)) {
    status = STATUS_OBJECT_TYPE_MISMATCH;
  } else {
    // Whole characters only: an odd trailing byte is dropped, so that the copy always ends in a
    // whole terminating WCHAR.
    ULONG bytes = info->DataLength & ~(ULONG)(sizeof(WCHAR) - 1);
    PWSTR text = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), ORVIX_POOL_TAG);
    if (text == NULL) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      RtlZeroMemory(text, bytes + sizeof(WCHAR));
      RtlCopyMemory(text, info->Data, bytes);
      ULONG chars = BoundedLength(text, bytes / sizeof(WCHAR) + 1);
      if (chars == 0 || chars > kMaxPortNameChars) status = STATUS_OBJECT_NAME_INVALID;
      else RtlAppendUnicodeToString(PortName, text);
      ExFreePool(text);
    }
  }
  ExFreePool(info);
  ZwClose(key);
  return status;
}

NTSTATUS RemovePortName(PDEVICE_EXTENSION Extension) {
  if (!Extension->PortLinkCreated) return STATUS_SUCCESS;
  IoDeleteSymbolicLink(&Extension->SymbolicLinkName);
  NTSTATUS status =
      RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialCommKey, Extension->DeviceName.Buffer);
  FreeString(&Extension->SymbolicLinkName);
  FreeString(&Extension->PortName);
  Extension->SymbolicLinkCreated = FALSE;
  Extension->PortLinkCreated = FALSE;
  return status;
}
