// (b) How fast the driver itself moves characters: the adapter takes and delivers them without
// any line time, the machine runs in real time, and the application keeps the port busy.
#include <algorithm>
#include <chrono>

#include "bench_port.h"
#include "benchmarks.h"
#include "usb/bus.h"
#include "usb/host_controller.h"

namespace orvix_bench {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void Transmit(unsigned long long characters, bool inlineCompletion, Unthrottled& result) {
  hk::adapter::AdapterOptions options;
  options.Serial = u"B0002";
  options.Unthrottled = true;
  BenchPort port(hk::clock::Mode::Real, options);
  if (!port.Opened()) {
    result.Problems += "the port did not open; ";
    return;
  }
  hk::usb::ControllerOf(port.Node())->SetInlineCompletion(inlineCompletion);
  const size_t kWrite = 100000;
  auto data = Pattern((size_t)characters, 5);
  size_t sent = 0;
  auto start = Clock::now();
  while (sent < data.size()) {
    size_t n = std::min(kWrite, data.size() - sent);
    auto write = port.Write(std::vector<UCHAR>(data.begin() + (long)sent, data.begin() + (long)(sent + n)));
    port.Wait(*write);
    if (write->Status() != STATUS_SUCCESS) result.Problems += "a write failed; ";
    sent += n;
  }
  result.TransmitSeconds = SecondsSince(start);
  auto out = port.Device().TakeTransmitted();
  result.Transmit.Moved = out.size();
  for (size_t i = 0; i < data.size(); ++i)
    if (i >= out.size() || out[i] != data[i]) ++result.Transmit.Lost;
  result.Transmit.CharsPerSecond = out.size() / result.TransmitSeconds;
  result.Transmit.Fraction = result.Transmit.CharsPerSecond / kUsbCeiling;
  result.Problems += port.Finish();
}

void Receive(unsigned long long characters, bool inlineCompletion, Unthrottled& result) {
  hk::adapter::AdapterOptions options;
  options.Serial = u"B0003";
  options.Unthrottled = true;
  options.RxFifoChars = (ULONG)characters + 1;
  BenchPort port(hk::clock::Mode::Real, options);
  if (!port.Opened()) {
    result.Problems += "the port did not open; ";
    return;
  }
  hk::usb::ControllerOf(port.Node())->SetInlineCompletion(inlineCompletion);
  port.SetTimeouts(MAXULONG, 0, 1000, 0, 0);  // a read returns with whatever is there
  const ULONG kRead = 65536;
  auto data = Pattern((size_t)characters, 6);
  std::vector<UCHAR> received;
  received.reserve(data.size());
  auto start = Clock::now();
  port.Device().ReceiveFromLine(data);
  Op read;
  while (received.size() < data.size() && SecondsSince(start) < 120) {
    port.Read(read, kRead);
    port.Wait(read);
    received.insert(received.end(), read.Buffer.begin(), read.Buffer.begin() + read.Bytes());
  }
  result.ReceiveSeconds = SecondsSince(start);
  result.Receive.Moved = received.size();
  for (size_t i = 0; i < data.size(); ++i)
    if (i >= received.size() || received[i] != data[i]) ++result.Receive.Lost;
  result.Receive.CharsPerSecond = received.size() / result.ReceiveSeconds;
  result.Receive.Fraction = result.Receive.CharsPerSecond / kUsbCeiling;
  result.Problems += port.Finish();
}

}  // namespace

Unthrottled MeasureUnthrottled(unsigned long long characters, int runs, bool inlineCompletion) {
  // Real time on a shared machine varies from run to run: the median run of each direction.
  std::vector<Unthrottled> tx(runs), rx(runs);
  Unthrottled result;
  for (int i = 0; i < runs; ++i) {
    Transmit(characters, inlineCompletion, tx[i]);
    Receive(characters, inlineCompletion, rx[i]);
    result.Problems += tx[i].Problems + rx[i].Problems;
  }
  std::sort(tx.begin(), tx.end(), [](const Unthrottled& a, const Unthrottled& b) {
    return a.Transmit.CharsPerSecond < b.Transmit.CharsPerSecond;
  });
  std::sort(rx.begin(), rx.end(), [](const Unthrottled& a, const Unthrottled& b) {
    return a.Receive.CharsPerSecond < b.Receive.CharsPerSecond;
  });
  result.Transmit = tx[runs / 2].Transmit;
  result.TransmitSeconds = tx[runs / 2].TransmitSeconds;
  result.Receive = rx[runs / 2].Receive;
  result.ReceiveSeconds = rx[runs / 2].ReceiveSeconds;
  result.TransmitRange[0] = tx.front().Transmit.CharsPerSecond;
  result.TransmitRange[1] = tx.back().Transmit.CharsPerSecond;
  result.ReceiveRange[0] = rx.front().Receive.CharsPerSecond;
  result.ReceiveRange[1] = rx.back().Receive.CharsPerSecond;
  return result;
}

}  // namespace orvix_bench
