// The bulk-out stream: data units go out in order, every header sets DTR and RTS, modem-control
// units take no room, and what the host does wrong is recorded.
#include "adapter_fixture.h"

namespace hk::test {
namespace {

using adapter::ViolationKind;

class BulkOut : public AdapterTest {};

std::vector<ViolationKind> Kinds(const std::vector<adapter::Violation>& vs) {
  std::vector<ViolationKind> out;
  for (const auto& v : vs) out.push_back(v.Kind);
  return out;
}

TEST_F(BulkOut, DataUnitsGoOutInOrderAndTheTransferIsTakenWhole) {
  Unthrottled();
  Fake t = Out({0xA0, 'H', 0xA0, 'i', 0xC0, 0x00, 0xA0, '!'});
  ASSERT_TRUE(t->Done());
  EXPECT_EQ(t->Status(), USBD_STATUS_SUCCESS);
  EXPECT_EQ(t->Data().size(), 8u);
  EXPECT_EQ(Text(dev().TakeTransmitted()), "Hi!");
  EXPECT_TRUE(dev().TakeTransmitted().empty()) << "taken once";
  EXPECT_TRUE(dev().Violations().empty());
}

TEST_F(BulkOut, EveryUnitHeaderSetsDtrAndRts) {
  Unthrottled();
  EXPECT_FALSE(dev().Dtr());
  EXPECT_FALSE(dev().Rts());
  struct Case {
    Bytes Units;
    bool Dtr, Rts;
  } cases[] = {
      {{0xC3, 0x00}, true, true},        {{0xA1, 'a'}, true, false},        {{0xA2, 'b'}, false, true},
      {{0xC0, 0x00}, false, false},      {{0xA3, 0x0D, 0xC1, 0x00}, true, false},
      {{0xC2, 0x00, 0xA3, 'c'}, true, true},
  };
  for (const Case& c : cases) {
    Out(c.Units);
    EXPECT_EQ(dev().Dtr(), c.Dtr);
    EXPECT_EQ(dev().Rts(), c.Rts);
  }
  EXPECT_EQ(Text(dev().TakeTransmitted()), "ab\rc");
}

TEST_F(BulkOut, ModemControlUnitsTakeNoRoomInTheTransmitBuffer) {
  Make();
  Out({0xC3, 0x00, 0xC1, 0x00, 0xC3, 0x00});
  EXPECT_EQ(dev().FreeUnits(), 128u);
  Out({0xA3, 'x', 0xC3, 0x00});
  EXPECT_EQ(dev().FreeUnits(), 127u);
}

TEST_F(BulkOut, RawBytesOfEveryTransferAreKept) {
  Unthrottled();
  Bytes first = {0xA0, 'a'}, odd = {0xA0, 'b', 0xA0}, empty;
  Out(first);
  Out(odd);
  Out(empty);
  auto kept = dev().BulkOutTransfers();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0], first);
  EXPECT_EQ(kept[1], odd);
  EXPECT_EQ(kept[2], empty);
  // Planted on purpose.
  ExpectProtocolFault(adapter::ViolationKind::OddLength);
}

TEST_F(BulkOut, ProtocolFaultsAreRecordedAndOnlyTheBrokenUnitsIgnored) {
  Unthrottled();
  Out({0xA0, 'a', 0xA0});  // half a unit at the end
  EXPECT_EQ(Kinds(dev().Violations()), std::vector<ViolationKind>{ViolationKind::OddLength});
  Out({0xA0, 'b', 0x80, 'X', 0x20, 'Z', 0xA0, 'c', 0xE3, 'Y'});
  EXPECT_EQ(dev().Violations().size(), 4u) << "three units of unknown kinds";
  EXPECT_FALSE(dev().Dtr()) << "an unknown unit's header sets no lines";
  Out({0xB0, 'd', 0xC0, 0x41});
  Bytes big = DataUnits(std::string(33, 'e'));  // 66 bytes
  Out(big);
  auto kinds = Kinds(dev().Violations());
  ASSERT_EQ(kinds.size(), 7u);
  EXPECT_EQ(kinds[1], ViolationKind::UnknownUnit);
  EXPECT_EQ(kinds[4], ViolationKind::ReservedBits);
  EXPECT_EQ(kinds[5], ViolationKind::ReservedBits);
  EXPECT_EQ(kinds[6], ViolationKind::TooLong);
  EXPECT_EQ(Text(dev().TakeTransmitted()), "abcd" + std::string(33, 'e')) << "sound units are still taken";
  // Planted on purpose.
  ExpectProtocolFault(adapter::ViolationKind::OddLength);
  ExpectProtocolFault(adapter::ViolationKind::UnknownUnit);
  ExpectProtocolFault(adapter::ViolationKind::ReservedBits);
  ExpectProtocolFault(adapter::ViolationKind::TooLong);
}

TEST_F(BulkOut, ZeroLengthTransferIsNotedButIsNoFault) {
  Unthrottled();
  Fake t = Out({});
  ASSERT_TRUE(t->Done());
  EXPECT_EQ(t->Status(), USBD_STATUS_SUCCESS);
  ASSERT_EQ(dev().Violations().size(), 1u);
  EXPECT_EQ(dev().Violations()[0].Kind, ViolationKind::ZeroLengthTransfer);
  EXPECT_TRUE(dev().Faults().empty());
}

TEST_F(BulkOut, SendingMoreUnitsThanGrantedIsRecordedWhateverTheRoom) {
  Unthrottled();  // the buffer drains instantly: only the grant can tell
  Send(std::string(128, 'g'));
  EXPECT_EQ(dev().CreditLeft(), 0u);
  EXPECT_TRUE(dev().Faults().empty()) << "128 units after open are granted without asking";
  Out({0xC3, 0x00});
  ASSERT_EQ(dev().Faults().size(), 1u);
  EXPECT_EQ(dev().Faults()[0].Kind, ViolationKind::BeyondCredit) << "modem-control units count too";
  EXPECT_EQ(dev().Dtr(), true) << "the unit is still acted upon";
  Fake q = CreditQuery();
  ASSERT_TRUE(q->Done());
  Send(std::string(128, 'h'));
  EXPECT_EQ(dev().Faults().size(), 1u) << "a reply grants the room it reports";
  Open();
  Send(std::string(128, 'i'));
  EXPECT_EQ(dev().Faults().size(), 1u) << "and so does an open";
  // Planted on purpose.
  ExpectProtocolFault(adapter::ViolationKind::BeyondCredit);
}

TEST_F(BulkOut, DataFindingTheTransmitBufferFullIsDroppedAndRecorded) {
  adapter::AdapterOptions options;
  options.TxBufferUnits = 40;
  Make(options);
  Send(std::string(32, 'a') + std::string(32, 'b'));
  EXPECT_EQ(dev().FreeUnits(), 0u);
  auto faults = dev().Faults();
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0].Kind, ViolationKind::TxOverflow);
  AdvanceUs(100000);
  EXPECT_EQ(Text(dev().TakeTransmitted()), std::string(32, 'a') + std::string(8, 'b'));
  // Planted on purpose.
  ExpectProtocolFault(adapter::ViolationKind::TxOverflow);
}

TEST_F(BulkOut, SevenBitCharactersLoseTheirTopBitOnTheLine) {
  Unthrottled();
  ASSERT_EQ(SetLine({0x0A, 1, 0, 2, 1, 0, 0, 0}), USBD_STATUS_SUCCESS);
  Out({0xA0, 0xC1, 0xA0, 0x7F, 0xA0, 0x80});
  EXPECT_EQ(dev().TakeTransmitted(), (Bytes{0x41, 0x7F, 0x00}));
}

}  // namespace
}  // namespace hk::test
