// Vendor requests on the default pipe: open and close replies, the line-settings block, what
// is refused, planted failures and the record tests read back.
#include "adapter_fixture.h"

namespace hk::test {
namespace {

using adapter::ViolationKind;

class ControlRequests : public AdapterTest {};

bool HasViolation(const adapter::Adapter& a, ViolationKind kind) {
  for (const auto& v : a.Violations())
    if (v.Kind == kind) return true;
  return false;
}

TEST_F(ControlRequests, OpenAndCloseReplyWithTheInputsInTheLowNibbleOfByteOneOnly) {
  Make();
  for (UCHAR inputs : {0x00, 0x09, 0x0F, 0x06}) {
    dev().SetModemInputs(inputs);
    for (Bytes reply : {Open(), Close()}) {
      ASSERT_EQ(reply.size(), 2u);
      EXPECT_EQ(reply[1] & 0x0F, inputs);
      EXPECT_NE(reply[1] & 0xF0, 0) << "the high nibble is not the host's to use";
      EXPECT_NE(reply[0] & 0x0F, inputs) << "byte 0 must not pass for the inputs";
    }
  }
  EXPECT_TRUE(dev().Faults().empty());
}

TEST_F(ControlRequests, PlantedOpenReplyIsSentExactlyAndCutToWLength) {
  Make();
  dev().SetModemInputs(0x0F);
  for (Bytes planted : {Bytes{0x00, 0x09}, Bytes{0x00, 0xF3}, Bytes{0x07}, Bytes{}}) {
    dev().SetOpenReply(planted);
    EXPECT_EQ(Open(), planted);
    EXPECT_EQ(Close()[1] & 0x0F, 0x0F) << "close keeps the adapter's own answer";
  }
  dev().SetOpenReply({0x00, 0x09, 0x55});
  Bytes reply;
  EXPECT_EQ(Vendor(0xC1, 1, reply, 2), USBD_STATUS_SUCCESS);
  EXPECT_EQ(reply, (Bytes{0x00, 0x09}));
  dev().ClearOpenReply();
  EXPECT_EQ(Open()[1] & 0x0F, 0x0F);
}

TEST_F(ControlRequests, LineSettingsBlockSetsBaudDataBitsStopBitsAndParity) {
  Make();
  EXPECT_EQ(dev().CurrentUart(), (adapter::UartSettings{9600, 8, 1, 'N'})) << "before any block";
  struct Case {
    Bytes Block;
    adapter::UartSettings Expected;
  } cases[] = {
      {{0x11, 0, 0, 0, 1, 0, 0, 0}, {115200, 8, 1, 'N'}},
      {{0x07, 1, 1, 2, 1, 0, 0, 0}, {1200, 7, 2, 'E'}},
      {{0x0F, 0, 0, 3, 1, 0, 0, 0}, {57600, 8, 1, 'O'}},
      {{0x00, 0, 1, 0, 1, 0, 0, 0}, {50, 8, 2, 'N'}},
      {{0x10, 1, 0, 2, 1, 0, 0, 0}, {76800, 7, 1, 'E'}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SetLine(c.Block), USBD_STATUS_SUCCESS);
    EXPECT_EQ(dev().CurrentUart(), c.Expected);
  }
  auto blocks = dev().LineSettings();
  ASSERT_EQ(blocks.size(), 5u);
  EXPECT_EQ(blocks[1], cases[1].Block);
  EXPECT_TRUE(dev().Violations().empty());
}

TEST_F(ControlRequests, BlocksTheAdapterCannotTakeAreRefusedAndChangeNothing) {
  Make();
  ASSERT_EQ(SetLine({0x11, 0, 0, 0, 1, 0, 0, 0}), USBD_STATUS_SUCCESS);
  for (Bytes bad : {Bytes{18, 0, 0, 0, 1, 0, 0, 0}, Bytes{0x11, 2, 0, 0, 1, 0, 0, 0}, Bytes{0x11, 0, 2, 0, 1, 0, 0, 0},
                    Bytes{0x11, 0, 0, 1, 1, 0, 0, 0}, Bytes{0x11, 0, 0, 0, 1, 0, 0}}) {
    EXPECT_EQ(SetLine(bad), USBD_STATUS_STALL_PID);
    EXPECT_EQ(dev().CurrentUart(), (adapter::UartSettings{115200, 8, 1, 'N'}));
  }
  EXPECT_EQ(dev().LineSettings().size(), 6u) << "every block the host sent is kept";
  EXPECT_EQ(dev().Faults().size(), 5u);
  EXPECT_TRUE(HasViolation(dev(), ViolationKind::BadControlRequest));
  // Planted on purpose.
  ExpectProtocolFault(adapter::ViolationKind::BadControlRequest);
}

TEST_F(ControlRequests, IrregularFixedBytesAreNotedButTheBlockIsTaken) {
  Make();
  EXPECT_EQ(SetLine({0x0A, 0, 0, 0, 0, 0, 0, 9}), USBD_STATUS_SUCCESS);
  EXPECT_EQ(dev().CurrentUart(), (adapter::UartSettings{9600, 8, 1, 'N'}));
  EXPECT_TRUE(HasViolation(dev(), ViolationKind::BadControlRequest));
  // Planted on purpose.
  ExpectProtocolFault(adapter::ViolationKind::BadControlRequest);
}

TEST_F(ControlRequests, RequestsThatAreNotTheAdaptersStall) {
  Make();
  Bytes data;
  EXPECT_EQ(Vendor(0xC1, 4, data, 2), USBD_STATUS_STALL_PID) << "unknown request";
  data = {0, 0};
  EXPECT_EQ(Vendor(0x41, 1, data, 2), USBD_STATUS_STALL_PID) << "open in the OUT direction";
  data.clear();
  EXPECT_EQ(Vendor(0xC1, 3, data, 8), USBD_STATUS_STALL_PID) << "line settings in the IN direction";
  EXPECT_EQ(Vendor(0xC0, 1, data, 2), USBD_STATUS_STALL_PID) << "open addressed to the device";
  EXPECT_EQ(Vendor(0xA1, 1, data, 2), USBD_STATUS_STALL_PID) << "a class request";
  EXPECT_EQ(dev().Faults().size(), 5u);
  EXPECT_EQ(dev().ControlRequests().size(), 5u);
  // Planted on purpose.
  ExpectProtocolFault(adapter::ViolationKind::BadControlRequest);
}

TEST_F(ControlRequests, PlantedControlFailuresHitTheNextRequestsOfThatCodeOnly) {
  Make();
  dev().FailControl(1, USBD_STATUS_STALL_PID, 2);
  dev().FailControl(3, USBD_STATUS_DEV_NOT_RESPONDING);
  Bytes reply;
  EXPECT_EQ(Vendor(0xC1, 1, reply, 2), USBD_STATUS_STALL_PID);
  EXPECT_TRUE(reply.empty());
  EXPECT_EQ(Close().size(), 2u) << "close is not affected";
  EXPECT_EQ(Vendor(0xC1, 1, reply, 2), USBD_STATUS_STALL_PID);
  EXPECT_EQ(Open().size(), 2u) << "the third open succeeds";
  EXPECT_EQ(SetLine({0x11, 0, 0, 0, 1, 0, 0, 0}), USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(dev().CurrentUart().Baud, 9600u) << "a failed request is not acted upon";
  EXPECT_EQ(SetLine({0x11, 0, 0, 0, 1, 0, 0, 0}), USBD_STATUS_SUCCESS);
  EXPECT_EQ(dev().CurrentUart().Baud, 115200u);
  auto records = dev().ControlRequests();
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(records[0].Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(records[3].Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(records[4].Status, USBD_STATUS_DEV_NOT_RESPONDING);
}

TEST_F(ControlRequests, EveryRequestIsRecordedWithItsSetupAndData) {
  Make();
  dev().SetModemInputs(0x03);
  Bytes reply = Open();
  SetLine({0x0E, 0, 0, 0, 1, 0, 0, 0});
  auto records = dev().ControlRequests();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Setup.RequestType, 0xC1);
  EXPECT_EQ(records[0].Setup.Request, 1);
  EXPECT_EQ(records[0].Setup.Length, 2);
  EXPECT_EQ(records[0].Data, reply) << "IN: the adapter's answer";
  EXPECT_EQ(records[1].Setup.RequestType, 0x41);
  EXPECT_EQ(records[1].Setup.Request, 3);
  EXPECT_EQ(records[1].Data, (Bytes{0x0E, 0, 0, 0, 1, 0, 0, 0})) << "OUT: what the host sent";
}

TEST_F(ControlRequests, OpenStartsASessionWithEmptyBuffersAndFreshCredit) {
  Make();
  Send(std::string(100, 'x'));
  dev().ReceiveFromLine(Chars("stale"));
  AdvanceUs(20000);
  ASSERT_EQ(dev().ReceivedWaiting(), 5u);
  ASSERT_LT(dev().FreeUnits(), 128u);
  EXPECT_EQ(dev().CreditLeft(), 28u);
  Open();
  EXPECT_EQ(dev().ReceivedWaiting(), 0u);
  EXPECT_EQ(dev().FreeUnits(), 127u) << "only the character already on the line still goes out";
  EXPECT_EQ(dev().CreditLeft(), 128u);
  AdvanceUs(10000);
  EXPECT_EQ(dev().FreeUnits(), 128u);
  EXPECT_EQ(dev().TakeTransmitted().size(), 20u) << "19 before the open, the one on the line after";
}

}  // namespace
}  // namespace hk::test
