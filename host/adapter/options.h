// What a test or the simulator chooses about the modelled adapter: its identity, the shape of
// its configuration descriptor, its timing, what is plugged into its serial port, its buffers.
#pragma once
#include <hostddk/ddk.h>

#include <string>

namespace hk::adapter {

// The configuration descriptor the adapter presents. Standard is the real device; the others
// exercise the driver's descriptor handling, the last six with descriptors that are malformed.
enum class ConfigVariant {
  Standard,              // one interface, endpoints 0x81 bulk IN, 0x02 bulk OUT, 0x83 bulk IN
  Long,                  // Standard followed by vendor-specific descriptors: wTotalLength 789
  SecondInterface,       // interfaces 0 and 1; interface 1 has one endpoint (0x84 bulk IN)
  InterfaceGap,          // bNumInterfaces 2, but the interfaces are numbered 0 and 2
  TwoPipes,              // interface 0 has only 0x81 and 0x02
  TotalLengthLies,       // wTotalLength 1000, yet only the 39 real bytes are ever returned
  ZeroLengthDescriptor,  // a descriptor with bLength 0 between the interface and its endpoints
  OverrunDescriptor,     // a descriptor between the interface and its endpoints whose bLength
                         // runs past wTotalLength
  TotalLengthTooSmall,   // wTotalLength 4 (the 39 bytes are still returned)
  WrongType,             // bDescriptorType 7 (other-speed configuration) instead of 2
  Empty,                 // the device answers with 0 bytes
};

// What is wired to the adapter's RS-232 connector.
enum class LinePartner {
  None,      // nothing: the test drives the inputs and reads what the adapter transmits
  Loopback,  // a loopback plug: TX to RX, RTS to CTS, DTR to DSR and DCD, RI open
};

struct AdapterOptions {
  std::u16string Serial;  // instance serial; empty lets the bus number the port
  ConfigVariant Variant = ConfigVariant::Standard;
  // Characters leave and arrive instantly instead of at the UART's character rate. Through a
  // loopback plug such a line is as fast as the receive FIFO drains and no faster: the adapter
  // offers credit only for what the FIFO has room for, since a line with no speed would
  // otherwise let the host's writing outrun its own reading by any amount, which no real line allows.
  bool Unthrottled = false;
  LinePartner Partner = LinePartner::None;
  ULONG TxBufferUnits = 128;  // characters the transmit buffer holds
  ULONG RxFifoChars = 4096;   // received characters held while no bulk-in transfer is pending
};

}  // namespace hk::adapter
