// The driver with its transfers completed in the thread that finishes them (the host
// controller's mode for the throughput benchmark): the reader and writer threads then complete
// their own transfers inside IoCallDriver. Data must come back whole through a loopback plug
// with flow control acting, and closing or unplugging with requests in flight must neither hang
// nor leave anything behind. Every other test keeps the controller's own thread.
#include <mutex>
#include <set>

#include "data_flow.h"
#include "kernel/thread_state.h"

namespace hk::test {
namespace {

using namespace win32;

class InlineCompletionPort : public DataFlowTest {
 protected:
  adapter::AdapterOptions AdapterSetup() override {
    auto o = DataFlowTest::AdapterSetup();
    o.Partner = adapter::LinePartner::Loopback;
    o.RxFifoChars = 1000000;  // only the driver's own flow control decides, as in the loopback tests
    return o;
  }
  void SetUp() override {
    DataFlowTest::SetUp();
    // Where and at which IRQL each transfer was completed.
    auto where = where_;
    Bus().AddObserver([where](const usb::UrbEvent& e) {
      if (!e.Completion || e.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return;
      std::lock_guard<std::mutex> guard(where->Lock);
      where->Threads.insert(CurrentThread().Name);
      if (KeGetCurrentIrql() != DISPATCH_LEVEL) ++where->NotAtDispatch;
      ++where->Completions;
    });
    Bus().SetInlineCompletion(true);
    Open();
    SetHandflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE);
  }
  struct Where {
    std::mutex Lock;
    std::set<std::string> Threads;
    int NotAtDispatch = 0;
    int Completions = 0;
  };
  std::shared_ptr<Where> where_ = std::make_shared<Where>();

  // Writes until input flow control holds a write; returns it and how much was written.
  PendingPtr WriteUntilHeld(const std::vector<UCHAR>& data, size_t chunk, size_t& written) {
    PendingPtr write;
    written = 0;
    while (written < data.size()) {
      write = StartWrite(std::vector<UCHAR>(data.begin() + (long)written, data.begin() + (long)(written + chunk)));
      written += chunk;
      if (!write->Done()) break;
      EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    }
    return write;
  }
};

TEST_F(InlineCompletionPort, LoopbackPatternComesBackWholeWithFlowControlAndCompletionsInTheFinishingThreads) {
  const size_t kTotal = 600000;
  const size_t kChunk = 100000;
  auto data = Pattern(kTotal, 17);
  SetTimeouts(MAXULONG, 0, 0, 0, 600000);
  size_t written = 0;
  PendingPtr write = WriteUntilHeld(data, kChunk, written);
  ASSERT_FALSE(write->Done()) << "the receive buffer took everything: flow control never acted";
  EXPECT_FALSE(Device().Rts());

  std::vector<UCHAR> received;
  int rounds = 0;
  while (received.size() < kTotal && rounds++ < 100000) {
    auto read = StartRead(65536);
    ASSERT_TRUE(read->Done());
    ASSERT_EQ(read->Status(), STATUS_SUCCESS);
    received.insert(received.end(), read->Buffer.begin(), read->Buffer.begin() + read->Bytes());
    if (write->Done() && written < kTotal) {
      ASSERT_EQ(write->Status(), STATUS_SUCCESS);
      write = StartWrite(std::vector<UCHAR>(data.begin() + (long)written, data.begin() + (long)(written + kChunk)));
      written += kChunk;
    }
  }
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  ASSERT_EQ(received.size(), kTotal);
  EXPECT_TRUE(received == data) << "the pattern came back changed";
  EXPECT_EQ(Device().ReceiveOverflows(), 0u);
  EXPECT_EQ(AdapterFaults(), "");
  EXPECT_TRUE(Device().Rts());

  std::lock_guard<std::mutex> guard(where_->Lock);
  EXPECT_EQ(where_->NotAtDispatch, 0) << "of " << where_->Completions << " completions";
  std::string threads;
  for (const auto& t : where_->Threads) threads += t + "; ";
  EXPECT_GE(where_->Threads.size(), 2u) << "completions ran only on " << threads;
}

TEST_F(InlineCompletionPort, ClosingAndUnpluggingWithAHeldWriteAndAPendingReadEndEverything) {
  auto data = Pattern(1000000, 23);
  SetTimeouts(0, 0, 0, 0, 600000);  // reads wait for their full length; a held write waits
  size_t written = 0;
  PendingPtr write = WriteUntilHeld(data, 100000, written);
  ASSERT_FALSE(write->Done());
  // More than the buffer holds: the read stays pending while the writer is held.
  PendingPtr read = StartRead(1700000);
  EXPECT_FALSE(read->Done());
  Close();
  machine().Settle();
  EXPECT_TRUE(write->Done());
  EXPECT_TRUE(read->Done());
  EXPECT_NE(write->Status(), STATUS_SUCCESS);
  EXPECT_NE(read->Status(), STATUS_SUCCESS);

  // Reopened and unplugged while transfers are in flight both ways.
  Open();
  SetHandflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE);
  SetTimeouts(0, 0, 0, 0, 600000);
  write = WriteUntilHeld(data, 100000, written);
  ASSERT_FALSE(write->Done());
  read = StartRead(1700000);
  EXPECT_FALSE(read->Done());
  machine().Unplug(Node());
  machine().Settle();
  EXPECT_TRUE(write->Done());
  EXPECT_TRUE(read->Done());
  EXPECT_NE(write->Status(), STATUS_SUCCESS);
  EXPECT_NE(read->Status(), STATUS_SUCCESS);
  Close();
}

}  // namespace
}  // namespace hk::test
