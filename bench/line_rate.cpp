// (a) Sustained throughput at the line rate: an application keeps one write and one read
// outstanding while characters arrive on RX at the full line rate; every millisecond of
// virtual time it looks at its requests, as a program waiting on their events would.
#include "bench_port.h"
#include "benchmarks.h"
#include "usb/bus.h"
#include "usb/host_controller.h"

namespace orvix_bench {

LineRate MeasureLineRate(unsigned baud, int seconds) {
  LineRate result;
  result.Baud = baud;
  hk::adapter::AdapterOptions options;
  options.Serial = u"B0001";
  BenchPort port(hk::clock::Mode::Virtual, options);
  if (!port.Opened()) {
    result.Problems = "the port did not open";
    return result;
  }
  hk::usb::ControllerOf(port.Node())->SetFramePacing(true);
  port.SetBaud(baud);
  // Reads return as soon as anything is there; writes are never held.
  port.SetTimeouts(MAXULONG, 0, 1000, 0, 0);
  const double line = (double)baud / port.Device().CurrentUart().BitsPerCharacter();
  result.LineCharsPerSecond = line;

  const size_t total = (size_t)(line * (seconds + 1));
  const size_t kWriteChunk = 2048, kReadChunk = 4096;
  auto sendData = Pattern(total, 3);
  auto arriving = Pattern((size_t)(line * seconds), 4);
  port.Device().ReceiveFromLine(arriving);

  std::vector<UCHAR> transmitted, received;
  size_t written = 0;
  std::unique_ptr<Op> write, read;
  size_t txAtStart = 0, rxAtStart = 0, txAtEnd = 0, rxAtEnd = 0;
  const long long warmup = 1000, end = 1000LL * seconds;
  for (long long ms = 0; ms < end + 500; ++ms) {
    if ((!write || write->Done()) && written < total) {
      if (write && write->Status() != STATUS_SUCCESS) result.Problems += "a write failed; ";
      size_t n = std::min(kWriteChunk, total - written);
      write = port.Write(std::vector<UCHAR>(sendData.begin() + (long)written, sendData.begin() + (long)(written + n)));
      written += n;
    }
    if (!read || read->Done()) {
      if (read) received.insert(received.end(), read->Buffer.begin(), read->Buffer.begin() + read->Bytes());
      read = port.Read(kReadChunk);
    }
    port.Machine().AdvanceMs(1);
    auto out = port.Device().TakeTransmitted();
    transmitted.insert(transmitted.end(), out.begin(), out.end());
    if (ms + 1 == warmup) {
      txAtStart = transmitted.size();
      rxAtStart = received.size();
    }
    if (ms + 1 == end) {
      txAtEnd = transmitted.size();
      rxAtEnd = received.size();
    }
  }
  if (read && read->Done()) received.insert(received.end(), read->Buffer.begin(), read->Buffer.begin() + read->Bytes());

  double window = (end - warmup) / 1000.0;
  result.Seconds = window;
  result.Transmit.Moved = txAtEnd - txAtStart;
  result.Transmit.CharsPerSecond = result.Transmit.Moved / window;
  result.Transmit.Fraction = result.Transmit.CharsPerSecond / line;
  result.Receive.Moved = rxAtEnd - rxAtStart;
  result.Receive.CharsPerSecond = result.Receive.Moved / window;
  result.Receive.Fraction = result.Receive.CharsPerSecond / line;

  // Nothing lost: what went out is what was written, what came in is what arrived.
  for (size_t i = 0; i < transmitted.size(); ++i)
    if (i >= sendData.size() || transmitted[i] != sendData[i]) ++result.Transmit.Lost;
  for (size_t i = 0; i < arriving.size(); ++i)
    if (i >= received.size() || received[i] != arriving[i]) ++result.Receive.Lost;
  result.Receive.Lost += port.Device().ReceiveOverflows();
  for (const auto& f : port.Device().Faults()) result.Problems += std::string(hk::adapter::ToString(f.Kind)) + "; ";
  result.Problems += port.Finish();
  return result;
}

}  // namespace orvix_bench
