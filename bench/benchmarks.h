// The four measurements orvix-bench makes, each on a machine of its own.
#pragma once
#include <string>

namespace orvix_bench {

struct Direction {
  double CharsPerSecond = 0;
  double Fraction = 0;   // of the line rate, or of the full-speed USB ceiling
  unsigned long long Moved = 0;
  unsigned long long Lost = 0;  // characters missing, repeated or changed
};

// (a) The adapter's UART timed at `baud`, the bus completing at most one transfer per 1 ms
// frame, in virtual time driven by the benchmark loop: both directions at once, measured over
// the run after the first second.
struct LineRate {
  unsigned Baud = 0;
  double LineCharsPerSecond = 0;
  double Seconds = 0;
  Direction Transmit, Receive;
  std::string Problems;
};
LineRate MeasureLineRate(unsigned baud, int seconds);

// (b) The adapter unthrottled and the machine in real time: how fast the driver moves
// characters, each direction on its own, against the full-speed USB ceiling of 608,000
// characters a second (19 bulk packets of 64 bytes a frame, two bytes a character). With
// `inlineCompletion` the host controller completes each transfer in the thread that finishes
// it; without, it hands every completion to its own thread, as in the tests.
struct Unthrottled {
  Direction Transmit, Receive;  // the median of the runs
  double TransmitSeconds = 0, ReceiveSeconds = 0;
  double TransmitRange[2] = {0, 0}, ReceiveRange[2] = {0, 0};  // slowest and fastest run
  std::string Problems;
};
constexpr double kUsbCeiling = 608000.0;
Unthrottled MeasureUnthrottled(unsigned long long characters, int runs, bool inlineCompletion);

// (c) CPU time of a 1-character read taken from a receive buffer that is nearly full against
// one that is nearly empty.
struct ReadCost {
  unsigned Reads = 0;
  double FullMicroseconds = 0;   // per read, buffer about 1,600,000 bytes
  double EmptyMicroseconds = 0;  // per read, buffer at most 64 bytes
  double FullBufferBytes = 0;    // average fill while measuring
  std::string Problems;
};
ReadCost MeasureReadCost(unsigned reads);

// (d) The driver's own instructions per character each way, counted under callgrind.
struct DriverInstructions {
  bool Measured = false;
  std::string Absent;  // why it was not measured, when valgrind is not there
  unsigned long long Characters = 0;
  unsigned long long Transmit = 0, Receive = 0;            // per character, rounded
  unsigned long long TransmitTotal = 0, ReceiveTotal = 0;  // over the measured loop
  std::string Problems;
};
// `self` is this program, which runs itself under callgrind with --driver-instructions.
DriverInstructions MeasureDriverInstructions(const char* self, unsigned long long characters);
// The child's side: argv is {self, "--driver-instructions", "tx"|"rx", characters}.
int DriverInstructionsChild(int argc, char** argv);

}  // namespace orvix_bench
