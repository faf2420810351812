// The vendor requests on the default pipe: open and close (2-byte replies carrying the modem
// inputs) and the 8-byte line-settings block that sets the UART.
#pragma once
#include <hostddk/ddk.h>

#include <string>
#include <vector>

namespace hk::adapter {

constexpr UCHAR kVendorInterfaceIn = 0xC1;   // device to host, vendor, interface
constexpr UCHAR kVendorInterfaceOut = 0x41;  // host to device, vendor, interface
constexpr UCHAR kRequestOpen = 1;
constexpr UCHAR kRequestClose = 2;
constexpr UCHAR kRequestSetLine = 3;
constexpr ULONG kPortReplyLength = 2;
constexpr ULONG kLineBlockLength = 8;

// Modem inputs, as in the low nibble of the reply and of every bulk-in header.
constexpr UCHAR kCts = 0x01;
constexpr UCHAR kDsr = 0x02;
constexpr UCHAR kRi = 0x04;
constexpr UCHAR kDcd = 0x08;

struct UartSettings {
  ULONG Baud = 9600;
  UCHAR DataBits = 8;
  UCHAR StopBits = 1;
  char Parity = 'N';  // 'N', 'E' or 'O'
  // Start bit, data bits, parity bit and stop bits: the bits one character takes on the line.
  ULONG BitsPerCharacter() const { return 1 + DataBits + (Parity == 'N' ? 0 : 1) + StopBits; }
  bool operator==(const UartSettings& o) const {
    return Baud == o.Baud && DataBits == o.DataBits && StopBits == o.StopBits && Parity == o.Parity;
  }
};

// Bit rate of a baud code, 0 for a code the adapter does not know.
ULONG BaudForCode(UCHAR code);

struct DecodedLineBlock {
  bool Usable = false;  // false: the adapter refuses the block and keeps its settings
  UartSettings Settings;
  std::string Problem;  // why it is unusable, or what is irregular about a usable one
};
DecodedLineBlock DecodeLineBlock(const UCHAR* data, ULONG length);

// Reply to open and close: byte 1 carries the inputs in its low nibble under firmware flags
// 0x50; byte 0 is 0xA0 with the inputs inverted, so that a host reading the wrong byte, or
// not masking byte 1, gets the lines wrong and shows it.
std::vector<UCHAR> PortReply(UCHAR inputs);

}  // namespace hk::adapter
