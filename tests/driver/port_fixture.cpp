#include "port_fixture.h"

#include "io/io_manager.h"
#include "registry/registry.h"
#include "rtl/strings.h"

namespace hk::test {

const GUID kPortInterface = {0x5E1C7A42, 0x9B3D, 0x4F06, {0xA8, 0xE1, 0x2C, 0x47, 0xD9, 0xB0, 0xF3, 0x15}};

std::string Ascii(const std::u16string& s) { return rtl::ToAscii(s); }

pnp::DeviceNode* PortTest::Plug(const std::u16string& serial) {
  adapter::AdapterOptions options;
  options.Serial = serial;
  return machine().PlugIn(std::make_shared<adapter::Adapter>(options));
}

std::u16string PortTest::InstanceOf(const std::u16string& serial) {
  return u"USB\\VID_7A3C&PID_0003\\" + serial;
}

PDEVICE_OBJECT PortTest::Fdo(pnp::DeviceNode* node) { return node->Pdo->AttachedDevice; }

PDEVICE_EXTENSION PortTest::Extension(pnp::DeviceNode* node) { return ExtensionOf(Fdo(node)); }

std::map<std::string, std::string> PortTest::SerialComm() {
  std::map<std::string, std::string> out;
  for (const auto& v : registry::Values(registry::kDeviceMap + u"\\SERIALCOMM")) {
    std::u16string data((const char16_t*)v.Data.data(), v.Data.size() / 2);
    EXPECT_EQ(v.Type, (ULONG)REG_SZ);
    EXPECT_TRUE(!data.empty() && data.back() == 0) << "the device map value keeps its terminating zero";
    while (!data.empty() && data.back() == 0) data.pop_back();
    out[Ascii(v.Name)] = Ascii(data);
  }
  return out;
}

std::optional<std::string> PortTest::LinkTarget(const std::string& dosName) {
  std::u16string link = u"\\DosDevices\\" + rtl::FromAscii(dosName);
  if (!io::LinkExists(link)) return std::nullopt;
  return Ascii(io::LinkTarget(link));
}

size_t PortTest::EnabledInterfaces() { return io::EnabledInterfaces(kPortInterface).size(); }

::testing::AssertionResult PortTest::NoPortNamesLeft() {
  if (!SerialComm().empty()) return ::testing::AssertionFailure() << "a SERIALCOMM value is left";
  if (EnabledInterfaces() != 0) return ::testing::AssertionFailure() << "a device interface is still enabled";
  for (int n = 1; n < 40; ++n)
    if (LinkTarget("COM" + std::to_string(n))) return ::testing::AssertionFailure() << "COM" << n << " is left";
  return ::testing::AssertionSuccess();
}

}  // namespace hk::test
