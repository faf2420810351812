// Threads feeding and consuming both streams at once: nothing lost, nothing reordered, units
// whole, and the newest inputs in the last header, also while virtual time moves.
#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "adapter_fixture.h"

namespace hk::test {
namespace {

class Concurrency : public AdapterTest {};

UCHAR Pattern(size_t i) { return (UCHAR)(i * 7 % 251); }

TEST_F(Concurrency, ReceivedCharactersAndInputChangesReachTheHostWithoutLoss) {
  adapter::AdapterOptions options;
  options.Unthrottled = true;
  options.RxFifoChars = 1 << 20;
  Make(options);
  constexpr size_t kChars = 20000;
  std::thread feeder([&] {
    size_t sent = 0;
    for (size_t chunk = 1; sent < kChars; chunk = chunk % 47 + 1) {
      Bytes part;
      for (size_t i = 0; i < chunk && sent < kChars; ++i) part.push_back(Pattern(sent++));
      dev().ReceiveFromLine(part);
    }
  });
  std::thread toggler([&] {
    for (int i = 0; i < 500; ++i) dev().SetModemInputs((UCHAR)(i % 16));
    dev().SetModemInputs(0x05);
  });
  Bytes received;
  UCHAR lastHeader = 0;
  bool framing = true;
  std::thread consumer([&] {
    while (received.size() < kChars) {
      Fake t = In();
      if (!t->WaitDone()) break;
      Bytes p = t->Data();
      if (p.empty() || p.size() % 2 || p.size() > 64) framing = false;
      for (size_t i = 0; i + 1 < p.size(); i += 2) {
        if ((p[i] & 0xE0) == 0x20) received.push_back(p[i + 1]);
        else if (p[i] & 0xF0) framing = false;
      }
      if (p.size() >= 2) lastHeader = p[p.size() - 2];
    }
  });
  feeder.join();
  toggler.join();
  consumer.join();
  EXPECT_TRUE(framing);
  ASSERT_EQ(received.size(), kChars);
  for (size_t i = 0; i < kChars; ++i) ASSERT_EQ(received[i], Pattern(i)) << "at " << i;
  Fake last = In();
  if (last->Done()) lastHeader = last->Data()[last->Data().size() - 2];
  EXPECT_EQ(lastHeader & 0x0F, 0x05) << "the host ends up with the newest inputs";
  EXPECT_EQ(dev().ReceiveOverflows(), 0u);
}

// A writer that keeps to its credit as the driver does: 128 units after open, then what the
// credit replies grant. DTR and RTS change with every unit.
bool WriteWithCredit(size_t count, const std::function<Fake(Bytes)>& out, const std::function<Fake()>& query) {
  size_t credit = 128;
  for (size_t sent = 0; sent < count;) {
    size_t n = std::min<size_t>(std::min<size_t>(32, count - sent), credit);
    if (n == 0) {
      Fake q = query();
      if (!q->WaitDone()) return false;
      Bytes r = q->Data();
      credit = r.size() >= 2 ? (size_t)(r[0] << 8 | r[1]) : 0;
      continue;
    }
    Bytes units;
    for (size_t i = 0; i < n; ++i) {
      units.push_back((UCHAR)(0xA0 | (sent + i) % 4));
      units.push_back(Pattern(sent + i));
    }
    if (out(units)->Status() != USBD_STATUS_SUCCESS) return false;
    credit -= n;
    sent += n;
  }
  return true;
}

TEST_F(Concurrency, WrittenCharactersLeaveInOrderWhileAnotherThreadTakesThem) {
  Unthrottled();
  Open();
  constexpr size_t kChars = 20000;
  std::atomic<bool> ok{true};
  std::thread writer([&] {
    if (!WriteWithCredit(kChars, [&](Bytes b) { return Out(std::move(b)); }, [&] { return CreditQuery(); }))
      ok = false;
  });
  Bytes taken;
  std::thread taker([&] {
    while (taken.size() < kChars) {
      Bytes more = dev().TakeTransmitted();
      taken.insert(taken.end(), more.begin(), more.end());
      if (more.empty()) std::this_thread::yield();
    }
  });
  writer.join();
  taker.join();
  EXPECT_TRUE(ok);
  ASSERT_EQ(taken.size(), kChars);
  for (size_t i = 0; i < kChars; ++i) ASSERT_EQ(taken[i], Pattern(i)) << "at " << i;
  EXPECT_TRUE(dev().Faults().empty());
}

TEST_F(Concurrency, LoopbackAt115200WithAWriterAndAReaderWhileTimeMoves) {
  adapter::AdapterOptions options;
  options.Partner = adapter::LinePartner::Loopback;
  Make(options);
  ASSERT_EQ(SetLine({0x11, 0, 0, 0, 1, 0, 0, 0}), USBD_STATUS_SUCCESS);
  Open();
  constexpr size_t kChars = 2000;
  std::atomic<bool> ok{true};
  std::atomic<bool> writerDone{false}, readerDone{false};
  LONGLONG start = Now();
  std::thread writer([&] {
    if (!WriteWithCredit(kChars, [&](Bytes b) { return Out(std::move(b)); }, [&] { return CreditQuery(); }))
      ok = false;
    writerDone = true;
  });
  Bytes received;
  std::thread reader([&] {
    while (received.size() < kChars) {
      Fake t = In();
      if (!t->WaitDone()) {
        ok = false;
        break;
      }
      Bytes p = t->Data();
      for (size_t i = 0; i + 1 < p.size(); i += 2)
        if ((p[i] & 0xE0) == 0x20) received.push_back(p[i + 1]);
    }
    readerDone = true;
  });
  for (int i = 0; i < 1000000 && !(writerDone && readerDone); ++i) AdvanceUs(100);
  writer.join();
  reader.join();
  EXPECT_TRUE(ok);
  ASSERT_EQ(received.size(), kChars);
  for (size_t i = 0; i < kChars; ++i) ASSERT_EQ(received[i], Pattern(i)) << "at " << i;
  EXPECT_GE(Now() - start, (LONGLONG)kChars * 868) << "no faster than the line";
  EXPECT_TRUE(dev().Faults().empty());
}

}  // namespace
}  // namespace hk::test
