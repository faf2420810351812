// (c) What one 1-character read costs the calling thread, with the receive buffer nearly full
// and nearly empty. A read only advances the front of the ring, so the two should be alike;
// a cost that grew with the fill would show here.
#include <time.h>

#include "bench_port.h"
#include "benchmarks.h"

namespace orvix_bench {
namespace {

double ThreadCpuMicroseconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

// One timed read of one character; false when it did not complete at once with one.
bool TimedRead(BenchPort& port, double& spent) {
  win32::OVERLAPPED ov{};
  UCHAR ch = 0;
  double before = ThreadCpuMicroseconds();
  win32::ReadFile(port.Handle(), &ch, 1, nullptr, &ov);
  spent += ThreadCpuMicroseconds() - before;
  return (NTSTATUS)ov.Internal == STATUS_SUCCESS && ov.InternalHigh == 1;
}

ULONG BufferBytes(BenchPort& port) {
  SERIAL_STATUS status{};
  port.Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status);
  return status.AmountInInQueue * 2;
}

}  // namespace

ReadCost MeasureReadCost(unsigned reads) {
  ReadCost result;
  result.Reads = reads;
  hk::adapter::AdapterOptions options;
  options.Serial = u"B0004";
  options.Unthrottled = true;
  options.RxFifoChars = 2000000;
  BenchPort port(hk::clock::Mode::Virtual, options);
  if (!port.Opened()) {
    result.Problems = "the port did not open";
    return result;
  }
  port.SetTimeouts(MAXULONG, 0, 0, 0, 0);  // reads return at once

  // The two cases take turns in rounds, so that other work on the machine, which comes and goes,
  // weighs on both alike; each case's figure is its mean over all its reads.
  const unsigned kRounds = 5;
  double fullSpent = 0, emptySpent = 0, fill = 0;
  unsigned fullReads = 0, emptyReads = 0;
  auto few = Pattern(32, 8);
  for (unsigned round = 0; round < kRounds; ++round) {
    unsigned n = reads / kRounds + (round < reads % kRounds ? 1 : 0);
    // Nearly full: the adapter holds more than the buffer takes, and refills it as reads make
    // room.
    port.Device().ReceiveFromLine(Pattern(800000 + n, 7 + round));
    port.Settle();
    for (unsigned i = 0; i < n; ++i) {
      fill += BufferBytes(port);
      if (!TimedRead(port, fullSpent)) result.Problems += "a read from the full buffer failed; ";
      port.Settle();
    }
    fullReads += n;

    // Nearly empty: 32 characters (64 bytes) at a time.
    ULONG purge = SERIAL_PURGE_RXCLEAR;
    port.Ioctl(IOCTL_SERIAL_PURGE, &purge, sizeof purge);
    port.Settle();
    for (unsigned i = 0; i < n; ++i) {
      if (BufferBytes(port) == 0) {
        port.Device().ReceiveFromLine(few);
        port.Settle();
      }
      if (!TimedRead(port, emptySpent)) result.Problems += "a read from the empty buffer failed; ";
      port.Settle();
    }
    emptyReads += n;
    port.Ioctl(IOCTL_SERIAL_PURGE, &purge, sizeof purge);
    port.Settle();
  }
  result.FullMicroseconds = fullReads ? fullSpent / fullReads : 0;
  result.FullBufferBytes = fullReads ? fill / fullReads : 0;
  result.EmptyMicroseconds = emptyReads ? emptySpent / emptyReads : 0;
  result.Problems += port.Finish();
  return result;
}

}  // namespace orvix_bench
