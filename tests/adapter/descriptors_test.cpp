// The descriptors the bus serves from the adapter: the real device's, the legal variants the
// driver must cope with, and the malformed ones its robustness tests rely on being malformed.
#include "adapter_fixture.h"

namespace hk::test {
namespace {

using adapter::ConfigVariant;

USHORT Word(const Bytes& d, size_t at) { return (USHORT)(d[at] | d[at + 1] << 8); }

struct Walk {
  std::vector<Bytes> Descriptors;  // each as walked by bLength, header first
  bool Clean = true;               // every bLength >= 2 and inside wTotalLength and the bytes
};

Walk WalkConfiguration(const Bytes& d) {
  Walk w;
  size_t total = Word(d, 2);
  for (size_t p = 0; p < total;) {
    if (p + 2 > d.size() || d[p] < 2 || p + d[p] > total || p + d[p] > d.size()) {
      w.Clean = false;
      break;
    }
    w.Descriptors.emplace_back(d.begin() + p, d.begin() + p + d[p]);
    p += d[p];
  }
  return w;
}

struct Layout {
  std::vector<UCHAR> Interfaces;         // interface numbers in order
  std::vector<std::vector<UCHAR>> Pipes;  // endpoint addresses of each interface
};

Layout LayoutOf(const Walk& w) {
  Layout l;
  for (const Bytes& d : w.Descriptors) {
    if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
      l.Interfaces.push_back(d[2]);
      l.Pipes.emplace_back();
    } else if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && !l.Pipes.empty()) {
      EXPECT_EQ(d.size(), 7u);
      EXPECT_EQ(d[3], USB_ENDPOINT_TYPE_BULK);
      EXPECT_EQ(Word(d, 4), 64);
      l.Pipes.back().push_back(d[2]);
    }
  }
  return l;
}

class Descriptors : public AdapterTest {};

TEST_F(Descriptors, DeviceDescriptorIdentifiesAFullSpeedVendorDeviceWithOneConfiguration) {
  adapter::AdapterOptions options;
  options.Serial = u"A1B2";
  Bytes d = Make(options).DeviceDescriptor();
  ASSERT_EQ(d.size(), 18u);
  EXPECT_EQ(d[0], 18);
  EXPECT_EQ(d[1], USB_DEVICE_DESCRIPTOR_TYPE);
  EXPECT_EQ(Word(d, 2), 0x0110);
  EXPECT_EQ(d[4], 0xFF);
  EXPECT_EQ(d[7], 64);
  EXPECT_EQ(Word(d, 8), 0x7A3C);
  EXPECT_EQ(Word(d, 10), 0x0003);
  EXPECT_EQ(Word(d, 12), 0x0100);
  EXPECT_NE(d[16], 0) << "an instance with a serial number names its string";
  EXPECT_EQ(d[17], 1);
  EXPECT_EQ(dev().VendorId(), 0x7A3C);
  EXPECT_EQ(dev().ProductId(), 0x0003);
  EXPECT_EQ(dev().SerialNumber(), u"A1B2");
  EXPECT_EQ(Make().DeviceDescriptor()[16], 0) << "no serial number, no string index";
}

TEST_F(Descriptors, StandardConfigurationHasDataInDataOutAndCreditPipesInThatOrder) {
  Bytes d = Make().ConfigurationDescriptor(0);
  ASSERT_EQ(d.size(), 39u);
  EXPECT_EQ(d[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(Word(d, 2), 39);
  EXPECT_EQ(d[4], 1) << "bNumInterfaces";
  EXPECT_EQ(d[5], 1) << "bConfigurationValue";
  EXPECT_EQ(d[7], 0xA0) << "bmAttributes";
  EXPECT_EQ(d[8], 50) << "MaxPower";
  Walk w = WalkConfiguration(d);
  ASSERT_TRUE(w.Clean);
  Layout l = LayoutOf(w);
  EXPECT_EQ(l.Interfaces, std::vector<UCHAR>{0});
  EXPECT_EQ(l.Pipes, (std::vector<std::vector<UCHAR>>{{0x81, 0x02, 0x83}}));
  EXPECT_EQ(w.Descriptors[1][4], 3) << "bNumEndpoints";
  EXPECT_EQ(w.Descriptors[1][5], 0xFF) << "vendor-specific interface class";
}

TEST_F(Descriptors, LegalVariantsWalkCleanlyAndKeepInterfaceZeroFirst) {
  struct Case {
    ConfigVariant Variant;
    UCHAR NumInterfaces;
    std::vector<UCHAR> Interfaces;
    std::vector<std::vector<UCHAR>> Pipes;
  } cases[] = {
      {ConfigVariant::Long, 1, {0}, {{0x81, 0x02, 0x83}}},
      {ConfigVariant::SecondInterface, 2, {0, 1}, {{0x81, 0x02, 0x83}, {0x84}}},
      {ConfigVariant::InterfaceGap, 2, {0, 2}, {{0x81, 0x02, 0x83}, {0x84}}},
      {ConfigVariant::TwoPipes, 1, {0}, {{0x81, 0x02}}},
  };
  for (const Case& c : cases) {
    adapter::AdapterOptions options;
    options.Variant = c.Variant;
    Bytes d = Make(options).ConfigurationDescriptor(0);
    SCOPED_TRACE(static_cast<int>(c.Variant));
    EXPECT_EQ(Word(d, 2), d.size());
    EXPECT_EQ(d[4], c.NumInterfaces);
    Walk w = WalkConfiguration(d);
    ASSERT_TRUE(w.Clean);
    Layout l = LayoutOf(w);
    EXPECT_EQ(l.Interfaces, c.Interfaces);
    EXPECT_EQ(l.Pipes, c.Pipes);
  }
}

TEST_F(Descriptors, LongConfigurationNeedsASecondReadAfterA521ByteFirstOne) {
  adapter::AdapterOptions options;
  options.Variant = ConfigVariant::Long;
  Bytes d = Make(options).ConfigurationDescriptor(0);
  EXPECT_GT(Word(d, 2), 521);
  Walk w = WalkConfiguration(d);
  ASSERT_TRUE(w.Clean);
  size_t endpoints = 0;
  for (const Bytes& desc : w.Descriptors) {
    if (desc[1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      ++endpoints;
    } else if (desc[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE && desc[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
      EXPECT_EQ(endpoints, 3u) << "the padding comes after the endpoints";
    }
  }
}

TEST_F(Descriptors, MalformedVariantsAreBrokenExactlyAsAdvertised) {
  auto config = [&](ConfigVariant v) {
    adapter::AdapterOptions options;
    options.Variant = v;
    return Make(options).ConfigurationDescriptor(0);
  };
  Bytes lies = config(ConfigVariant::TotalLengthLies);
  EXPECT_EQ(lies.size(), 39u);
  EXPECT_EQ(Word(lies, 2), 1000);

  Bytes zero = config(ConfigVariant::ZeroLengthDescriptor);
  EXPECT_EQ(Word(zero, 2), zero.size());
  EXPECT_FALSE(WalkConfiguration(zero).Clean);
  EXPECT_EQ(zero[18], 0) << "right after the interface descriptor";

  Bytes overrun = config(ConfigVariant::OverrunDescriptor);
  EXPECT_EQ(Word(overrun, 2), overrun.size());
  EXPECT_FALSE(WalkConfiguration(overrun).Clean);
  EXPECT_GT(18u + overrun[18], Word(overrun, 2));

  Bytes small = config(ConfigVariant::TotalLengthTooSmall);
  EXPECT_EQ(Word(small, 2), 4);
  EXPECT_EQ(small.size(), 39u);

  Bytes wrong = config(ConfigVariant::WrongType);
  EXPECT_NE(wrong[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(Word(wrong, 2), 39);

  EXPECT_TRUE(config(ConfigVariant::Empty).empty());
}

TEST_F(Descriptors, OnlyConfigurationIndexZeroExists) {
  Make();
  EXPECT_FALSE(dev().ConfigurationDescriptor(0).empty());
  EXPECT_TRUE(dev().ConfigurationDescriptor(1).empty());
}

TEST_F(Descriptors, ConfigurationValueFollowsSelectAndUnconfigureAndDetach) {
  Make();
  EXPECT_EQ(dev().ConfigurationValue(), 0);
  dev().Configured(1);
  EXPECT_EQ(dev().ConfigurationValue(), 1);
  dev().Configured(0);
  EXPECT_EQ(dev().ConfigurationValue(), 0);
  dev().Configured(1);
  dev().Detached();
  EXPECT_EQ(dev().ConfigurationValue(), 0);
}

}  // namespace
}  // namespace hk::test
