// Writes held by output flow control (CTS handshake, XON/XOFF): refused at once, held until the
// line allows or the write time-out ends them, exempt when XOFF-continue applies; aborts of a
// long write; and held writes that nothing but their own release or timer may end.
#include <algorithm>
#include <thread>

#include "data_flow.h"
#include "scheduled.h"
#include "transmit/transmit.h"

namespace hk::test {
namespace {

using namespace win32;

const UCHAR kCts = 0x01;
const UCHAR kXon = 0x11;
const UCHAR kXoff = 0x13;

class TxHold : public DataFlowTest {
 protected:
  void SetUp() override {
    DataFlowTest::SetUp();
    Open();
    AlignToTick();
  }
  void CtsHandshake() { SetHandflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL); }
  void XonXoff(ULONG extra = 0) { SetHandflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT | extra); }
  std::vector<UCHAR> Sent() { return DataCharacters(Device().BulkOutTransfers()); }

  // How a write of the race below ended, when it was still held as the racers started.
  enum RaceEnd { kCancelWon, kCancelLostToCts, kCancelLostToTimeout, kPurgeWon, kReleased, kTimeout, kNoRace };
  static std::vector<std::string> RaceEndNames() {
    return {"cancelled by CancelIoEx", "sent although cancelled", "timed out although cancelled",
            "aborted by the purge", "released by CTS", "timed out"};
  }
  // One round of the race: a write of 1 to 40 characters with a total time-out of 10 ms under
  // the CTS handshake, and around it CTS going on or off, a cancellation (one round in three)
  // and, in one round in five, a purge aborting writes. The data and the status go to `data`
  // and `status`. Fails the test and returns false when the write never completed.
  bool RaceRound(int round, std::vector<std::vector<UCHAR>>& data, std::vector<NTSTATUS>& status, RaceEnd* end) {
    data.push_back(Pattern(1 + round % 40, 1000 + round));
    bool cancel = round % 3 == 0, purge = round % 5 == 2;
    auto write = StartWrite(data.back());
    bool raced = !write->Done();
    std::thread canceller = sched::Spawn([&] {
      if (!cancel) return;
      Lag(round % 13 * 8);
      CancelIoEx(Handle(), &write->Ov);
    });
    std::thread line = sched::Spawn([&] { Device().SetModemInputs(round % 2 ? kCts : 0); });
    std::thread purger = sched::Spawn([&] {
      if (purge) {
        Pending abort;
        ULONG mask = SERIAL_PURGE_TXABORT;
        DeviceIoControl(Handle(), IOCTL_SERIAL_PURGE, &mask, sizeof mask, nullptr, 0, nullptr, &abort.Ov);
      }
    });
    Lag(round % 11 * 6);
    machine().AdvanceMs(10);
    sched::Join(canceller);
    sched::Join(line);
    sched::Join(purger);
    machine().AdvanceMs(10);
    if (!write->Done()) {
      ADD_FAILURE() << "round " << round << ": the write never completed";
      return false;
    }
    NTSTATUS s = write->Status();
    EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_CANCELLED || s == STATUS_TIMEOUT)
        << "round " << round << ": 0x" << std::hex << s;
    EXPECT_EQ(write->Bytes(), s == STATUS_SUCCESS ? data.back().size() : 0u) << "round " << round;
    if (s == STATUS_CANCELLED) {
      EXPECT_TRUE(cancel || purge) << "round " << round << ": cancelled with nothing cancelling it";
    }
    status.push_back(s);
    *end = kNoRace;
    if (raced && s == STATUS_CANCELLED) *end = cancel ? kCancelWon : kPurgeWon;
    if (raced && s == STATUS_SUCCESS) *end = cancel ? kCancelLostToCts : kReleased;
    if (raced && s == STATUS_TIMEOUT) *end = cancel ? kCancelLostToTimeout : kTimeout;
    return true;
  }
  // What went out is every successful write whole and in order, a cancelled one whole or not
  // at all, and nothing of one that timed out. Returns how many cancelled writes went out whole.
  int ExpectSentAccountedFor(const std::vector<std::vector<UCHAR>>& data, const std::vector<NTSTATUS>& status) {
    auto sent = Sent();
    size_t at = 0;
    int cancelledButSent = 0;
    for (size_t round = 0; round < status.size(); ++round) {
      const auto& d = data[round];
      bool whole = at + d.size() <= sent.size() && std::equal(d.begin(), d.end(), sent.begin() + (long)at);
      if (status[round] == STATUS_SUCCESS && !whole) {
        ADD_FAILURE() << "round " << round << ": a completed write did not go out whole and in order";
        return cancelledButSent;
      }
      if (status[round] == STATUS_TIMEOUT) whole = false;
      if (whole) at += d.size();
      cancelledButSent += whole && status[round] == STATUS_CANCELLED;
    }
    EXPECT_EQ(at, sent.size()) << "characters went out that no write accounts for";
    return cancelledButSent;
  }
};

TEST_F(TxHold, CtsOffWithoutWriteTimeoutsRefusesTheWriteAtOnce) {
  CtsHandshake();
  SetTimeouts(0, 0, 0, 0, 0);
  auto write = StartWrite(Bytes("abc"));
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(write->Bytes(), 0u);
  Device().SetModemInputs(kCts);
  machine().AdvanceMs(1000);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
}

TEST_F(TxHold, CtsComingOnWithinTheTimeoutReleasesTheWrite) {
  CtsHandshake();
  SetTimeouts(0, 0, 0, 0, 1000);
  auto write = StartWrite(Bytes("abc"));
  EXPECT_FALSE(write->Done());
  EXPECT_EQ(CommStatus().HoldReasons, (ULONG)SERIAL_TX_WAITING_FOR_CTS);
  machine().AdvanceMs(990);
  EXPECT_TRUE(Sent().empty());
  Device().SetModemInputs(kCts);
  machine().Settle();
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(write->Bytes(), 3u);
  EXPECT_EQ(Sent(), Bytes("abc"));
  EXPECT_EQ(CommStatus().HoldReasons, 0u);
  machine().AdvanceMs(1000);  // its timer is gone
}

TEST_F(TxHold, HeldWriteTimesOutAfterItsTotalTimeoutAndSendsNothing) {
  CtsHandshake();
  SetTimeouts(0, 0, 0, 10, 500);  // 10 ms per character + 500 ms: 1,000 ms for 50
  auto write = StartWrite(Pattern(50));
  EXPECT_EQ(Ext()->WriteTotalDueTime.QuadPart, -10000000);
  machine().AdvanceMs(990);
  EXPECT_FALSE(write->Done());
  machine().AdvanceMs(10);
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(write->Bytes(), 0u);
  Device().SetModemInputs(kCts);
  machine().AdvanceMs(100);
  EXPECT_TRUE(Sent().empty()) << "nothing of a timed-out write is sent later";
}

TEST_F(TxHold, ReceivedXoffHoldsAndSetXonOrAReceivedXonReleases) {
  XonXoff();
  SetTimeouts(0, 0, 0, 0, 5000);
  Receive({'a', kXoff});
  auto held = StartWrite(Bytes("one"));
  EXPECT_FALSE(held->Done());
  EXPECT_EQ(CommStatus().HoldReasons, (ULONG)SERIAL_TX_WAITING_FOR_XON);
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_XON), STATUS_SUCCESS);
  ASSERT_TRUE(held->Done());
  EXPECT_EQ(held->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), Bytes("one"));

  Receive({kXoff, 'b'});
  auto again = StartWrite(Bytes("two"));
  EXPECT_FALSE(again->Done());
  Receive({kXon});
  ASSERT_TRUE(again->Done());
  EXPECT_EQ(again->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), Bytes("onetwo"));

  // XON and XOFF themselves never reach a read.
  SetTimeouts(MAXULONG, 0, 0, 0, 5000);
  auto read = StartRead(10);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Text(), "ab");
}

TEST_F(TxHold, SetXoffHoldsOnlyWithOutputXonXoff) {
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_XOFF), STATUS_SUCCESS);
  auto free = StartWrite(Bytes("a"));
  ASSERT_TRUE(free->Done()) << "output XON/XOFF is off";
  EXPECT_EQ(free->Status(), STATUS_SUCCESS);

  XonXoff();
  SetTimeouts(0, 0, 0, 0, 5000);
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_XOFF), STATUS_SUCCESS);
  auto held = StartWrite(Bytes("b"));
  EXPECT_FALSE(held->Done());
  EXPECT_EQ(CommStatus().HoldReasons, (ULONG)SERIAL_TX_WAITING_FOR_XON);
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_XON), STATUS_SUCCESS);
  ASSERT_TRUE(held->Done());
  EXPECT_EQ(Sent(), Bytes("ab"));
}

TEST_F(TxHold, XoffContinueExemptsDataWithFlowCharactersFromTheTimeout) {
  XonXoff(SERIAL_XOFF_CONTINUE);
  SetTimeouts(0, 0, 0, 0, 0);
  Receive({kXoff});
  auto plain = StartWrite(Bytes("plain"));
  ASSERT_TRUE(plain->Done());
  EXPECT_EQ(plain->Status(), STATUS_TIMEOUT) << "no flow character in the data: no exemption";

  auto exempt = StartWrite({'x', kXoff, 'y'});
  EXPECT_FALSE(exempt->Done());
  machine().AdvanceMs(120000);
  EXPECT_FALSE(exempt->Done()) << "an exempt held write has no timer";
  EXPECT_TRUE(Sent().empty());
  Receive({kXon});
  ASSERT_TRUE(exempt->Done());
  EXPECT_EQ(exempt->Status(), STATUS_SUCCESS);
  EXPECT_EQ(exempt->Bytes(), 3u);
  EXPECT_EQ(Sent(), std::vector<UCHAR>({'x', kXoff, 'y'}));
}

TEST_F(TxHold, PurgeTxAbortEndsALongWriteAndOnlyItsFramedChunkGoesOut) {
  Bus().SetFramePacing(true);
  auto data = Pattern(150000, 3);
  auto write = StartWrite(data);
  machine().AdvanceMs(100);
  ASSERT_FALSE(write->Done());
  EXPECT_EQ(Purge(SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_CANCELLED);
  EXPECT_EQ(write->Bytes(), 0u);
  for (int i = 0; i < 10000 && Ext()->TxCount != 0; ++i) machine().AdvanceMs(1);
  machine().AdvanceMs(100);
  EXPECT_EQ(Ext()->TxCount, 0u);
  EXPECT_EQ(Ext()->TxSourceIndex, 0u);
  auto sent = Sent();
  EXPECT_EQ(sent, std::vector<UCHAR>(data.begin(), data.begin() + 100000)) << "the first chunk whole, nothing else";

  auto next = StartWrite(Bytes("next"));
  machine().AdvanceMs(10);
  ASSERT_TRUE(next->Done());
  EXPECT_EQ(next->Status(), STATUS_SUCCESS);
}

TEST_F(TxHold, LineChangesDrainedWhileAWriteIsHeldDoNotCompleteIt) {
  CtsHandshake();
  SetTimeouts(0, 0, 0, 0, 5000);
  auto write = StartWrite(Bytes("held"));
  ASSERT_FALSE(write->Done());
  ASSERT_EQ(SetLine(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
  machine().AdvanceMs(100);
  EXPECT_EQ(UnitsText(Device().BulkOutTransfers()), "C3 00 | C1 00 | C3 00") << "open's, then the two changes";
  EXPECT_FALSE(write->Done()) << "the buffer drained, but the write is still held";
  Device().SetModemInputs(kCts);
  machine().Settle();
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(write->Bytes(), 4u);
  EXPECT_EQ(Sent(), Bytes("held"));
}

TEST_F(TxHold, TimerOfAnEarlierHeldWriteNeverEndsALaterOne) {
  CtsHandshake();
  SetTimeouts(0, 0, 0, 0, 1000);
  LONGLONG t0 = NowMs();
  auto first = StartWrite(Bytes("1"));  // due at t0+1000
  machine().AdvanceMs(500);
  CancelIo(Handle());
  machine().Settle();
  ASSERT_EQ(first->Status(), STATUS_CANCELLED);
  machine().AdvanceMs(100);
  auto second = StartWrite(Bytes("2"));  // due at t0+1600
  machine().AdvanceMs(400);
  EXPECT_FALSE(second->Done()) << "ended at t0+1000 by the first write's timer";

  // A timer DPC of the earlier write that was already on its way when that write ended.
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  WriteTotalTimeoutDpc(&Ext()->WriteTotalDpc, Ext(), nullptr, nullptr);
  KeLowerIrql(irql);
  machine().Settle();
  EXPECT_FALSE(second->Done()) << "a stale write-timer DPC ended a held write before its time";

  machine().AdvanceMs(600);
  ASSERT_TRUE(second->Done());
  EXPECT_EQ(NowMs() - t0, 1600);
  EXPECT_EQ(second->Status(), STATUS_TIMEOUT);
  EXPECT_TRUE(Sent().empty());
}

// Writes held and released by CTS, cancelled, aborted and timed out, all at once, round after
// round. Each write completes exactly once; what went out is every successful write whole and
// in order, a cancelled one whole or not at all, and nothing of one that timed out.
TEST_F(TxHold, CtsCancelAbortAndTimeoutsRacingCompleteEachWriteOnce) {
  const int kRounds = 300;
  CtsHandshake();
  SetTimeouts(0, 0, 0, 0, 10);
  std::vector<std::vector<UCHAR>> data;
  std::vector<NTSTATUS> status;
  for (int round = 0; round < kRounds; ++round) {
    RaceEnd end;
    if (!RaceRound(round, data, status, &end)) return;
  }
  ExpectSentAccountedFor(data, status);
  RecordProperty("succeeded", (int)std::count(status.begin(), status.end(), STATUS_SUCCESS));
  RecordProperty("cancelled", (int)std::count(status.begin(), status.end(), STATUS_CANCELLED));
  RecordProperty("timed_out", (int)std::count(status.begin(), status.end(), STATUS_TIMEOUT));
  EXPECT_EQ(AdapterFaults(), "");
}

// The same race with the machine under controlled scheduling, seed after seed, until every way
// the race can end has happened, a cancelled write whose characters had already gone out among
// them: free threads on a loaded machine give no such guarantee.
using TxHoldScheduled = Scheduled<TxHold>;

TEST_F(TxHoldScheduled, CtsCancelAbortAndTimeoutsRacingReachEveryEnd) {
  const int kRoundsPerSeed = 90, kSeeds = 8;
  std::vector<std::string> names = RaceEndNames();
  names.push_back("cancelled or aborted with its characters already sent");
  const size_t kCancelledButSent = names.size() - 1;
  Outcomes seen(names);
  SweepUntilAllSeen(seen, kSeeds, [&] {
    CtsHandshake();
    SetTimeouts(0, 0, 0, 0, 10);
    std::vector<std::vector<UCHAR>> data;
    std::vector<NTSTATUS> status;
    for (int round = 0; round < kRoundsPerSeed; ++round) {
      RaceEnd end;
      if (!RaceRound(round, data, status, &end)) return;
      if (end != kNoRace) seen.Count(end);
    }
    for (int n = ExpectSentAccountedFor(data, status); n > 0; --n) seen.Count(kCancelledButSent);
    EXPECT_EQ(AdapterFaults(), "");
  });
}

}  // namespace
}  // namespace hk::test
