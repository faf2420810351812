// The RS-232 side in virtual time: characters take their start, data, parity and stop bits at
// the configured rate, both ways, and a loopback plug returns TX on RX and RTS/DTR on the inputs.
#include "adapter_fixture.h"

namespace hk::test {
namespace {

class LineTiming : public AdapterTest {
 protected:
  adapter::Adapter& Loopback() {
    adapter::AdapterOptions options;
    options.Partner = adapter::LinePartner::Loopback;
    return Make(options);
  }
};

TEST_F(LineTiming, HundredCharactersThroughALoopbackAt115200Take868Milliseconds) {
  Loopback();
  ASSERT_EQ(SetLine({0x11, 0, 0, 0, 1, 0, 0, 0}), USBD_STATUS_SUCCESS);
  std::string text;
  for (int i = 0; i < 100; ++i) text += (char)('!' + i % 90);
  LONGLONG start = Now();
  Send(text);
  AdvanceTo(start + 868);  // 86.8 us: the first stop bit is not out yet
  EXPECT_EQ(dev().ReceivedWaiting(), 0u);
  AdvanceTo(start + 869);
  EXPECT_EQ(dev().ReceivedWaiting(), 1u);
  AdvanceTo(start + 80000);  // 8 ms
  EXPECT_EQ(dev().ReceivedWaiting(), 92u);
  EXPECT_EQ(dev().FreeUnits(), 128u - 8u);
  AdvanceTo(start + 86800);  // 8.68 ms: 100 characters need 8.6806 ms
  EXPECT_EQ(dev().ReceivedWaiting(), 99u);
  AdvanceTo(start + 86806);
  EXPECT_EQ(dev().ReceivedWaiting(), 100u);
  EXPECT_EQ(dev().FreeUnits(), 128u);
  EXPECT_EQ(Text(dev().TakeTransmitted()), text);
  EXPECT_EQ(Drain(), text);
  EXPECT_TRUE(dev().Violations().empty());
}

TEST_F(LineTiming, PendingBulkInTransferSeesEachLoopedCharacterAtItsStopBit) {
  Loopback();
  ASSERT_EQ(SetLine({0x11, 0, 0, 0, 1, 0, 0, 0}), USBD_STATUS_SUCCESS);
  LONGLONG start = Now();
  Fake t = In();
  Send("ab");
  AdvanceUs(1000);
  ASSERT_TRUE(t->Done());
  EXPECT_EQ(t->Data(), (Bytes{0x20, 'a'}));
  EXPECT_EQ(t->CompletedAt() - start, 869);
  EXPECT_EQ(Drain(), "b");
}

TEST_F(LineTiming, SevenDataBitsEvenParityTwoStopBitsAt1200TakeElevenBitTimes) {
  Loopback();
  ASSERT_EQ(SetLine({0x07, 1, 1, 2, 1, 0, 0, 0}), USBD_STATUS_SUCCESS);
  LONGLONG start = Now();
  Send("Hi\xC1");
  AdvanceTo(start + 91666);  // 11 bits at 1200 bit/s: 9.1667 ms a character
  EXPECT_EQ(dev().ReceivedWaiting(), 0u);
  AdvanceTo(start + 91667);
  EXPECT_EQ(dev().ReceivedWaiting(), 1u);
  AdvanceTo(start + 274999);
  EXPECT_EQ(dev().ReceivedWaiting(), 2u);
  AdvanceTo(start + 275000);
  EXPECT_EQ(Drain(), "HiA") << "the eighth bit does not travel";
}

TEST_F(LineTiming, NewRateAppliesFromTheNextCharacter) {
  Loopback();  // 9600 8N1 until told otherwise: 1.0417 ms
  LONGLONG start = Now();
  Send("12");
  AdvanceUs(500);
  ASSERT_EQ(SetLine({0x11, 0, 0, 0, 1, 0, 0, 0}), USBD_STATUS_SUCCESS);
  AdvanceTo(start + 10416);
  EXPECT_EQ(dev().ReceivedWaiting(), 0u) << "the character on the line keeps its 9600 timing";
  AdvanceTo(start + 10417);
  EXPECT_EQ(dev().ReceivedWaiting(), 1u);
  AdvanceTo(start + 10417 + 868);
  EXPECT_EQ(dev().ReceivedWaiting(), 2u) << "the next one goes at 115200";
}

TEST_F(LineTiming, CharactersFromTheLineArriveOneCharacterTimeApart) {
  Make();  // 9600 8N1
  LONGLONG start = Now();
  dev().ReceiveFromLine(Chars("0123456789"));
  AdvanceTo(start + 10416);
  EXPECT_EQ(dev().ReceivedWaiting(), 0u);
  AdvanceTo(start + 10417);
  EXPECT_EQ(dev().ReceivedWaiting(), 1u);
  dev().ReceiveWithLineError('E');  // queued behind the nine still on the line
  AdvanceTo(start + 104166);
  EXPECT_EQ(dev().ReceivedWaiting(), 9u);
  AdvanceTo(start + 104167);
  EXPECT_EQ(dev().ReceivedWaiting(), 10u);
  AdvanceTo(start + 114584);
  Fake t = In();
  Bytes packet = t->Data();
  ASSERT_EQ(packet.size(), 22u);
  EXPECT_EQ(packet[20], 0x60);
  EXPECT_EQ(packet[21], 'E');
}

TEST_F(LineTiming, TransmitBufferDrainsAtTheCharacterRate) {
  Make();
  ASSERT_EQ(SetLine({0x0E, 0, 0, 0, 1, 0, 0, 0}), USBD_STATUS_SUCCESS);  // 38400: 260.4 us
  LONGLONG start = Now();
  Send(std::string(64, 'd'));
  EXPECT_EQ(dev().FreeUnits(), 64u);
  AdvanceTo(start + 26041);  // ten characters take 2.6042 ms
  EXPECT_EQ(dev().FreeUnits(), 73u);
  AdvanceTo(start + 26042);
  EXPECT_EQ(dev().FreeUnits(), 74u);
  EXPECT_EQ(dev().TakeTransmitted().size(), 10u);
  AdvanceTo(start + 166667);  // all 64: 16.667 ms
  EXPECT_EQ(dev().FreeUnits(), 128u);
  EXPECT_EQ(dev().TakeTransmitted().size(), 54u);
}

TEST_F(LineTiming, LoopbackPlugWiresRtsToCtsAndDtrToDsrAndDcd) {
  adapter::AdapterOptions options;
  options.Unthrottled = true;
  options.Partner = adapter::LinePartner::Loopback;
  Make(options);
  Fake t = In();
  Out({0xC2, 0x00});
  ASSERT_TRUE(t->Done());
  EXPECT_EQ(t->Data(), (Bytes{0x01, 0x00})) << "CTS on, reported by a status unit";
  Out({0xA1, 'x'});
  EXPECT_EQ(dev().ModemInputs(), 0x0A) << "DSR and DCD follow DTR; CTS dropped with RTS";
  EXPECT_EQ(In()->Data(), (Bytes{0x2A, 'x'}));
  dev().SetModemInputs(0x04);
  EXPECT_EQ(dev().ModemInputs(), 0x0A) << "the plug drives the inputs, RI stays open";
  EXPECT_EQ(Open()[1] & 0x0F, 0x0A);
}

}  // namespace
}  // namespace hk::test
