// Round trips through a loopback plug (TX to RX, RTS to CTS) with RTS/CTS flow control: a large
// pattern written and read back with nothing lost, repeated or reordered. Unthrottled, the
// receive buffer fills until input flow control stops the writer; timed at 115200 bit/s on a
// bus with one completion per frame, the application keeps a read and a write going as time
// passes.
#include "data_flow.h"

namespace hk::test {
namespace {

using namespace win32;

class LoopbackRoundTrip : public DataFlowTest {
 protected:
  adapter::AdapterOptions AdapterSetup() override {
    auto o = DataFlowTest::AdapterSetup();
    o.Partner = adapter::LinePartner::Loopback;
    // Unthrottled, the line is as fast as the adapter's receive FIFO drains; one this large
    // never holds the writer back, so only the driver's own flow control decides.
    o.RxFifoChars = 1000000;
    return o;
  }
  void SetUp() override {
    DataFlowTest::SetUp();
    Open();
    // CTS holds writes; RTS drops when the receive buffer passes its high-water mark.
    SetHandflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE);
  }
  static void Append(std::vector<UCHAR>& to, const Pending& read) {
    to.insert(to.end(), read.Buffer.begin(), read.Buffer.begin() + read.Bytes());
  }
};

class LoopbackRoundTripTimed : public LoopbackRoundTrip {
 protected:
  adapter::AdapterOptions AdapterSetup() override {
    auto o = LoopbackRoundTrip::AdapterSetup();
    o.Unthrottled = false;
    o.RxFifoChars = 4096;
    return o;
  }
};

TEST_F(LoopbackRoundTrip, LargePatternComesBackWholeWhileFlowControlStopsAndStartsTheWriter) {
  const size_t kTotal = 600000;
  const size_t kChunk = 100000;
  auto data = Pattern(kTotal, 11);
  SetTimeouts(MAXULONG, 0, 0, 0, 600000);
  ASSERT_TRUE(Device().Rts());

  // Write without reading until input flow control has dropped RTS and a write is held.
  size_t written = 0;
  PendingPtr write;
  while (written < kTotal) {
    write = StartWrite(std::vector<UCHAR>(data.begin() + (long)written, data.begin() + (long)(written + kChunk)));
    written += kChunk;
    if (!write->Done()) break;
    ASSERT_EQ(write->Status(), STATUS_SUCCESS);
  }
  ASSERT_FALSE(write->Done()) << "the receive buffer took everything: flow control never acted";
  EXPECT_TRUE(Ext()->TxHeld);
  EXPECT_FALSE(Device().Rts());
  EXPECT_EQ(CommStatus().HoldReasons, (ULONG)SERIAL_TX_WAITING_FOR_CTS);
  EXPECT_LE(Ext()->RxCount + 64, 1600000u) << "the receive buffer overran";

  std::vector<UCHAR> received;
  int rounds = 0;
  while (received.size() < kTotal && rounds++ < 100000) {
    auto read = StartRead(65536);
    ASSERT_TRUE(read->Done());
    ASSERT_EQ(read->Status(), STATUS_SUCCESS);
    Append(received, *read);
    if (write->Done() && written < kTotal) {
      ASSERT_EQ(write->Status(), STATUS_SUCCESS);
      EXPECT_EQ(write->Bytes(), kChunk);
      write = StartWrite(std::vector<UCHAR>(data.begin() + (long)written, data.begin() + (long)(written + kChunk)));
      written += kChunk;
    }
  }
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  ASSERT_EQ(received.size(), kTotal) << "adapter FIFO " << Device().ReceivedWaiting() << ", overflows "
                                     << Device().ReceiveOverflows() << ", RxCount " << Ext()->RxCount << ", TxCount "
                                     << Ext()->TxCount << ", BulkInActive " << (int)Ext()->BulkInActive
                                     << ", BulkInState " << (int)Ext()->BulkInState << ", pending in "
                                     << Device().PendingTransfers(0x81) << ", RTS " << Device().Rts()
                                     << ", transmitted " << Device().TakeTransmitted().size();
  EXPECT_TRUE(received == data) << "the pattern came back changed";
  EXPECT_EQ(Device().ReceiveOverflows(), 0u);
  EXPECT_EQ(AdapterFaults(), "");
  EXPECT_TRUE(Device().Rts()) << "reading released input flow control";
}

TEST_F(LoopbackRoundTripTimed, PatternAt115200WithAReadAndAWriteAlwaysOutstanding) {
  const size_t kTotal = 30000;
  const size_t kChunk = 4096;
  SERIAL_BAUD_RATE baud{115200};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud), STATUS_SUCCESS);
  ASSERT_EQ(Device().CurrentUart().Baud, 115200u);
  SetTimeouts(MAXULONG, 0, 1000, 0, 600000);  // a read returns as soon as anything is there
  AlignToTick();
  Bus().SetFramePacing(true);

  auto data = Pattern(kTotal, 5);
  std::vector<UCHAR> received;
  size_t written = 0;
  PendingPtr write, read;
  LONGLONG start = NowMs();
  while (received.size() < kTotal && NowMs() - start < 10000) {
    if ((!write || write->Done()) && written < kTotal) {
      if (write) {
        ASSERT_EQ(write->Status(), STATUS_SUCCESS);
      }
      size_t n = std::min(kChunk, kTotal - written);
      write = StartWrite(std::vector<UCHAR>(data.begin() + (long)written, data.begin() + (long)(written + n)));
      written += n;
    }
    if (!read || read->Done()) {
      if (read) {
        ASSERT_TRUE(read->Status() == STATUS_SUCCESS || read->Status() == STATUS_TIMEOUT);
        Append(received, *read);
      }
      read = StartRead(4096);
    }
    machine().AdvanceMs(1);
  }
  ASSERT_EQ(received.size(), kTotal) << "after " << NowMs() - start << " ms";
  EXPECT_TRUE(received == data) << "the pattern came back changed";
  // 30,000 characters at 11,520 a second take 2.6 s on the line.
  EXPECT_LT(NowMs() - start, 2800);
  EXPECT_EQ(Device().ReceiveOverflows(), 0u);
  EXPECT_EQ(AdapterFaults(), "");
}

}  // namespace
}  // namespace hk::test
