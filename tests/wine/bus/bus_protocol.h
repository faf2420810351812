// The messages between the virtual USB bus driver and the adapter model. The bus turns every
// URB into one request, written to the requests FIFO; the model answers each with one reply,
// carrying the same id, on the replies FIFO. Little-endian, packed, header then data.
#pragma once
#include <stdint.h>

#define ORVIXBUS_CONTROL_NAME L"\\Device\\OrvixBusControl"
#define ORVIXBUS_CONTROL_LINK L"\\DosDevices\\OrvixBusControl"
// Unix FIFOs in the prefix's drive C:, opened by the model server before the bus starts.
#define ORVIXBUS_REQUESTS L"\\??\\C:\\orvixbus\\requests"
#define ORVIXBUS_REPLIES L"\\??\\C:\\orvixbus\\replies"

// Control codes of the bus's control device (FILE_DEVICE_UNKNOWN, METHOD_BUFFERED).
#define ORVIXBUS_IOCTL(n) (((0x22) << 16) | ((n) << 2))
#define IOCTL_ORVIXBUS_UNPLUG ORVIXBUS_IOCTL(0x902)  // the adapter is pulled out
#define IOCTL_ORVIXBUS_STATE ORVIXBUS_IOCTL(0x903)   // out: ULONG, 0 gone, 1 present, 2 started

enum OrvixBusKind : uint32_t {
  kBusControl = 1,    // setup packet; OUT data follows, or Length bytes are wanted IN
  kBusBulk = 2,       // Endpoint; OUT data follows, or Length bytes are wanted IN
  kBusCancel = 3,     // the request Id was cancelled by the driver
  kBusConfigure = 4,  // Setup[2] is the configuration value chosen, 0 to un-configure
  kBusDetach = 5,     // the adapter was unplugged: forget every request
  kBusReply = 6,      // model to bus: Status (USBD_STATUS), Bytes moved, IN data follows
};

#pragma pack(push, 1)
struct OrvixBusMessage {
  uint32_t Size;  // header and data
  uint32_t Kind;
  uint64_t Id;
  uint8_t Endpoint;
  uint8_t Setup[8];
  uint8_t Reserved[3];
  uint32_t Length;
  int32_t Status;
  uint32_t Bytes;
};
#pragma pack(pop)

// Larger than any transfer or descriptor the driver asks for.
#define ORVIXBUS_MAX_DATA 8192
#define ORVIXBUS_MAX_MESSAGE (sizeof(struct OrvixBusMessage) + ORVIXBUS_MAX_DATA)
