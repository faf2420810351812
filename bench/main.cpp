// orvix-bench: throughput of the Orvix driver on the host kernel with the modelled adapter.
//   (a) at 115200 bit/s, UART timed, one bus completion per 1 ms frame, virtual time;
//   (b) adapter unthrottled, real time: characters per second against the USB ceiling;
//   (c) CPU time of 1-character reads from a nearly full and a nearly empty receive buffer;
//   (d) the driver's own instructions per character each way, counted under callgrind.
// It ends with one summary line of all the figures.
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
  if (argc > 1 && std::strcmp(argv[1], "--driver-instructions") == 0) return DriverInstructionsChild(argc, argv);
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
  Unthrottled fast = MeasureUnthrottled(characters, kRuns, true);
  std::printf("\n(b) adapter unthrottled, real time, %llu characters each way, median of %d runs\n", characters,
              kRuns);
  std::printf("    each transfer completed at DISPATCH_LEVEL in the thread that finishes it\n");
  Row("transmit", fast.Transmit, "608,000/s");
  Row("receive", fast.Receive, "608,000/s");
  std::printf("    runs ranged %.0f to %.0f chars/s sending, %.0f to %.0f receiving\n", fast.TransmitRange[0],
              fast.TransmitRange[1], fast.ReceiveRange[0], fast.ReceiveRange[1]);
  Problems(fast.Problems);
  clean = clean && fast.Problems.empty() && !fast.Transmit.Lost && !fast.Receive.Lost;
  Unthrottled handed = MeasureUnthrottled(characters, kRuns, false);
  std::printf("    every completion handed to the host controller's thread, as in the tests\n");
  Row("transmit", handed.Transmit, "608,000/s");
  Row("receive", handed.Receive, "608,000/s");
  Problems(handed.Problems);
  clean = clean && handed.Problems.empty() && !handed.Transmit.Lost && !handed.Receive.Lost;

  ReadCost cost = MeasureReadCost(reads);
  std::printf("\n(c) 1-character reads, CPU time of the reading thread, %u reads each\n", cost.Reads);
  std::printf("  %-34s %10.2f us/read\n", "buffer nearly full", cost.FullMicroseconds);
  std::printf("  %-34s %10.0f bytes on average\n", "  (fill while measuring)", cost.FullBufferBytes);
  std::printf("  %-34s %10.2f us/read\n", "buffer nearly empty (<= 64 bytes)", cost.EmptyMicroseconds);
  if (cost.EmptyMicroseconds > 0)
    std::printf("  %-34s %10.1f x\n", "full / empty", cost.FullMicroseconds / cost.EmptyMicroseconds);
  Problems(cost.Problems);
  clean = clean && cost.Problems.empty();

  const unsigned long long kCounted = 100000;
  DriverInstructions instr = MeasureDriverInstructions(argv[0], kCounted);
  std::printf("\n(d) the driver's own instructions per character, callgrind, %llu characters each way\n", kCounted);
  std::string instrTx = "-", instrRx = "-";
  if (instr.Measured) {
    instrTx = std::to_string(instr.Transmit);
    instrRx = std::to_string(instr.Receive);
    std::printf("  %-10s %8llu per character   (%llu in all)\n", "transmit", instr.Transmit, instr.TransmitTotal);
    std::printf("  %-10s %8llu per character   (%llu in all)\n", "receive", instr.Receive, instr.ReceiveTotal);
  } else if (!instr.Absent.empty()) {
    std::printf("  not measured: %s\n", instr.Absent.c_str());
  }
  Problems(instr.Problems);
  clean = clean && instr.Problems.empty();

  unsigned long long lost = line.Transmit.Lost + line.Receive.Lost + fast.Transmit.Lost + fast.Receive.Lost +
                            handed.Transmit.Lost + handed.Receive.Lost;
  double ratio = cost.EmptyMicroseconds > 0 ? cost.FullMicroseconds / cost.EmptyMicroseconds : 0;
  std::printf("\nsummary: line_tx=%.4f line_rx=%.4f unthrottled_tx=%.2f unthrottled_rx=%.2f read_full_over_empty=%.2f "
              "driver_instr_tx=%s driver_instr_rx=%s lost=%llu\n",
              line.Transmit.Fraction, line.Receive.Fraction, fast.Transmit.Fraction, fast.Receive.Fraction, ratio,
              instrTx.c_str(), instrRx.c_str(), lost);
  return clean ? 0 : 1;
}
