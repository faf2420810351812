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

  // Nearly full: the adapter holds more than the buffer takes, and refills it as reads make room.
  port.Device().ReceiveFromLine(Pattern(800000 + reads, 7));
  port.Settle();
  double spent = 0, fill = 0;
  for (unsigned i = 0; i < reads; ++i) {
    fill += BufferBytes(port);
    if (!TimedRead(port, spent)) result.Problems += "a read from the full buffer failed; ";
    port.Settle();
  }
  result.FullMicroseconds = spent / reads;
  result.FullBufferBytes = fill / reads;

  // Nearly empty: 32 characters (64 bytes) at a time.
  ULONG purge = SERIAL_PURGE_RXCLEAR;
  port.Ioctl(IOCTL_SERIAL_PURGE, &purge, sizeof purge);
  spent = 0;
  auto few = Pattern(32, 8);
  for (unsigned i = 0; i < reads; ++i) {
    if (BufferBytes(port) == 0) {
      port.Device().ReceiveFromLine(few);
      port.Settle();
    }
    if (!TimedRead(port, spent)) result.Problems += "a read from the empty buffer failed; ";
    port.Settle();
  }
  result.EmptyMicroseconds = spent / reads;
  result.Problems += port.Finish();
  return result;
}

}  // namespace orvix_bench
