// A port end to end: open, write through the adapter, read back through a loopback plug.
#include "open_port.h"

namespace hk::test {
namespace {

class Smoke : public OpenPortTest {
 protected:
  adapter::AdapterOptions AdapterSetup() override {
    auto o = OpenPortTest::AdapterSetup();
    o.Partner = adapter::LinePartner::Loopback;
    return o;
  }
};

TEST_F(Smoke, WriteComesBackThroughTheLoopbackPlug) {
  Open();
  SetTimeouts(0, 0, 0);
  auto write = StartWrite(Bytes("hello"));
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(write->Bytes(), 5u);
  auto read = StartRead(5);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Status(), STATUS_SUCCESS);
  EXPECT_EQ(std::string(read->Buffer.begin(), read->Buffer.end()), "hello");
  Close();
}

}  // namespace
}  // namespace hk::test
