// The machine's clock set back or forward while requests wait: read and write time-outs run on
// the time since start, so a change of the system clock neither ends a request early nor
// holds it back.
#include "data_flow.h"
#include "kernel/clock.h"

namespace hk::test {
namespace {

using namespace win32;

const LONGLONG kHour = 3600LL * 1000 * clock::kUnitsPerMs;

class ClockSet : public DataFlowTest {
 protected:
  void SetUp() override {
    DataFlowTest::SetUp();
    Open();
    AlignToTick();
  }
};

TEST_F(ClockSet, ATotalReadTimeoutEndsOnTimeAfterTheClockIsSetBack) {
  SetTimeouts(0, 0, 100);
  auto read = StartRead(10);
  Receive(Bytes("abc"));
  clock::SetClock(-kHour);
  machine().AdvanceMs(90);
  EXPECT_FALSE(read->Done());
  machine().AdvanceMs(20);
  ASSERT_TRUE(read->Done()) << "the time-out was lost";
  EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read->Text(), "abc");
}

TEST_F(ClockSet, AnIntervalTimeoutIsNeitherHeldBackNorCutShortBySettingTheClock) {
  SetTimeouts(50, 0, 0);
  auto back = StartRead(10);
  Receive(Bytes("ab"));
  machine().AdvanceMs(10);
  clock::SetClock(-kHour);
  machine().AdvanceMs(100);
  ASSERT_TRUE(back->Done()) << "the interval waited for the clock to catch up";
  EXPECT_EQ(back->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(back->Text(), "ab");

  auto forward = StartRead(10);
  Receive(Bytes("cd"));
  machine().AdvanceMs(10);
  clock::SetClock(kHour);
  machine().AdvanceMs(20);
  EXPECT_FALSE(forward->Done()) << "the interval ended before 50 ms without characters";
  machine().AdvanceMs(80);
  ASSERT_TRUE(forward->Done());
  EXPECT_EQ(forward->Text(), "cd");
}

TEST_F(ClockSet, AHeldWriteTimesOutOnTimeAfterTheClockIsSetBack) {
  SetHandflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL);
  SetTimeouts(0, 0, 0, 0, 200);
  auto write = StartWrite(Bytes("held"));
  ASSERT_FALSE(write->Done());
  clock::SetClock(-kHour);
  machine().AdvanceMs(210);
  ASSERT_TRUE(write->Done()) << "the write time-out was lost";
  EXPECT_EQ(write->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(write->Bytes(), 0u);
}

}  // namespace
}  // namespace hk::test
