// Wait-on-mask: completed at once or later, replaced, cancelled and cleaned up; the event
// word's meaning for received characters, modem changes, the drained transmit buffer and a
// nearly full receive buffer; and all of it racing, each wait completed exactly once.
#include <thread>

#include "data_flow.h"
#include "scheduled.h"

namespace hk::test {
namespace {

using namespace win32;

class EventWait : public DataFlowTest {
 protected:
  void SetUp() override {
    DataFlowTest::SetUp();
    Open();
  }
  PendingPtr StartWait() { return StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG)); }
  static ULONG Events(const Pending& p) { return *(const ULONG*)p.Buffer.data(); }
  NTSTATUS TrySetMask(ULONG mask) { return Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask); }

  // How a wait of the race below ended, when it was still pending as the racers started.
  enum RaceEnd { kCancelWon, kEventDespiteCancel, kMaskDespiteCancel, kMaskWon, kEvent, kNothing, kNoRace };
  static std::vector<std::string> RaceEndNames() {
    return {"cancelled by CancelIoEx", "ended by an event although cancelled",
            "ended by the mask change although cancelled", "ended by the mask change", "ended by an event",
            "still pending once the racers were done"};
  }
  // One round of the race, with the mask RXCHAR | CTS: a wait, and around it a cancellation (two
  // rounds in three), the same mask set again (one round in four) and a character or a CTS
  // level arriving. A wait nothing ended is cancelled afterwards. Fails the test and returns
  // false when the wait never completed.
  bool RaceRound(int round, NTSTATUS* status, ULONG* events, RaceEnd* end) {
    bool cancel = round % 3 != 1, setMask = round % 4 == 0;
    auto wait = StartWait();
    bool raced = !wait->Done();
    std::thread canceller = sched::Spawn([&] {
      if (!cancel) return;
      Lag(round % 13 * 8);
      CancelIoEx(Handle(), &wait->Ov);
    });
    std::thread masker = sched::Spawn([&] {
      if (setMask) {
        Lag(round % 7 * 10);
        Pending set;
        ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_CTS;
        DeviceIoControl(Handle(), IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0, nullptr, &set.Ov);
      }
    });
    std::thread sender = sched::Spawn([&] {
      Lag(round % 11 * 6);
      if (round % 2) Device().ReceiveFromLine({(UCHAR)round});
      else Device().SetModemInputs((UCHAR)(round & 4 ? 0x01 : 0x00));
    });
    sched::Join(canceller);
    sched::Join(masker);
    sched::Join(sender);
    machine().Settle();
    bool leftPending = !wait->Done();
    if (leftPending) {
      // Nothing ended it: no event for the mask arrived. It must still be cancellable.
      CancelIo(Handle());
      machine().Settle();
    }
    if (!wait->Done()) {
      ADD_FAILURE() << "round " << round << ": the wait never completed";
      Close();
      return false;
    }
    *status = wait->Status();
    *events = 0;
    *end = kNoRace;
    if (*status == STATUS_CANCELLED) {
      EXPECT_EQ(wait->Bytes(), 0u);
      EXPECT_TRUE(cancel || leftPending) << "round " << round << ": cancelled with nothing cancelling it";
      if (raced) *end = leftPending ? kNothing : kCancelWon;
    } else {
      EXPECT_EQ(*status, STATUS_SUCCESS) << "round " << round;
      EXPECT_EQ(wait->Bytes(), 4u);
      *events = Events(*wait);
      EXPECT_EQ(*events & ~(ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_CTS), 0u) << "round " << round;
      if (!*events) {
        EXPECT_TRUE(setMask) << "round " << round << ": ended with no event and no mask change";
      }
      if (raced) *end = *events ? (cancel ? kEventDespiteCancel : kEvent) : (cancel ? kMaskDespiteCancel : kMaskWon);
    }
    return true;
  }
};

class EventWaitBigFifo : public EventWait {
 protected:
  adapter::AdapterOptions AdapterSetup() override {
    auto o = EventWait::AdapterSetup();
    o.RxFifoChars = 1000000;
    return o;
  }
};

TEST_F(EventWait, MaskBitsAndWaitsThatCannotBeTaken) {
  auto early = StartWait();
  ASSERT_TRUE(early->Done());
  EXPECT_EQ(early->Status(), STATUS_INVALID_PARAMETER) << "no mask right after open";
  EXPECT_EQ(TrySetMask(0x1FFF), STATUS_SUCCESS);
  EXPECT_EQ(TrySetMask(0x2000), STATUS_INVALID_PARAMETER);
  ULONG mask = 0;
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof mask), STATUS_SUCCESS);
  EXPECT_EQ(mask, 0x1FFFu) << "a refused mask changes nothing";

  SetWaitMask(SERIAL_EV_CTS);
  auto first = StartWait();
  EXPECT_FALSE(first->Done());
  auto second = StartWait();
  ASSERT_TRUE(second->Done());
  EXPECT_EQ(second->Status(), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(first->Done()) << "the pending wait is unaffected";
  Device().SetModemInputs(0x01);
  machine().Settle();
  ASSERT_TRUE(first->Done());
  EXPECT_EQ(first->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Events(*first), (ULONG)SERIAL_EV_CTS);
}

TEST_F(EventWait, ImmediatePendingAndReplaced) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  Receive(Bytes("a"));
  auto now = StartWait();
  ASSERT_TRUE(now->Done());
  EXPECT_EQ(now->Status(), STATUS_SUCCESS);
  EXPECT_EQ(now->Bytes(), 4u);
  EXPECT_EQ(Events(*now), (ULONG)SERIAL_EV_RXCHAR);

  auto later = StartWait();
  EXPECT_FALSE(later->Done()) << "the word was cleared, although the character is still unread";
  Receive(Bytes("b"));
  ASSERT_TRUE(later->Done());
  EXPECT_EQ(Events(*later), (ULONG)SERIAL_EV_RXCHAR);

  auto replaced = StartWait();
  ASSERT_FALSE(replaced->Done());
  SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_RXCHAR);
  ASSERT_TRUE(replaced->Done());
  EXPECT_EQ(replaced->Status(), STATUS_SUCCESS);
  EXPECT_EQ(replaced->Bytes(), 4u);
  EXPECT_EQ(Events(*replaced), 0u);
}

TEST_F(EventWait, CancelClearsTheWordCleanupKeepsIt) {
  SetWaitMask(SERIAL_EV_CTS);
  auto cancelled = StartWait();
  Receive(Bytes("x"));  // RXCHAR is recorded outside the mask
  ASSERT_FALSE(cancelled->Done());
  EXPECT_EQ(Ext()->EventsSeen & SERIAL_EV_RXCHAR, (ULONG)SERIAL_EV_RXCHAR);
  CancelIo(Handle());
  machine().Settle();
  ASSERT_TRUE(cancelled->Done());
  EXPECT_EQ(cancelled->Status(), STATUS_CANCELLED);
  EXPECT_EQ(cancelled->Bytes(), 0u);
  EXPECT_EQ(Ext()->EventsSeen, 0u);

  auto cleaned = StartWait();
  Receive(Bytes("y"));
  ASSERT_FALSE(cleaned->Done());
  Close();
  ASSERT_TRUE(cleaned->Done());
  EXPECT_EQ(cleaned->Status(), STATUS_CANCELLED);
  EXPECT_EQ(Ext()->EventsSeen & SERIAL_EV_RXCHAR, (ULONG)SERIAL_EV_RXCHAR) << "cleanup leaves the word alone";
}

TEST_F(EventWait, ModemChangeAloneDiscardsTheCharacterEvent) {
  SetWaitMask(SERIAL_EV_CTS);
  auto wait = StartWait();
  // One packet with a character whose header also reports CTS on.
  Device().InjectBulkIn({0x21, 'A'});
  machine().Settle();
  ASSERT_TRUE(wait->Done());
  EXPECT_EQ(Events(*wait), (ULONG)SERIAL_EV_CTS);
  SetWaitMask(SERIAL_EV_RXCHAR);
  auto next = StartWait();
  EXPECT_FALSE(next->Done()) << "RXCHAR went with the rest of the word";
  EXPECT_EQ(CommStatus().AmountInInQueue, 1u);
  Receive(Bytes("B"));
  ASSERT_TRUE(next->Done());
  EXPECT_EQ(Events(*next), (ULONG)SERIAL_EV_RXCHAR);
}

TEST_F(EventWait, TxEmptyCountsOnlyWritesCompletedWhileItIsInTheMask) {
  auto before = StartWrite(Bytes("one"));
  ASSERT_TRUE(before->Done());
  SetWaitMask(SERIAL_EV_TXEMPTY);
  auto wait = StartWait();
  EXPECT_FALSE(wait->Done()) << "the write before the mask is not reported";
  machine().AdvanceMs(1000);
  EXPECT_FALSE(wait->Done());
  auto write = StartWrite(Bytes("two"));
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  ASSERT_TRUE(wait->Done());
  EXPECT_EQ(Events(*wait), (ULONG)SERIAL_EV_TXEMPTY);
}

TEST_F(EventWaitBigFifo, Rx80FullWhenTheBufferHoldsEightyPercent) {
  SetWaitMask(SERIAL_EV_RX80FULL);
  auto wait = StartWait();
  const size_t kFull = 640000;  // characters in 1,280,000 bytes of units
  auto data = Pattern(kFull);
  Receive(std::vector<UCHAR>(data.begin(), data.end() - 32));
  EXPECT_EQ(Ext()->RxCount, 2 * (kFull - 32));
  EXPECT_FALSE(wait->Done());
  Receive(std::vector<UCHAR>(data.end() - 32, data.end()));
  EXPECT_EQ(Ext()->RxCount, 2 * kFull);
  ASSERT_TRUE(wait->Done());
  EXPECT_EQ(Events(*wait), (ULONG)SERIAL_EV_RX80FULL);
}

// Waits, cancellations, mask changes and arriving events all at once, round after round.
TEST_F(EventWait, WaitCancelSetMaskAndDataRacingCompleteEachWaitOnce) {
  const int kRounds = 300;
  int byEvent = 0, byMask = 0, byCancel = 0;
  SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS);
  for (int round = 0; round < kRounds; ++round) {
    NTSTATUS status;
    ULONG events;
    RaceEnd end;
    if (!RaceRound(round, &status, &events, &end)) return;
    if (status == STATUS_CANCELLED) ++byCancel;
    else (events ? byEvent : byMask)++;
  }
  RecordProperty("by_event", byEvent);
  RecordProperty("by_mask", byMask);
  RecordProperty("by_cancel", byCancel);
}

// The same race with the machine under controlled scheduling, seed after seed, until every way
// the race can end has happened: free threads on a loaded machine give no such guarantee (they
// hardly ever let the mask change end a wait).
using EventWaitScheduled = Scheduled<EventWait>;

TEST_F(EventWaitScheduled, WaitCancelSetMaskAndDataRacingReachEveryEnd) {
  const int kRoundsPerSeed = 96, kSeeds = 8;
  Outcomes seen(RaceEndNames());
  SweepUntilAllSeen(seen, kSeeds, [&] {
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS);
    for (int round = 0; round < kRoundsPerSeed; ++round) {
      NTSTATUS status;
      ULONG events;
      RaceEnd end;
      if (!RaceRound(round, &status, &events, &end)) return;
      if (end != kNoRace) seen.Count(end);
    }
  });
}

}  // namespace
}  // namespace hk::test
