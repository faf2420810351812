// The port's names: device objects numbered per driver load, the COM link and SERIALCOMM value
// named after the PortName the installation stored, the device interface, and every way a bad
// PortName value or a failing step leaves nothing behind.
#include "io/io_manager.h"
#include "port_fixture.h"
#include "registry/registry.h"
#include "rtl/strings.h"

namespace hk::test {
namespace {

class Naming : public PortTest {};

TEST_F(Naming, FirstAdapterIsVexon0ReachableAsCom5UntilItIsUnplugged) {
  pnp::DeviceNode* node = Plug();
  ASSERT_EQ(node->State, pnp::DeviceState::Started);
  EXPECT_EQ(*LinkTarget("COM5"), "\\Device\\Vexon0");
  auto map = SerialComm();
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map["\\Device\\Vexon0"], "COM5");
  auto interfaces = io::EnabledInterfaces(kPortInterface);
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_NE(Ascii(interfaces[0]).find("USB#VID_7A3C&PID_0003#A0001#{5E1C7A42-9B3D-4F06-A8E1-2C47D9B0F315}"),
            std::string::npos);
  machine().Unplug(node);
  EXPECT_TRUE(NoPortNamesLeft());
  EXPECT_EQ(io::RegisteredInterfaces(kPortInterface).size(), 1u) << "the interface stays registered";
}

TEST_F(Naming, DeviceNumbersFollowOnAndAreNeverReused) {
  pnp::DeviceNode* a = Plug(u"A");
  pnp::DeviceNode* b = Plug(u"B");
  EXPECT_EQ(SerialComm()["\\Device\\Vexon1"], "COM6");
  machine().Unplug(a);
  pnp::DeviceNode* c = Plug(u"C");
  auto map = SerialComm();
  EXPECT_EQ(map.count("\\Device\\Vexon0"), 0u);
  EXPECT_EQ(map["\\Device\\Vexon1"], "COM6");
  EXPECT_EQ(map["\\Device\\Vexon2"], "COM7") << "the unplugged adapter keeps its COM5 and its number";
  machine().Unplug(b);
  machine().Unplug(c);
  pnp::DeviceNode* again = Plug(u"A");
  EXPECT_EQ(SerialComm()["\\Device\\Vexon0"], "COM5") << "a new load of the driver counts from 0";
  machine().Unplug(again);
}

struct GoodPortName {
  const char* what;
  ULONG type;
  std::u16string data;
  std::string expected;
};

void PrintTo(const GoodPortName& p, std::ostream* os) { *os << p.what; }

class GoodPortNames : public Naming, public ::testing::WithParamInterface<GoodPortName> {};

TEST_P(GoodPortNames, StringValuesNameThePort) {
  const auto& p = GetParam();
  registry::SetValue(pnp::HardwareKey(InstanceOf(u"A0001")), u"PortName", p.type, p.data.data(),
                     p.data.size() * sizeof(char16_t));
  pnp::DeviceNode* node = Plug();
  ASSERT_EQ(node->State, pnp::DeviceState::Started) << p.what;
  EXPECT_EQ(SerialComm()["\\Device\\Vexon0"], p.expected);
  EXPECT_EQ(*LinkTarget(p.expected), "\\Device\\Vexon0");
  machine().Unplug(node);
  EXPECT_TRUE(NoPortNamesLeft());
}

INSTANTIATE_TEST_SUITE_P(
    Values, GoodPortNames,
    ::testing::Values(GoodPortName{"REG_SZ without its terminating zero", REG_SZ, u"COM9", "COM9"},
                      GoodPortName{"REG_EXPAND_SZ", REG_EXPAND_SZ, std::u16string(u"COM10\0", 6), "COM10"},
                      GoodPortName{"REG_MULTI_SZ: the first string", REG_MULTI_SZ,
                                   std::u16string(u"COM11\0COM12\0\0", 13), "COM11"},
                      GoodPortName{"32 characters, the longest that fits", REG_SZ,
                                   std::u16string(u"PORT") + std::u16string(28, u'X'),
                                   "PORT" + std::string(28, 'X')}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

// A REG_SZ of an odd byte count without its terminating zero: the name is its whole characters,
// and nothing past the value's copy is read (AddressSanitizer watches the copy's end).
TEST_F(Naming, AnOddLengthStringWithoutATerminatorNamesThePortByItsWholeCharacters) {
  const char bytes[] = {'C', 0, 'O', 0, 'M', 0, '7', 0, 'X'};
  registry::SetValue(pnp::HardwareKey(InstanceOf(u"A0001")), u"PortName", REG_SZ, bytes, sizeof bytes);
  pnp::DeviceNode* node = Plug();
  ASSERT_EQ(node->State, pnp::DeviceState::Started);
  EXPECT_EQ(SerialComm()["\\Device\\Vexon0"], "COM7");
  machine().Unplug(node);
  EXPECT_TRUE(NoPortNamesLeft());
}

struct BadPortName {
  const char* what;
  ULONG type;
  std::u16string data;
  NTSTATUS expected;
};

void PrintTo(const BadPortName& p, std::ostream* os) { *os << p.what; }

class BadPortNames : public Naming, public ::testing::WithParamInterface<BadPortName> {};

TEST_P(BadPortNames, AddDeviceFailsAndLeavesNothingBehind) {
  const auto& p = GetParam();
  registry::SetValue(pnp::HardwareKey(InstanceOf(u"A0001")), u"PortName", p.type, p.data.data(),
                     p.data.size() * sizeof(char16_t));
  pnp::DeviceNode* node = Plug();
  EXPECT_EQ(node->State, pnp::DeviceState::AddFailed) << p.what;
  EXPECT_EQ(node->LastStatus, p.expected) << p.what;
  EXPECT_EQ(node->Pdo->AttachedDevice, nullptr);
  EXPECT_TRUE(NoPortNamesLeft());
  EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr) << "the driver unloads, and gave back all its pool";
  machine().Unplug(node);
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadPortNames,
    ::testing::Values(BadPortName{"a number", REG_DWORD, std::u16string(u"\x0005\0", 2), STATUS_OBJECT_TYPE_MISMATCH},
                      BadPortName{"binary data", REG_BINARY, u"COM5", STATUS_OBJECT_TYPE_MISMATCH},
                      BadPortName{"an empty string", REG_SZ, std::u16string(u"\0", 1), STATUS_OBJECT_NAME_INVALID},
                      BadPortName{"33 characters", REG_SZ, std::u16string(33, u'C'), STATUS_OBJECT_NAME_INVALID},
                      BadPortName{"a long string", REG_MULTI_SZ, std::u16string(200, u'C'),
                                  STATUS_OBJECT_NAME_INVALID}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST_F(Naming, MissingValueOrUnreadableKeyFailsTheAdd) {
  pnp::SkipPortInstallation(true);
  pnp::DeviceNode* node = Plug(u"NOPORT");
  EXPECT_EQ(node->State, pnp::DeviceState::AddFailed);
  EXPECT_EQ(node->LastStatus, STATUS_OBJECT_NAME_NOT_FOUND);
  machine().Unplug(node);
  pnp::SkipPortInstallation(false);
  pnp::FailDeviceKeyOpen(true);
  node = Plug(u"NOKEY");
  EXPECT_EQ(node->LastStatus, STATUS_OBJECT_NAME_NOT_FOUND);
  pnp::FailDeviceKeyOpen(false);
  machine().Unplug(node);
  EXPECT_TRUE(NoPortNamesLeft());
}

TEST_F(Naming, TakenComNameOrFailedDeviceMapWriteLeavesNothingBehind) {
  ASSERT_TRUE(io::CreateLink(u"\\DosDevices\\COM5", u"\\Device\\Serial0"));
  pnp::DeviceNode* node = Plug(u"TAKEN");
  EXPECT_EQ(node->LastStatus, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_TRUE(SerialComm().empty());
  EXPECT_EQ(EnabledInterfaces(), 0u);
  machine().Unplug(node);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, (PCWSTR)u"\\DosDevices\\COM5");
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);

  registry::FailWrites(true);
  node = Plug(u"NOMAP");
  registry::FailWrites(false);
  EXPECT_EQ(node->LastStatus, STATUS_ACCESS_DENIED);
  machine().Unplug(node);
  EXPECT_TRUE(NoPortNamesLeft());
}

TEST_F(Naming, AttachFailureDeletesTheNewDevice) {
  io::FailNextAttach();
  pnp::DeviceNode* node = Plug();
  EXPECT_EQ(node->LastStatus, STATUS_NO_SUCH_DEVICE);
  EXPECT_TRUE(NoPortNamesLeft());
  machine().Unplug(node);
}

}  // namespace
}  // namespace hk::test
