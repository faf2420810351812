#include "descriptors.h"

namespace hk::adapter {
namespace {

using Bytes = std::vector<UCHAR>;

constexpr UCHAR kVendorSpecificClass = 0xFF;
constexpr UCHAR kBusPoweredRemoteWake = 0xA0;
constexpr UCHAR kMaxPower100mA = 50;  // in 2 mA steps
constexpr UCHAR kVendorDescriptorType = 0xFF;
constexpr UCHAR kOtherSpeedConfigurationType = 0x07;

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

void PutWord(Bytes& out, size_t at, USHORT value) {
  out[at] = (UCHAR)value;
  out[at + 1] = (UCHAR)(value >> 8);
}

Bytes Interface(UCHAR number, UCHAR endpoints) {
  return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, 0, endpoints, kVendorSpecificClass, 0, 0, 0};
}

Bytes BulkEndpoint(UCHAR address) {
  return {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, USB_ENDPOINT_TYPE_BULK, (UCHAR)kMaxPacket, 0, 0};
}

// A vendor-specific descriptor of `length` bytes: skipped by anyone who walks by bLength.
Bytes VendorDescriptor(UCHAR length) {
  Bytes d(length);
  d[0] = length;
  d[1] = kVendorDescriptorType;
  for (size_t i = 2; i < d.size(); ++i) d[i] = (UCHAR)(0x30 + i % 64);
  return d;
}

Bytes Endpoints(bool creditPipe) {
  Bytes out = BulkEndpoint(kDataInEndpoint);
  Append(out, BulkEndpoint(kDataOutEndpoint));
  if (creditPipe) Append(out, BulkEndpoint(kCreditEndpoint));
  return out;
}

// The configuration descriptor header followed by `body`; wTotalLength is the real length.
Bytes Configuration(UCHAR interfaces, const Bytes& body) {
  Bytes out = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, interfaces, kConfigurationValue, 0,
               kBusPoweredRemoteWake, kMaxPower100mA};
  Append(out, body);
  PutWord(out, 2, (USHORT)out.size());
  return out;
}

Bytes Standard() {
  Bytes body = Interface(0, 3);
  Append(body, Endpoints(true));
  return Configuration(1, body);
}

Bytes WithSpareInterface(UCHAR number) {
  Bytes body = Interface(0, 3);
  Append(body, Endpoints(true));
  Append(body, Interface(number, 1));
  Append(body, BulkEndpoint(kSpareEndpoint));
  return Configuration(2, body);
}

// Interface 0 with `bad` between it and its endpoints, where every walk towards the pipes
// has to cross it. wTotalLength covers exactly the bytes present.
Bytes WithBadDescriptor(const Bytes& bad) {
  Bytes body = Interface(0, 3);
  Append(body, bad);
  Append(body, Endpoints(true));
  return Configuration(1, body);
}

}  // namespace

std::vector<UCHAR> DeviceDescriptorBytes(bool hasSerial) {
  Bytes d = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, kVendorSpecificClass, 0, 0, (UCHAR)kMaxPacket,
             0, 0, 0, 0, 0, 0, 0, 0, (UCHAR)(hasSerial ? 3 : 0), 1};
  PutWord(d, 2, 0x0110);  // USB 1.1, full speed
  PutWord(d, 8, kVendorId);
  PutWord(d, 10, kProductId);
  PutWord(d, 12, 0x0100);  // device release 1.00
  return d;
}

std::vector<UCHAR> ConfigurationDescriptorBytes(ConfigVariant variant) {
  switch (variant) {
    case ConfigVariant::Standard: return Standard();
    case ConfigVariant::Long: {
      Bytes body = Interface(0, 3);
      Append(body, Endpoints(true));
      for (int i = 0; i < 3; ++i) Append(body, VendorDescriptor(250));
      return Configuration(1, body);  // 789 bytes: more than a 521-byte first read holds
    }
    case ConfigVariant::SecondInterface: return WithSpareInterface(1);
    case ConfigVariant::InterfaceGap: return WithSpareInterface(2);
    case ConfigVariant::TwoPipes: {
      Bytes body = Interface(0, 2);
      Append(body, Endpoints(false));
      return Configuration(1, body);
    }
    case ConfigVariant::TotalLengthLies: {
      Bytes d = Standard();
      PutWord(d, 2, 1000);
      return d;
    }
    case ConfigVariant::ZeroLengthDescriptor: return WithBadDescriptor({0, kVendorDescriptorType});
    case ConfigVariant::OverrunDescriptor: {
      // Claims 200 bytes; only 4 are there, and the endpoints that follow lie inside its claim.
      return WithBadDescriptor({200, kVendorDescriptorType, 0x55, 0xAA});
    }
    case ConfigVariant::TotalLengthTooSmall: {
      Bytes d = Standard();
      PutWord(d, 2, 4);
      return d;
    }
    case ConfigVariant::WrongType: {
      Bytes d = Standard();
      d[1] = kOtherSpeedConfigurationType;
      return d;
    }
    case ConfigVariant::Empty: return {};
  }
  return {};
}

}  // namespace hk::adapter
