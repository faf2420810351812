// One open port under load from several application threads at once, in real time, with the
// adapter looping everything back: reads, writes, setting changes, purges, cancellations and
// event waits racing each other, then a flow-controlled phase whose data must come back
// intact, then close and surprise removal. The verifier catches a request completed twice or
// never; every wait here is bounded, so a lost request fails the test instead of hanging it.
#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <thread>

#include "app/comm.h"
#include "kernel/pool.h"
#include "open_port.h"

namespace hk::test {
namespace {

using namespace win32;
using Clock = std::chrono::steady_clock;

constexpr DWORD kRequestLimitMs = 10000;  // far beyond any time-out set here
// The flow-controlled stream takes seconds; a machine busy with other work may take many more.
constexpr auto kPhaseTwoLimit = std::chrono::seconds(50);

class PortUnderLoad : public OpenPortTest {
 protected:
  MachineOptions Options() override {
    MachineOptions o = OpenPortTest::Options();
    o.Clock = clock::Mode::Real;
    return o;
  }
  adapter::AdapterOptions AdapterSetup() override {
    auto o = OpenPortTest::AdapterSetup();
    o.Partner = adapter::LinePartner::Loopback;
    // The unthrottled loopback line carries only what the adapter's receive FIFO has room for,
    // so the adapter never drops: what is lost is the driver's doing. The FIFO keeps its real
    // size, so a writer cannot run ahead of a slow reader into it and escape flow control.
    return o;
  }

  // One overlapped request of a thread, waited for with a bound.
  struct Io {
    OVERLAPPED Ov{};
    Io() { Ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Io() { CloseHandle(Ov.hEvent); }
  };
  NTSTATUS Finish(Io& io, DWORD* bytes = nullptr) {
    if ((NTSTATUS)__atomic_load_n(&io.Ov.Internal, __ATOMIC_ACQUIRE) == STATUS_PENDING &&
        WaitForSingleObject(io.Ov.hEvent, kRequestLimitMs) == WAIT_TIMEOUT) {
      ++lost_;
      CancelIoEx(Handle(), &io.Ov);
      WaitForSingleObject(io.Ov.hEvent, kRequestLimitMs);
    }
    NTSTATUS status = (NTSTATUS)__atomic_load_n(&io.Ov.Internal, __ATOMIC_ACQUIRE);
    if (bytes) *bytes = (DWORD)__atomic_load_n(&io.Ov.InternalHigh, __ATOMIC_RELAXED);
    return status;
  }

  std::atomic<int> lost_{0};
};

// Runs `body` on `n` threads until `until`, each with its own random stream.
void RunThreads(std::vector<std::function<void(std::mt19937&)>> bodies, Clock::time_point until) {
  std::vector<std::thread> threads;
  unsigned seed = 1;
  for (auto& body : bodies)
    threads.emplace_back([&body, until, s = seed++] {
      std::mt19937 random(s);
      while (Clock::now() < until) body(random);
    });
  for (auto& t : threads) t.join();
}

UCHAR PatternAt(size_t i) { return (UCHAR)(i * 7 + i / 251); }

TEST_F(PortUnderLoad, RacingRequestsThenAnIntactFlowControlledStreamThenSurpriseRemoval) {
  Open();
  HANDLE h = Handle();
  COMMTIMEOUTS bounded[] = {{MAXDWORD, 0, 20, 0, 100}, {5, 0, 40, 0, 100}, {0, 1, 30, 1, 50}};
  ASSERT_TRUE(SetCommTimeouts(h, &bounded[0]));

  // Phase 1: everything at once for two seconds.
  std::atomic<int> writes{0}, reads{0}, waits{0}, succeeded{0};
  auto until = Clock::now() + std::chrono::seconds(2);
  RunThreads(
      {
          [&](std::mt19937& r) {  // writer
            std::vector<UCHAR> data(1 + r() % 300, (UCHAR)r());
            Io io;
            WriteFile(h, data.data(), (DWORD)data.size(), nullptr, &io.Ov);
            NTSTATUS status = Finish(io);
            if (status == STATUS_SUCCESS) ++succeeded;
            // Refused while the buffer still drains what a cancelled write left: try again soon.
            if (status == STATUS_DELETE_PENDING) std::this_thread::sleep_for(std::chrono::microseconds(100));
            ++writes;
          },
          [&](std::mt19937& r) {  // reader
            std::vector<UCHAR> data(1 + r() % 500);
            Io io;
            ReadFile(h, data.data(), (DWORD)data.size(), nullptr, &io.Ov);
            DWORD bytes = 0;
            NTSTATUS status = Finish(io, &bytes);
            EXPECT_LE(bytes, data.size());
            if (status == STATUS_SUCCESS) ++succeeded;
            ++reads;
          },
          [&](std::mt19937& r) {  // settings
            DCB dcb{};
            if (!GetCommState(h, &dcb)) return;
            dcb.BaudRate = r() % 2 ? CBR_115200 : CBR_9600;
            dcb.fOutxCtsFlow = r() % 2;
            dcb.fRtsControl = r() % 3;
            dcb.fDtrControl = r() % 2;
            SetCommState(h, &dcb);
            SetCommTimeouts(h, &bounded[r() % 3]);
            DWORD errors, modem;
            COMSTAT status;
            ClearCommError(h, &errors, &status);
            GetCommModemStatus(h, &modem);
          },
          [&](std::mt19937& r) {  // purges, cancellations and event waits
            switch (r() % 4) {
              case 0: PurgeComm(h, r() % 16); break;
              case 1: CancelIoEx(h, nullptr); break;
              default: {
                SetCommMask(h, EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_DSR);
                DWORD events = 0;
                Io io;
                WaitCommEvent(h, &events, &io.Ov);
                if (r() % 2) SetCommMask(h, EV_RXCHAR);
                else CancelIoEx(h, &io.Ov);
                Finish(io);
                ++waits;
              }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200 + r() % 800));
          },
      },
      until);
  EXPECT_EQ(lost_, 0) << "requests that never completed";
  // Few enough that a machine busy with other work still gets there in two seconds.
  EXPECT_GT(writes, 5);
  EXPECT_GT(reads, 5);
  EXPECT_GT(waits, 5);
  EXPECT_GT(succeeded, 5) << "the port did real work in between";

  // Quiet the port: nothing of the first phase may be left to mix with the pattern.
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.BaudRate = CBR_115200;
  dcb.fOutxCtsFlow = 1;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
  COMMTIMEOUTS drain{MAXDWORD, 0, 50, 0, 2000};
  ASSERT_TRUE(SetCommTimeouts(h, &drain));
  // What cancelled writes left in the transmit buffer is still sent and comes back through the
  // plug: the port is quiet only once that has drained and been read.
  for (int quiet = 0; quiet < 3;) {
    std::vector<UCHAR> junk(4096);
    Io io;
    ReadFile(h, junk.data(), (DWORD)junk.size(), nullptr, &io.Ov);
    DWORD bytes = 0;
    Finish(io, &bytes);
    DWORD errors = 0;
    COMSTAT status{};
    ASSERT_TRUE(ClearCommError(h, &errors, &status));
    quiet = bytes || status.cbOutQue ? 0 : quiet + 1;
  }

  // Phase 2: a pattern written under RTS/CTS handshake comes back whole and in order while
  // the settings are read and re-applied alongside.
  const size_t total = 800000;
  std::atomic<size_t> received{0};
  std::atomic<bool> mismatch{false};
  std::atomic<int> retries{0};
  std::atomic<size_t> written{0};
  std::thread writer([&] {
    std::mt19937 r(11);
    for (size_t sent = 0; sent < total && !mismatch && Clock::now() < until + kPhaseTwoLimit;) {
      size_t n = std::min<size_t>(total - sent, 1 + r() % 4096);
      std::vector<UCHAR> data(n);
      for (size_t i = 0; i < n; ++i) data[i] = PatternAt(sent + i);
      Io io;
      WriteFile(h, data.data(), (DWORD)n, nullptr, &io.Ov);
      DWORD bytes = 0;
      NTSTATUS status = Finish(io, &bytes);
      if (status == STATUS_SUCCESS) {
        EXPECT_EQ(bytes, n);
        sent += n;
        written = sent;
      } else {
        // Held too long by flow control: nothing of it was sent, so it is sent again.
        EXPECT_EQ(status, STATUS_TIMEOUT);
        EXPECT_EQ(bytes, 0u);
        ++retries;
      }
    }
  });
  std::thread churn([&] {
    while (received < total && !mismatch && Clock::now() < until + kPhaseTwoLimit) {
      DCB same{};
      if (GetCommState(h, &same)) {
        EXPECT_TRUE(SetCommState(h, &same)) << GetLastError();
      }
      DWORD errors = 0;
      COMSTAT status;
      ClearCommError(h, &errors, &status);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  // The reader holds back until the receive buffer reaches its high-water mark: RTS drops,
  // CTS follows it through the plug, and the writer is held off.
  bool held = false;
  for (auto fill = Clock::now() + kPhaseTwoLimit; !held && Clock::now() < fill;) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(h, &errors, &status)) {
      // Not ASSERT: the writer and churn threads must be stopped and joined first.
      ADD_FAILURE() << "ClearCommError failed: " << GetLastError();
      mismatch = true;
      break;
    }
    // Near the mark (398,944 characters), so that a hold left from the first phase does not count.
    held = status.fCtsHold && status.cbInQue >= 390000;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(held) << "input flow control never held the writer; written " << written << ", in the adapter's FIFO "
                    << Device().ReceivedWaiting() << ", RTS " << Device().Rts();
  EXPECT_FALSE(Device().Rts());
  auto deadline = Clock::now() + kPhaseTwoLimit;
  while (received < total && !mismatch && Clock::now() < deadline) {
    std::vector<UCHAR> data(8192);
    Io io;
    ReadFile(h, data.data(), (DWORD)data.size(), nullptr, &io.Ov);
    DWORD bytes = 0;
    NTSTATUS status = Finish(io, &bytes);
    if (!NT_SUCCESS(status)) {
      ADD_FAILURE() << "read failed: " << std::hex << status;
      mismatch = true;
      break;
    }
    for (DWORD i = 0; i < bytes && !mismatch; ++i)
      if (data[i] != PatternAt(received + i)) {
        ADD_FAILURE() << "byte " << received + i << " is " << (int)data[i] << ", expected " << (int)PatternAt(received + i);
        mismatch = true;
      }
    received += bytes;
  }
  writer.join();
  churn.join();
  EXPECT_EQ(received, total);
  EXPECT_EQ(lost_, 0);
  EXPECT_EQ(Device().ReceiveOverflows(), 0u);

  // Close with the port still busy, then pull the adapter out.
  std::vector<UCHAR> tail(100);
  Io last;
  ReadFile(h, tail.data(), (DWORD)tail.size(), nullptr, &last.Ov);
  Close();
  Finish(last);
  machine().Unplug(Node());
  EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr);
  EXPECT_TRUE(pool::Live().empty()) << pool::Describe(pool::Live());
}

}  // namespace
}  // namespace hk::test
