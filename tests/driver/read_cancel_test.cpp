// Ending a read other than by data or its own time-out: cancellation, purge, a second read,
// stale timers, and all of them racing each other. Every read is completed exactly once (the
// verifier checks) and no character is lost or delivered twice.
#include <thread>

#include "data_flow.h"
#include "kernel/clock.h"
#include "receive/receive.h"
#include "scheduled.h"

namespace hk::test {
namespace {

using namespace win32;

class RxCancel : public DataFlowTest {
 protected:
  void SetUp() override {
    DataFlowTest::SetUp();
    Open();
    AlignToTick();
  }
  ULONG Waiting() { return CommStatus().AmountInInQueue; }
  bool TimerPending(KTIMER& timer) { return clock::PendingTimerIn(&timer, &timer + 1); }
  bool ReadTimersPending() { return TimerPending(Ext()->ReadTotalTimer) || TimerPending(Ext()->ReadIntervalTimer); }

  // How a read of the race below ended, when it was still waiting as the racers started.
  enum RaceEnd { kCancelWon, kCancelLostToData, kCancelLostToTimeout, kPurgeWon, kData, kTimeout, kNoRace };
  static std::vector<std::string> RaceEndNames() {
    return {"cancelled by CancelIoEx", "completed by data although cancelled", "timed out although cancelled",
            "aborted by the purge", "completed by data", "timed out"};
  }
  // One round of the race: a read of four characters with a total time-out of 10 ms, and
  // around it a cancellation (two rounds in three), one to five characters arriving and, in
  // one round in seven, a purge aborting reads. The characters go to `sent`, what the read
  // delivered to `delivered`. Fails the test and returns false when the read never completed.
  bool RaceRound(int round, std::string& sent, std::string& delivered, NTSTATUS* status, RaceEnd* end) {
    auto chars = Pattern(1 + round % 5, round);
    for (auto& c : chars) c = (UCHAR)('a' + c % 26);
    bool cancel = round % 3 != 2, purge = round % 7 == 3;
    auto read = StartRead(4);
    bool raced = !read->Done();
    std::thread canceller = sched::Spawn([&] {
      if (!cancel) return;
      Lag(round % 13 * 8);
      CancelIoEx(Handle(), &read->Ov);
    });
    std::thread sender = sched::Spawn([&] { Device().ReceiveFromLine(chars); });
    std::thread purger = sched::Spawn([&] {
      if (purge) {
        Pending abort;
        ULONG mask = SERIAL_PURGE_RXABORT;
        DeviceIoControl(Handle(), IOCTL_SERIAL_PURGE, &mask, sizeof mask, nullptr, 0, nullptr, &abort.Ov);
      }
    });
    Lag(round % 11 * 6);
    machine().AdvanceMs(10);
    sched::Join(canceller);
    sched::Join(sender);
    sched::Join(purger);
    machine().AdvanceMs(10);
    if (!read->Done()) {
      ADD_FAILURE() << "round " << round << ": the read never completed";
      Close();
      return false;
    }
    sent.append(chars.begin(), chars.end());
    delivered += read->Text();
    *end = kNoRace;
    *status = read->Status();
    switch (*status) {
      case STATUS_CANCELLED:
        EXPECT_EQ(read->Bytes(), 0u);
        EXPECT_TRUE(cancel || purge) << "round " << round << ": cancelled with nothing cancelling it";
        if (raced) *end = cancel ? kCancelWon : kPurgeWon;
        break;
      case STATUS_TIMEOUT:
        EXPECT_LT(read->Bytes(), 4u);
        if (raced) *end = cancel ? kCancelLostToTimeout : kTimeout;
        break;
      case STATUS_SUCCESS:
        EXPECT_EQ(read->Bytes(), 4u);
        if (raced) *end = cancel ? kCancelLostToData : kData;
        break;
      default:
        ADD_FAILURE() << "round " << round << ": status 0x" << std::hex << read->Status();
    }
    return true;
  }
  // Reads what is left after the rounds: with it, everything that arrived came out once, in order.
  void ExpectEveryCharacterOnce(const std::string& sent, std::string delivered) {
    SetTimeouts(MAXULONG, 0, 0);
    auto rest = StartRead((ULONG)sent.size());
    ASSERT_TRUE(rest->Done());
    delivered += rest->Text();
    EXPECT_EQ(delivered, sent) << "a character was lost, repeated or reordered";
  }
};

TEST_F(RxCancel, CancelledReadGivesNothingStopsItsTimersAndLeavesTheCharacters) {
  SetTimeouts(20, 10, 1000);
  Receive(Bytes("abc"));
  auto read = StartRead(10);
  machine().AdvanceMs(30);
  ASSERT_FALSE(read->Done());
  EXPECT_TRUE(ReadTimersPending());
  ASSERT_TRUE(CancelIo(Handle()));
  machine().Settle();
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(read->Bytes(), 0u);
  EXPECT_FALSE(ReadTimersPending());
  EXPECT_EQ(Waiting(), 3u);

  SetTimeouts(MAXULONG, 0, 0);
  auto next = StartRead(10);
  ASSERT_TRUE(next->Done());
  EXPECT_EQ(next->Text(), "abc");
}

TEST_F(RxCancel, PurgeRxAbortEndsTheCurrentRead) {
  SetTimeouts(0, 0, 0);
  auto read = StartRead(4);
  Receive(Bytes("ab"));
  ASSERT_FALSE(read->Done());
  EXPECT_EQ(Purge(SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(read->Bytes(), 0u);
  EXPECT_EQ(Waiting(), 2u) << "an abort does not take characters";
  EXPECT_EQ(Ext()->ReadState, READ_IDLE);

  EXPECT_EQ(Purge(SERIAL_PURGE_RXABORT), STATUS_SUCCESS) << "nothing to abort";
  auto next = StartRead(2);
  ASSERT_TRUE(next->Done());
  EXPECT_EQ(next->Text(), "ab");
}

// The reader thread takes the read out of its slot to fill it; an abort that comes meanwhile
// is left to it. The cancel spin lock, which the thread needs to put the read back, holds it
// at that point while the purge runs.
TEST_F(RxCancel, PurgeRxAbortWhileTheReaderThreadHoldsTheRead) {
  SetTimeouts(0, 0, 0);
  auto read = StartRead(10);
  ASSERT_FALSE(read->Done());
  ASSERT_NE(Ext()->CurrentReadIrp, nullptr);

  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Device().ReceiveFromLine(Bytes("abc"));
  volatile PIRP* slot = &Ext()->CurrentReadIrp;
  PDEVICE_EXTENSION ext = Ext();
  auto empty = [slot, ext] {
    KIRQL irql;
    KeAcquireSpinLock(&ext->RxLock, &irql);  // where the driver moves the read in and out
    bool none = *slot == nullptr;
    KeReleaseSpinLock(&ext->RxLock, irql);
    return none;
  };
  for (int i = 0; i < 5000 && !empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  bool taken = empty();

  Pending purge;
  ULONG mask = SERIAL_PURGE_RXABORT;
  std::thread purger([&] {
    DeviceIoControl(Handle(), IOCTL_SERIAL_PURGE, &mask, sizeof mask, nullptr, 0, nullptr, &purge.Ov);
  });
  PDEVICE_EXTENSION stateExt = Ext();
  auto aborted = [stateExt] {  // under RxLock, where the driver moves the read state
    KIRQL irql;
    KeAcquireSpinLock(&stateExt->RxLock, &irql);
    bool seen = stateExt->ReadState == READ_ABORTED;
    KeReleaseSpinLock(&stateExt->RxLock, irql);
    return seen;
  };
  for (int i = 0; i < 5000 && !aborted(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  bool abortHandedOver = aborted();
  bool readStillOpen = !read->Done();
  IoReleaseCancelSpinLock(irql);
  purger.join();
  machine().Settle();

  ASSERT_TRUE(taken) << "the reader thread never took the read";
  EXPECT_TRUE(abortHandedOver) << "the purge did not leave the abort to the reader thread";
  EXPECT_TRUE(readStillOpen);
  EXPECT_EQ(purge.Status(), STATUS_SUCCESS);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(read->Bytes(), 0u);
  EXPECT_EQ(Waiting(), 3u);
  EXPECT_EQ(Ext()->ReadState, READ_IDLE);

  // The port reads normally afterwards.
  auto next = StartRead(3);
  ASSERT_TRUE(next->Done());
  EXPECT_EQ(next->Text(), "abc");
}

TEST_F(RxCancel, TimeoutsChangedToReturnAtOnceWhileAReadWaitsDeliverWhatArrivesNext) {
  SetTimeouts(0, 0, 0);
  auto read = StartRead(10);
  machine().Settle();
  ASSERT_FALSE(read->Done());
  SetTimeouts(MAXULONG, 0, 0);
  Receive(Bytes("abc"));
  ASSERT_TRUE(read->Done()) << "the characters were taken from the buffer but not delivered";
  EXPECT_EQ(read->Status(), STATUS_SUCCESS);
  EXPECT_EQ(read->Text(), "abc");
}

TEST_F(RxCancel, SecondReadWaitsBehindTheFirstWhichStillCompletesFirst) {
  SetTimeouts(0, 0, 0);
  auto first = StartRead(3);
  auto second = StartRead(1);
  EXPECT_FALSE(second->Done());
  EXPECT_FALSE(first->Done());
  Receive(Bytes("xyz"));
  ASSERT_TRUE(first->Done());
  EXPECT_EQ(first->Status(), STATUS_SUCCESS);
  EXPECT_EQ(first->Text(), "xyz");
  EXPECT_FALSE(second->Done());
  Receive(Bytes("!"));
  machine().Settle();
  ASSERT_TRUE(second->Done());
  EXPECT_EQ(second->Text(), "!");

  auto third = StartRead(1);
  EXPECT_FALSE(third->Done()) << "once the first is over, reads are taken again";
  Receive(Bytes("!"));
  ASSERT_TRUE(third->Done());
  EXPECT_EQ(third->Status(), STATUS_SUCCESS);
}

TEST_F(RxCancel, TotalTimerOfAnEarlierReadNeverEndsALaterOne) {
  SetTimeouts(0, 10, 0);
  LONGLONG t0 = NowMs();
  auto first = StartRead(5);  // due at t0+50
  machine().AdvanceMs(20);
  CancelIo(Handle());
  machine().Settle();
  ASSERT_EQ(first->Status(), STATUS_CANCELLED);
  machine().AdvanceMs(10);
  auto second = StartRead(5);  // due at t0+80
  machine().AdvanceMs(30);
  EXPECT_FALSE(second->Done()) << "ended at t0+50 by the first read's timer";

  // A timer DPC of an earlier read that was already on its way when its read ended finds a
  // read that is not due yet.
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  ReadTotalTimeoutDpc(&Ext()->ReadTotalDpc, Ext(), nullptr, nullptr);
  KeLowerIrql(irql);
  machine().Settle();
  EXPECT_FALSE(second->Done()) << "a stale total-timer DPC ended a read before its time";

  machine().AdvanceMs(20);
  ASSERT_TRUE(second->Done());
  EXPECT_EQ(NowMs() - t0, 80);
  EXPECT_EQ(second->Status(), STATUS_TIMEOUT);
}

// Cancellation, data, purges and time-outs all at once, round after round. Whatever wins, each
// read completes exactly once, with a status that fits, and every character that arrived is
// either delivered once or still buffered.
TEST_F(RxCancel, CancelDataAndTimeoutsRacingCompleteEachReadOnce) {
  const int kRounds = 300;
  SetTimeouts(0, 0, 10);  // total time-out of 10 ms
  std::string sent, delivered;
  int cancelled = 0, timedOut = 0, succeeded = 0;
  for (int round = 0; round < kRounds; ++round) {
    NTSTATUS status;
    RaceEnd end;
    if (!RaceRound(round, sent, delivered, &status, &end)) return;
    cancelled += status == STATUS_CANCELLED;
    timedOut += status == STATUS_TIMEOUT;
    succeeded += status == STATUS_SUCCESS;
  }
  ExpectEveryCharacterOnce(sent, delivered);
  RecordProperty("cancelled", cancelled);
  RecordProperty("timed_out", timedOut);
  RecordProperty("succeeded", succeeded);
}

// The same race with the machine under controlled scheduling, seed after seed, until every way
// the race can end has happened: free threads on a loaded machine give no such guarantee.
using RxCancelScheduled = Scheduled<RxCancel>;

TEST_F(RxCancelScheduled, CancelDataAndTimeoutsRacingReachEveryEnd) {
  const int kRoundsPerSeed = 84, kSeeds = 8;
  Outcomes seen(RaceEndNames());
  SweepUntilAllSeen(seen, kSeeds, [&] {
    SetTimeouts(0, 0, 10);
    std::string sent, delivered;
    for (int round = 0; round < kRoundsPerSeed; ++round) {
      NTSTATUS status;
      RaceEnd end;
      if (!RaceRound(round, sent, delivered, &status, &end)) return;
      if (end != kNoRace) seen.Count(end);
    }
    ExpectEveryCharacterOnce(sent, delivered);
  });
}

}  // namespace
}  // namespace hk::test
