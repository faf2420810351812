// The adapter's USB descriptors, byte for byte as the device sends them.
#pragma once
#include <hostddk/ddk.h>

#include <vector>

#include "options.h"

namespace hk::adapter {

constexpr USHORT kVendorId = 0x7A3C;
constexpr USHORT kProductId = 0x0003;
constexpr UCHAR kConfigurationValue = 1;

// Interface 0, in the order the driver takes them by position.
constexpr UCHAR kDataInEndpoint = 0x81;   // received characters and modem status
constexpr UCHAR kDataOutEndpoint = 0x02;  // transmit stream
constexpr UCHAR kCreditEndpoint = 0x83;   // free room in the transmit buffer
// The one endpoint of the extra interface of SecondInterface and InterfaceGap: never used.
constexpr UCHAR kSpareEndpoint = 0x84;
constexpr ULONG kMaxPacket = 64;

// 18 bytes; iSerialNumber is 3 when the instance has a serial number, and 0 otherwise.
std::vector<UCHAR> DeviceDescriptorBytes(bool hasSerial);
// Configuration index 0 in the chosen variant: exactly what the device returns, at most.
std::vector<UCHAR> ConfigurationDescriptorBytes(ConfigVariant variant);

}  // namespace hk::adapter
