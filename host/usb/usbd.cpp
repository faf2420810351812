// The USB driver-interface library routines, as documented: finding an interface descriptor in
// a configuration descriptor, and building the select-configuration URB for a list of them.
#include <cstring>

#include "../kernel/pool.h"
#include "../kernel/verifier.h"

namespace {

constexpr ULONG kUsbdTag = 0x44425355;  // "USBD"

// The library trusts the descriptor it is given, as the real one does; the verifier says so
// when a driver hands it one that runs past its own length.
bool WellFormed(PUSB_CONFIGURATION_DESCRIPTOR config) {
  const UCHAR* base = reinterpret_cast<const UCHAR*>(config);
  ULONG total = config->wTotalLength;
  if (config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || total < sizeof(USB_CONFIGURATION_DESCRIPTOR))
    return false;
  for (ULONG p = 0; p < total;) {
    if (p + 2 > total) return false;
    UCHAR length = base[p];
    if (length < 2 || p + length > total) return false;
    p += length;
  }
  return true;
}

}  // namespace

extern "C" {

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (!WellFormed(ConfigurationDescriptor)) {
    hk::verifier::Report("usb", "USBD_ParseConfigurationDescriptorEx given a configuration descriptor "
                                "whose lengths run past its end (it was not checked)");
    return nullptr;
  }
  const UCHAR* base = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
  const UCHAR* end = base + ConfigurationDescriptor->wTotalLength;
  const UCHAR* p = static_cast<const UCHAR*>(StartPosition);
  if (p < base || p >= end) return nullptr;
  for (; p + 2 <= end && p[0] >= 2; p += p[0]) {
    if (p[1] != USB_INTERFACE_DESCRIPTOR_TYPE || p + sizeof(USB_INTERFACE_DESCRIPTOR) > end) continue;
    auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR*>(p));
    if ((InterfaceNumber == -1 || d->bInterfaceNumber == InterfaceNumber) &&
        (AlternateSetting == -1 || d->bAlternateSetting == AlternateSetting) &&
        (InterfaceClass == -1 || d->bInterfaceClass == InterfaceClass) &&
        (InterfaceSubClass == -1 || d->bInterfaceSubClass == InterfaceSubClass) &&
        (InterfaceProtocol == -1 || d->bInterfaceProtocol == InterfaceProtocol))
      return d;
  }
  return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  ULONG interfaces = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e, ++interfaces) {
    ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
    size += offsetof(USBD_INTERFACE_INFORMATION, Pipes) + (pipes ? pipes : 1) * sizeof(USBD_PIPE_INFORMATION);
  }
  if (interfaces == 0) return nullptr;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
  if (!urb) return nullptr;
  std::memset(urb, 0, size);
  urb->UrbHeader.Length = (USHORT)size;
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  UCHAR* cursor = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
    info->Length = (USHORT)(offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                            (pipes ? pipes : 1) * sizeof(USBD_PIPE_INFORMATION));
    info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
    info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
    info->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[i].PipeFlags = 0;
    }
    e->Interface = info;
    cursor += info->Length;
  }
  return urb;
}

}  // extern "C"
