// The adapter's three vendor requests on the default pipe: open (with the modem-line status in
// its reply), close, and the 8-byte line-settings block.
#include "../usb/usb.h"
#include "serial.h"

namespace {

struct BaudCode {
  ULONG Rate;
  UCHAR Code;
};

const BaudCode kBaudCodes[] = {{50, 0},    {100, 1},   {110, 2},    {150, 3},    {200, 4},   {300, 5},
                               {600, 6},   {1200, 7},  {2400, 8},   {4800, 9},   {9600, 10}, {14400, 11},
                               {19200, 12}, {28800, 13}, {38400, 14}, {57600, 15}, {76800, 16}, {115200, 17}};

// One request at a time uses the device's single control URB.
NTSTATUS SubmitVendorRequest(PDEVICE_OBJECT DeviceObject, UCHAR Request, ULONG Flags, PVOID Buffer, ULONG Length) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  if (extension->ControlUrb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  KeWaitForSingleObject(&extension->ControlUrbMutex, Executive, KernelMode, FALSE, NULL);
  PURB urb = extension->ControlUrb;
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_INTERFACE, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        Flags, 0, Request, 0, 0, Buffer, NULL, Length, NULL);
  NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
  KeReleaseMutex(&extension->ControlUrbMutex, FALSE);
  return status;
}

}  // namespace

NTSTATUS SendPortCommand(PDEVICE_OBJECT DeviceObject, UCHAR Request) {
  UCHAR reply[2];
  reply[0] = 0;
  reply[1] = 0;
  NTSTATUS status = SubmitVendorRequest(DeviceObject, Request,
                                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, reply, sizeof(reply));
  if (!NT_SUCCESS(status)) return status;
  WriteUCharNoFence(&ExtensionOf(DeviceObject)->ModemStatus, Request == PORT_REQUEST_OPEN ? (UCHAR)(reply[1] & 0x0F) : 0);
  return status;
}

BOOLEAN BuildLineSettings(PDEVICE_EXTENSION Extension, UCHAR Block[8]) {
  BOOLEAN found = FALSE;
  for (ULONG i = 0; i < sizeof(kBaudCodes) / sizeof(kBaudCodes[0]); ++i) {
    if (kBaudCodes[i].Rate == Extension->BaudRate) {
      Block[0] = kBaudCodes[i].Code;
      found = TRUE;
      break;
    }
  }
  if (!found) return FALSE;

  switch (Extension->LineControl.WordLength) {
    case 8: Block[1] = 0; break;
    case 7: Block[1] = 1; break;
    default: return FALSE;
  }
  switch (Extension->LineControl.StopBits) {
    case STOP_BIT_1: Block[2] = 0; break;
    case STOP_BITS_2: Block[2] = 1; break;
    default: return FALSE;
  }
  // The adapter's parity codes are not in the order of the serial constants.
  switch (Extension->LineControl.Parity) {
    case NO_PARITY: Block[3] = 0; break;
    case ODD_PARITY: Block[3] = 3; break;
    case EVEN_PARITY: Block[3] = 2; break;
    default: return FALSE;
  }
  Block[4] = 1;
  return TRUE;
}

NTSTATUS SendLineSettings(PDEVICE_OBJECT DeviceObject, const UCHAR Block[8]) {
  UCHAR block[8];
  RtlCopyMemory(block, Block, sizeof(block));
  return SubmitVendorRequest(DeviceObject, PORT_REQUEST_SET_LINE, 0, block, sizeof(block));
}
