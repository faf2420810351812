// The receive buffer as a ring: every behaviour of the buffer holds wherever its front stands,
// in particular when units, packets, status-only tails, purges and the marks lie across its
// end. Each sweep puts the front at every offset class near the end (the packet straddling it
// at every unit position, packets ending exactly on it, several packets before it) and drives
// the port against a model of the buffer made of units.
#include <deque>
#include <random>

#include "rx_helpers.h"
#include "serial_port_helpers.h"

namespace hk::test {
namespace {

constexpr UCHAR kXon = 0x11;
constexpr UCHAR kXoff = 0x13;

// What the buffer should hold and what a read should take from it, unit by unit.
struct RxModel {
  std::deque<std::pair<UCHAR, UCHAR>> units;
  ULONG status = 0;  // status units among them
  bool filter = false;

  static bool IsCharacter(UCHAR header) {
    UCHAR kind = header & 0xE0;
    return kind == 0x20 || kind == 0x60;
  }
  void Append(const std::vector<UCHAR>& packet) {
    for (size_t i = 0; i + 1 < packet.size(); i += 2) {
      units.emplace_back(packet[i], packet[i + 1]);
      if (!IsCharacter(packet[i])) ++status;
    }
  }
  bool Filtered(UCHAR data) const { return filter && (data == kXon || data == kXoff); }
  // Characters a read could deliver now.
  ULONG Readable() const {
    ULONG n = 0;
    for (auto& [h, d] : units)
      if (IsCharacter(h) && !Filtered(d)) ++n;
    return n;
  }
  // Takes what a read of `length` takes; `lineError` tells whether it met a line-error unit.
  // With no character unit at all the read finds nothing buffered and leaves the buffer alone.
  std::string Read(ULONG length, bool* lineError) {
    std::string out;
    size_t p = 0;
    ULONG skipped = 0;
    *lineError = false;
    if (units.size() <= status) return out;
    while (p < units.size()) {
      auto [h, d] = units[p];
      if (IsCharacter(h)) {
        if ((h & 0xE0) == 0x60) *lineError = true;
        if (!Filtered(d)) out.push_back((char)d);
      } else {
        ++skipped;
      }
      ++p;
      if (out.size() >= length) break;
    }
    units.erase(units.begin(), units.begin() + (long)p);
    status = status <= skipped ? 0 : status - skipped;
    if (units.size() <= status) {
      units.clear();
      status = 0;
    }
    return out;
  }
  void Purge() {
    units.clear();
    status = 0;
  }
};

class ReceiveRing : public SerialPortTest {
 protected:
  void SetUp() override {
    SerialPortTest::SetUp();
    Open();
  }
  // Puts the front of the empty, idle buffer `before` bytes before the ring's end, as a long
  // run of reads would have left it.
  void PlaceFront(ULONG before) {
    machine().Settle();
    ASSERT_EQ(Ext()->RxCount, 0u);
    Ext()->RxHead = kRxBufferBytes - before;
  }
  void Inject(const std::vector<UCHAR>& packet) {
    Device().InjectBulkIn(packet);
    machine().Settle();
  }
  void ExpectCounts(const RxModel& model, const std::string& where) {
    EXPECT_EQ(Ext()->RxCount, 2 * model.units.size()) << where;
    EXPECT_EQ(Ext()->RxStatusCount, 2 * model.status) << where;
    EXPECT_EQ(Ext()->RxHead % 2, 0u) << where;
    EXPECT_LT(Ext()->RxHead, kRxBufferBytes) << where;
  }
  // A read that completes at once, checked against the model: characters, counts, the
  // receive-character event and the line errors it reported.
  void ReadAndCompare(RxModel& model, ULONG length, const std::string& where) {
    bool hadUnits = model.units.size() > model.status;
    bool lineError = false;
    std::string expected = model.Read(length, &lineError);
    EXPECT_EQ(ReadNow(length), expected) << where;
    ExpectCounts(model, where);
    if (hadUnits) {
      EXPECT_EQ((Ext()->EventsSeen & SERIAL_EV_RXCHAR) != 0, model.units.size() > model.status) << where;
    }
    ULONG errors = CommStatus().Errors;
    EXPECT_EQ((errors & SERIAL_ERROR_FRAMING) != 0, lineError) << where;
  }
};

// A packet of `units` units: characters, line errors, status units and flow characters mixed.
std::vector<UCHAR> RandomPacket(std::mt19937& rng, ULONG units) {
  std::vector<UCHAR> packet;
  for (ULONG u = 0; u < units; ++u) {
    ULONG kind = rng() % 20;
    UCHAR inputs = (UCHAR)(rng() % 16);
    if (kind < 13) {
      packet.push_back((UCHAR)(0x20 | inputs));
      packet.push_back((UCHAR)('a' + rng() % 26));
    } else if (kind < 14) {
      packet.push_back((UCHAR)(0x60 | inputs));
      packet.push_back((UCHAR)('A' + rng() % 26));
    } else if (kind < 17) {
      static const UCHAR kinds[] = {0x00, 0x40, 0x80, 0xC0};
      packet.push_back((UCHAR)(kinds[rng() % 4] | inputs));
      packet.push_back((UCHAR)(rng() % 256));
    } else {
      packet.push_back((UCHAR)(0x20 | inputs));
      packet.push_back(rng() % 2 ? kXon : kXoff);
    }
  }
  return packet;
}

// Reads of every size, packets of every length, purges and waiting reads, with the front
// starting at every even offset up to two packets before the end, filtering on and off.
TEST_F(ReceiveRing, EveryOperationAgreesWithTheModelWhereverTheFrontStands) {
  for (ULONG before = 2; before <= 130; before += 2) {
    bool filter = before % 4 == 0;
    ASSERT_EQ(SetHandflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | (filter ? SERIAL_AUTO_TRANSMIT : 0)),
              STATUS_SUCCESS);
    ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    CommStatus();
    SetTimeouts(MAXULONG, 0, 0);
    PlaceFront(before);
    RxModel model;
    model.filter = filter;
    std::mt19937 rng(before);
    for (int step = 0; step < 40; ++step) {
      std::string where = "front " + std::to_string(before) + " before the end, step " + std::to_string(step);
      ULONG action = rng() % 20;
      if (action < 9) {
        auto packet = RandomPacket(rng, 1 + rng() % kUnitsPerPacket);
        model.Append(packet);
        Inject(packet);
        ExpectCounts(model, where);
      } else if (action < 17) {
        ReadAndCompare(model, 1 + rng() % 40, where);
      } else if (action < 18) {
        ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
        model.Purge();
        ExpectCounts(model, where);
      } else {
        // A read that waits: it only looks until enough has arrived, then takes its characters.
        ULONG length = model.Readable() + 1 + rng() % 20;
        SetTimeouts(0, 0, 0);
        auto read = StartRead(length);
        for (int i = 0; i < 100 && !read->Done(); ++i) {
          auto packet = RandomPacket(rng, 1 + rng() % kUnitsPerPacket);
          model.Append(packet);
          Inject(packet);
          ASSERT_EQ(read->Done(), model.Readable() >= length) << where;
        }
        ASSERT_TRUE(read->Done()) << where;
        bool lineError = false;
        EXPECT_EQ(read->Text(), model.Read(length, &lineError)) << where;
        ExpectCounts(model, where);
        CommStatus();
        SetTimeouts(MAXULONG, 0, 0);
      }
    }
  }
}

// Characters followed by status units that lie across the end: once the characters are read
// only status units are left, and they are dropped, wherever the end falls among them.
TEST_F(ReceiveRing, AStatusOnlyTailAcrossTheEndIsDropped) {
  SetTimeouts(MAXULONG, 0, 0);
  for (ULONG before = 2; before <= 66; before += 2) {
    std::string where = "front " + std::to_string(before) + " before the end";
    PlaceFront(before);
    std::vector<UCHAR> packet = CharUnits("ab");
    for (ULONG u = 2; u < kUnitsPerPacket; ++u) {
      packet.push_back((UCHAR)(u % 2 ? 0x40 : 0x80));
      packet.push_back(0);
    }
    Inject(packet);
    EXPECT_EQ(Ext()->RxStatusCount, 60u) << where;
    EXPECT_EQ(ReadNow(1), "a") << where;
    EXPECT_EQ(Ext()->RxCount, 62u) << where;
    EXPECT_EQ(ReadNow(1), "b") << where;
    EXPECT_EQ(Ext()->RxCount, 0u) << where;
    EXPECT_EQ(Ext()->RxStatusCount, 0u) << where;
    EXPECT_FALSE(Ext()->EventsSeen & SERIAL_EV_RXCHAR) << where;

    // What arrives next starts where the dropped units were and reads back whole.
    Inject(CharUnits(std::string(kUnitsPerPacket, 'z')));
    EXPECT_EQ(ReadNow(kUnitsPerPacket), std::string(kUnitsPerPacket, 'z')) << where;
  }
}

// A purge with a packet lying across the end leaves nothing of it; what follows is read whole,
// and a read that was waiting across the purge gets only what came after it.
TEST_F(ReceiveRing, APurgeAcrossTheEndKeepsOnlyWhatCameAfterIt) {
  for (ULONG before = 2; before <= 66; before += 2) {
    std::string where = "front " + std::to_string(before) + " before the end";
    SetTimeouts(MAXULONG, 0, 0);
    PlaceFront(before);
    Inject(CharUnits(std::string(kUnitsPerPacket, 'o')));
    ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->RxCount, 0u) << where;
    EXPECT_EQ(CommStatus().AmountInInQueue, 0u) << where;

    SetTimeouts(0, 0, 0);
    auto read = StartRead(40);
    Inject(CharUnits(std::string(20, 'n')));
    EXPECT_FALSE(read->Done()) << where;
    ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    Inject(CharUnits(std::string(kUnitsPerPacket, 'p')));
    Inject(CharUnits(std::string(kUnitsPerPacket, 'q')));
    ASSERT_TRUE(read->Done()) << where;
    EXPECT_EQ(read->Text(), std::string(32, 'p') + std::string(8, 'q')) << where;
    EXPECT_EQ(Ext()->RxCount, 48u) << where;
    SetTimeouts(MAXULONG, 0, 0);
    EXPECT_EQ(ReadNow(100), std::string(24, 'q')) << where;
  }
}

// The high-water mark, the 80% event and the full buffer depend on counts only: with the data
// wrapped round the end they come at the same fill as from the start of the buffer.
TEST_F(ReceiveRing, TheMarksAndTheFullBufferHoldWithTheDataWrapped) {
  ASSERT_EQ(SetHandflow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
  // The end falls between packets, in the middle of one, and after the first unit of one.
  for (ULONG before : {64u * 100, 30u + 64 * 7, 2u}) {
    std::string where = "front " + std::to_string(before) + " before the end";
    ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    CommStatus();
    PlaceFront(before);
    // The 80% event the last round's reads left behind is forgotten with a mask without it.
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RX80FULL), STATUS_SUCCESS);
    auto wait = StartWait();

    FillWithCharacters(Device(), machine(), 797888 / 2);  // exactly at the high-water mark
    EXPECT_TRUE(Device().Rts()) << where;
    FillWithCharacters(Device(), machine(), 32);
    EXPECT_FALSE(Device().Rts()) << where;
    EXPECT_FALSE(wait->Done()) << where;

    FillWithCharacters(Device(), machine(), (1280000 - 797952) / 2);
    ASSERT_TRUE(wait->Done()) << where << ": 80% full";
    EXPECT_EQ(WaitResult(*wait), (ULONG)SERIAL_EV_RX80FULL) << where;

    // Up to the full buffer: reading pauses, and one read of a unit lets it go on.
    FillWithCharacters(Device(), machine(), (kRxBufferBytes - 64) / 2 + 1 - 1280000 / 2);
    ASSERT_EQ(Ext()->RxCount, 1599938u) << where;
    EXPECT_FALSE(Ext()->BulkInActive) << where;
    EXPECT_EQ(Device().PendingTransfers(0x81), 0u) << where;
    SetTimeouts(MAXULONG, 0, 0);
    EXPECT_EQ(ReadNow(1), "x") << where;
    EXPECT_EQ(Device().PendingTransfers(0x81), 1u) << where;
    Inject(CharUnits("later"));
    EXPECT_EQ(CommStatus().Errors, (ULONG)(SERIAL_ERROR_OVERRUN | SERIAL_ERROR_QUEUEOVERRUN)) << where;

    // Read it all back across the end: nothing lost, and the mark releases the partner.
    std::string all;
    while (Ext()->RxCount != 0) {
      std::string part = ReadNow(100000);
      ASSERT_FALSE(part.empty()) << where;
      all += part;
    }
    EXPECT_EQ(all.size(), 799968u + 5u) << where;
    EXPECT_EQ(all.find_first_not_of('x'), 799968u) << where;
    EXPECT_EQ(all.substr(799968), "later") << where;
    EXPECT_TRUE(Device().Rts()) << where;
  }
}

}  // namespace
}  // namespace hk::test
