// Reads under every read time-out mode, in virtual time: what a read returns, with which status
// and exactly when; the interval time-out measured at its polls; the time-outs in force right
// after open; the pause of a read while basic settings are imposed.
#include <thread>

#include "data_flow.h"
#include "kernel/clock.h"

namespace hk::test {
namespace {

using namespace win32;

class RxTimeouts : public DataFlowTest {
 protected:
  void SetUp() override {
    DataFlowTest::SetUp();
    Open();
    AlignToTick();
  }
  ULONG Waiting() { return CommStatus().AmountInInQueue; }
};

TEST_F(RxTimeouts, ImmediateModeReturnsWhatIsBufferedAndEmptiesTheBuffer) {
  SetTimeouts(MAXULONG, 0, 0);
  auto empty = StartRead(10);
  ASSERT_TRUE(empty->Done());
  EXPECT_EQ(empty->Status(), STATUS_SUCCESS);
  EXPECT_EQ(empty->Bytes(), 0u);

  Receive(Bytes("hello"));
  auto some = StartRead(10);
  ASSERT_TRUE(some->Done());
  EXPECT_EQ(some->Status(), STATUS_SUCCESS);
  EXPECT_EQ(some->Text(), "hello");
  EXPECT_EQ(Waiting(), 0u);
}

TEST_F(RxTimeouts, FirstCharacterModeCutsTheReadToOneOrTimesOutEmpty) {
  SetTimeouts(MAXULONG, MAXULONG, 50);
  Receive(Bytes("xyz"));
  auto one = StartRead(100);
  ASSERT_TRUE(one->Done());
  EXPECT_EQ(one->Status(), STATUS_SUCCESS);
  EXPECT_EQ(one->Text(), "x");
  EXPECT_EQ(Waiting(), 2u);

  auto rest = StartRead(100);
  ASSERT_TRUE(rest->Done());
  EXPECT_EQ(rest->Text(), "y");
  auto last = StartRead(100);
  ASSERT_TRUE(last->Done());
  EXPECT_EQ(last->Text(), "z");

  LONGLONG start = NowMs();
  auto none = StartRead(100);
  machine().AdvanceMs(40);
  EXPECT_FALSE(none->Done()) << "the total time-out is 50 ms";
  machine().AdvanceMs(10);
  ASSERT_TRUE(none->Done());
  EXPECT_EQ(none->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(none->Bytes(), 0u);
  EXPECT_EQ(NowMs() - start, 50);
}

TEST_F(RxTimeouts, AnyCharacterModeCompletesWhenTheFirstPacketArrives) {
  SetTimeouts(MAXULONG, 0, 100);
  auto read = StartRead(10);
  machine().AdvanceMs(30);
  EXPECT_FALSE(read->Done());
  Receive(Bytes("ab"));
  ASSERT_TRUE(read->Done()) << "completes with the packet, at 30 ms";
  EXPECT_EQ(read->Status(), STATUS_SUCCESS);
  EXPECT_EQ(read->Text(), "ab");
  // Its total timer is gone with it: nothing fires at 100 ms into the next read.
  SetTimeouts(0, 0, 0);
  auto next = StartRead(1);
  machine().AdvanceMs(200);
  EXPECT_FALSE(next->Done());
  Receive(Bytes("c"));
  ASSERT_TRUE(next->Done());
  EXPECT_EQ(next->Status(), STATUS_SUCCESS);

  // Already buffered: at once.
  SetTimeouts(MAXULONG, 0, 100);
  Receive(Bytes("de"));
  auto buffered = StartRead(10);
  ASSERT_TRUE(buffered->Done());
  EXPECT_EQ(buffered->Text(), "de");
}

TEST_F(RxTimeouts, TotalTimeoutIsMultiplierTimesLengthPlusConstant) {
  SetTimeouts(0, 10, 0);
  LONGLONG start = NowMs();
  auto read = StartRead(5);
  EXPECT_EQ(Ext()->ReadTotalDueTime.QuadPart, -500000);
  machine().AdvanceMs(20);
  Receive(Bytes("ab"));
  EXPECT_FALSE(read->Done()) << "two of five characters do not finish the read";
  machine().AdvanceMs(20);
  EXPECT_FALSE(read->Done());
  machine().AdvanceMs(10);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(NowMs() - start, 50);
  EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read->Text(), "ab") << "a time-out delivers what arrived";
  EXPECT_EQ(Waiting(), 0u);

  SetTimeouts(0, 10, 25);
  auto full = StartRead(3);
  EXPECT_EQ(Ext()->ReadTotalDueTime.QuadPart, -550000);
  Receive(Bytes("xyz"));
  ASSERT_TRUE(full->Done());
  EXPECT_EQ(full->Status(), STATUS_SUCCESS);
  EXPECT_EQ(full->Text(), "xyz");
}

TEST_F(RxTimeouts, NoTimeoutsWaitForEveryCharacter) {
  SetTimeouts(0, 0, 0);
  auto read = StartRead(10);
  Receive(Bytes("abc"));
  machine().AdvanceMs(2000);
  Receive(Bytes("def"));
  machine().AdvanceMs(120000);
  EXPECT_FALSE(read->Done()) << "six of ten characters, and no time-out";
  EXPECT_EQ(Waiting(), 6u) << "a waiting read only looks at the buffer";
  Receive(Bytes("ghijk"));
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Status(), STATUS_SUCCESS);
  EXPECT_EQ(read->Text(), "abcdefghij");
  EXPECT_EQ(Waiting(), 1u);
}

TEST_F(RxTimeouts, IntervalIsMeasuredFromTheFirstPollAfterThePacket) {
  SetTimeouts(50, 0, 0);
  EXPECT_EQ(Ext()->IntervalPollDueTime.QuadPart, -1) << "polled at every clock tick";
  auto read = StartRead(10);
  machine().AdvanceMs(1000);
  EXPECT_FALSE(read->Done()) << "the interval runs only once something arrived";

  LONGLONG t0 = NowMs();
  Receive(Bytes("abc"));
  machine().AdvanceMs(30);
  Receive(Bytes("de"));  // restarts the measurement
  machine().AdvanceMs(59);
  EXPECT_FALSE(read->Done()) << "stamped at the poll at t0+40: 50 ms end at t0+90";
  machine().AdvanceMs(1);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(NowMs() - t0, 90);
  EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read->Text(), "abcde");
  EXPECT_EQ(Waiting(), 0u);
}

TEST_F(RxTimeouts, LongIntervalIsPolledOnceASecond) {
  SetTimeouts(30000, 0, 0);
  EXPECT_EQ(Ext()->IntervalPollDueTime.QuadPart, -10000000);
  LONGLONG t0 = NowMs();
  auto read = StartRead(10);
  machine().AdvanceMs(100);
  Receive(Bytes("ab"));
  // First poll at t0+1 s stamps the time; the read ends at the first poll 30 s after it.
  machine().AdvanceMs(30800);
  EXPECT_FALSE(read->Done()) << "a per-tick poll would have ended it at t0+30.11 s";
  machine().AdvanceMs(100);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(NowMs() - t0, 31000);
  EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read->Text(), "ab");
}

TEST_F(RxTimeouts, RightAfterOpenOldTimeoutsGiveNoTotalTimeoutAndASecondPoll) {
  SetTimeouts(50, 10, 100);
  Close();
  Open();
  AlignToTick();
  SERIAL_TIMEOUTS kept{};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &kept, sizeof kept), STATUS_SUCCESS);
  EXPECT_EQ(kept.ReadIntervalTimeout, 50u);
  EXPECT_EQ(kept.ReadTotalTimeoutMultiplier, 10u);
  EXPECT_EQ(kept.ReadTotalTimeoutConstant, 100u);
  EXPECT_EQ(Ext()->ReadTimeoutMode, 0);

  LONGLONG t0 = NowMs();
  auto read = StartRead(5);
  machine().AdvanceMs(5000);
  EXPECT_FALSE(read->Done()) << "no total time-out although the stored values ask for 150 ms";
  Receive(Bytes("ab"));
  // Polls every second from t0: the one at t0+6 s stamps, the one at t0+7 s ends it.
  machine().AdvanceMs(1990);
  EXPECT_FALSE(read->Done());
  machine().AdvanceMs(10);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(NowMs() - t0, 7000);
  EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read->Text(), "ab");
}

TEST_F(RxTimeouts, BasicSettingsMakeAnEmptyReadPauseAndTimeOut) {
  SERIAL_BASIC_SETTINGS previous{};
  ULONG_PTR info = 0;
  ASSERT_EQ(InternalIoctl(Fdo(), IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, nullptr, 0, &previous, sizeof previous, &info),
            STATUS_SUCCESS);
  EXPECT_EQ(info, sizeof previous);
  ASSERT_TRUE(Ext()->BasicSettingsActive);

  // The read dispatch pauses in the caller's thread, so the read comes from a thread of its
  // own while this one moves the clock.
  LONGLONG start = clock::Now();
  LONGLONG pauseEnd = start + 240 * clock::kUnitsPerMs;
  Pending read;
  read.Buffer.assign(10, 0);
  std::thread reader([&] { ReadFile(Handle(), read.Buffer.data(), 10, nullptr, &read.Ov); });
  for (int i = 0; i < 5000 && clock::NextDue() != pauseEnd; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Not ASSERT: the clock must still move on below so that the reader thread ends and is joined.
  EXPECT_EQ(clock::NextDue(), pauseEnd) << "the read dispatch did not start its pause";
  machine().AdvanceMs(230);
  EXPECT_FALSE(read.Done());
  machine().AdvanceMs(10);
  reader.join();
  machine().Settle();
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read.Bytes(), 0u);

  // With characters buffered there is no pause.
  Receive(Bytes("ok"));
  auto buffered = StartRead(2);
  ASSERT_TRUE(buffered->Done());
  EXPECT_EQ(buffered->Status(), STATUS_SUCCESS);
  EXPECT_EQ(buffered->Text(), "ok");
}

}  // namespace
}  // namespace hk::test
