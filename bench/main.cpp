// orvix-bench: throughput of the Orvix driver on the host kernel with the modelled adapter.
//   (a) at 115200 bit/s, UART timed, one bus completion per 1 ms frame, virtual time;
//   (b) adapter unthrottled, real time: characters per second against the USB ceiling;
//   (c) CPU time of 1-character reads from a nearly full and a nearly empty receive buffer.
#include <cstdio>
#include <cstdlib>

#include "benchmarks.h"

using namespace orvix_bench;

namespace {

void Row(const char* what, const Direction& d, const char* against) {
  std::printf("  %-10s %12.0f chars/s   %7.4f of %-13s  moved %10llu   lost %llu\n", what, d.CharsPerSecond,
              d.Fraction, against, d.Moved, d.Lost);
}

void Problems(const std::string& text) {
  if (!text.empty()) std::printf("  problems: %s\n", text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  unsigned long long characters = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2000000ULL;
  unsigned reads = argc > 3 ? (unsigned)std::atoi(argv[3]) : 2000;
  bool clean = true;

  LineRate line = MeasureLineRate(115200, seconds);
  std::printf("(a) 115200 bit/s 8N1, UART timed, one bus completion per 1 ms frame, virtual time\n");
  std::printf("    line rate %.0f chars/s; full duplex, measured over %.0f s after a 1 s start\n",
              line.LineCharsPerSecond, line.Seconds);
  Row("transmit", line.Transmit, "line rate");
  Row("receive", line.Receive, "line rate");
  Problems(line.Problems);
  clean = clean && line.Problems.empty() && !line.Transmit.Lost && !line.Receive.Lost;

  const int kRuns = 3;
  Unthrottled fast = MeasureUnthrottled(characters, kRuns);
  std::printf("\n(b) adapter unthrottled, real time, %llu characters each way, median of %d runs\n", characters,
              kRuns);
  Row("transmit", fast.Transmit, "608,000/s");
  Row("receive", fast.Receive, "608,000/s");
  std::printf("    runs ranged %.0f to %.0f chars/s sending, %.0f to %.0f receiving\n", fast.TransmitRange[0],
              fast.TransmitRange[1], fast.ReceiveRange[0], fast.ReceiveRange[1]);
  Problems(fast.Problems);
  clean = clean && fast.Problems.empty() && !fast.Transmit.Lost && !fast.Receive.Lost;

  ReadCost cost = MeasureReadCost(reads);
  std::printf("\n(c) 1-character reads, CPU time of the reading thread, %u reads each\n", cost.Reads);
  std::printf("  %-34s %10.2f us/read\n", "buffer nearly full", cost.FullMicroseconds);
  std::printf("  %-34s %10.0f bytes on average\n", "  (fill while measuring)", cost.FullBufferBytes);
  std::printf("  %-34s %10.2f us/read\n", "buffer nearly empty (<= 64 bytes)", cost.EmptyMicroseconds);
  if (cost.EmptyMicroseconds > 0)
    std::printf("  %-34s %10.1f x\n", "full / empty", cost.FullMicroseconds / cost.EmptyMicroseconds);
  Problems(cost.Problems);
  clean = clean && cost.Problems.empty();
  return clean ? 0 : 1;
}
