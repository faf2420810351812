// (d) The driver's own instructions per character, counted by callgrind rather than timed, so
// that the figure is the same on a loaded machine as on an idle one. The benchmark runs itself
// under `valgrind --tool=callgrind`; the child zeroes the counts just before its measured loop
// and dumps them just after it (callgrind's client requests), and the parent adds up the
// instructions whose source lies in the driver: its functions and what is inlined into them
// from its own headers, plus the memory copies and fills the driver calls (its RtlCopyMemory
// and RtlZeroMemory). The host kernel's and the adapter model's instructions are left out.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench_port.h"
#include "benchmarks.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define ORVIX_HAVE_CALLGRIND 1
#else
#define ORVIX_HAVE_CALLGRIND 0
#endif

namespace orvix_bench {
namespace {

bool OnPath(const std::string& program, std::string& found) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) {
      found = candidate;
      return true;
    }
  }
  return false;
}

// A file under one of the driver's subsystem folders, at the start of the path or after a '/'.
bool IsDriverSource(const std::string& file) {
  static const char* const folders[] = {"frame/", "usb/", "serial/", "receive/", "transmit/"};
  static std::map<std::string, bool> known;
  auto it = known.find(file);
  if (it != known.end()) return it->second;
  bool driver = false;
  for (size_t at = file.find("driver/"); !driver && at != std::string::npos; at = file.find("driver/", at + 1)) {
    if (at != 0 && file[at - 1] != '/') continue;
    for (const char* folder : folders)
      if (file.compare(at + 7, std::strlen(folder), folder) == 0) driver = true;
  }
  return known.emplace(file, driver).first->second;
}

bool IsMemoryRoutine(const std::string& function) {
  return function.rfind("mem", 0) == 0 || function.rfind("__mem", 0) == 0;
}

// Sums the driver's instructions in a callgrind output file (event Ir first on each cost line).
// Names may be compressed ("fl=(3) name" once, then "fl=(3)"), positions relative.
bool DriverInstructionsIn(const std::string& path, unsigned long long& total, std::string& problem) {
  std::ifstream in(path);
  if (!in) {
    problem = "no callgrind output " + path;
    return false;
  }
  std::map<std::string, std::string> files, functions;
  auto name = [](std::map<std::string, std::string>& table, const std::string& value) {
    // "(id) name" defines, "(id)" refers, a bare name is itself.
    if (value.empty() || value[0] != '(') return value;
    size_t close = value.find(')');
    std::string id = value.substr(0, close + 1);
    if (close + 1 < value.size()) table[id] = value.substr(close + 2);
    return table[id];
  };
  std::string line, fl, effective, cfn;
  bool inDriverFunction = false, callLine = false, events = false;
  total = 0;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    char c = line[0];
    if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '*') {
      if (!events) continue;
      std::istringstream costs(line);
      std::string position;
      unsigned long long ir = 0;
      costs >> position >> ir;
      if (callLine) {
        if (inDriverFunction && IsMemoryRoutine(cfn)) total += ir;
        callLine = false;
      } else if (IsDriverSource(effective)) {
        total += ir;
      }
      continue;
    }
    if (line.rfind("events:", 0) == 0) {
      std::istringstream names(line.substr(7));
      std::string first;
      names >> first;
      events = first == "Ir";
      continue;
    }
    size_t eq = line.find('=');
    std::string key = eq == std::string::npos ? line : line.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
    if (key == "fl") {
      fl = effective = name(files, value);
    } else if (key == "fi" || key == "fe") {
      effective = name(files, value);
    } else if (key == "fn") {
      name(functions, value);
      effective = fl;
      inDriverFunction = IsDriverSource(fl);
    } else if (key == "cfi" || key == "cfl") {
      name(files, value);
    } else if (key == "cfn") {
      cfn = name(functions, value);
    } else if (key == "calls") {
      callLine = true;
    }
  }
  if (!events) problem = "callgrind output without the Ir event";
  return events;
}

#if ORVIX_HAVE_CALLGRIND
// The measured loops, run in the child under callgrind. Virtual time and the unthrottled
// adapter, so that the same work is done every time.
int RunMeasuredLoop(bool transmit, unsigned long long characters) {
  hk::adapter::AdapterOptions options;
  options.Serial = transmit ? u"B0005" : u"B0006";
  options.Unthrottled = true;
  options.RxFifoChars = (ULONG)characters + 1;
  BenchPort port(hk::clock::Mode::Virtual, options);
  if (!port.Opened()) return 2;
  auto data = Pattern((size_t)characters, transmit ? 9 : 10);
  size_t moved = 0;
  if (transmit) {
    const size_t kWrite = 100000;
    CALLGRIND_ZERO_STATS;
    for (size_t sent = 0; sent < data.size();) {
      size_t n = std::min(kWrite, data.size() - sent);
      auto write = port.Write(std::vector<UCHAR>(data.begin() + (long)sent, data.begin() + (long)(sent + n)));
      for (int ms = 0; ms < 100000 && !write->Done(); ++ms) port.Machine().AdvanceMs(1);
      sent += n;
    }
    CALLGRIND_DUMP_STATS_AT("measured");
    moved = port.Device().TakeTransmitted().size();
  } else {
    port.SetTimeouts(MAXULONG, 0, 0, 0, 0);
    std::vector<UCHAR> received;
    CALLGRIND_ZERO_STATS;
    port.Device().ReceiveFromLine(data);
    port.Settle();
    Op read;
    for (int tries = 0; tries < 100000 && received.size() < data.size(); ++tries) {
      port.Read(read, 65536);
      received.insert(received.end(), read.Buffer.begin(), read.Buffer.begin() + read.Bytes());
      if (read.Bytes() == 0) port.Machine().AdvanceMs(1);
    }
    CALLGRIND_DUMP_STATS_AT("measured");
    moved = received == data ? received.size() : 0;
  }
  std::string findings = port.Finish();
  return moved == data.size() && findings.empty() ? 0 : 3;
}
#endif

// Runs this program under callgrind for one direction; returns the driver's instructions.
bool CountUnderCallgrind(const std::string& valgrind, const std::string& self, bool transmit,
                         unsigned long long characters, unsigned long long& instructions, std::string& problem) {
  char dir[] = "/tmp/orvix-bench-XXXXXX";
  if (!mkdtemp(dir)) {
    problem = "no temporary directory";
    return false;
  }
  std::string out = std::string(dir) + "/callgrind.out";
  std::string command = "'" + valgrind + "' --tool=callgrind --callgrind-out-file='" + out +
                        "' '" + self + "' --driver-instructions " + (transmit ? "tx " : "rx ") +
                        std::to_string(characters) + " >'" + dir + "/log' 2>&1";
  int status = std::system(command.c_str());
  bool ok = false;
  if (status != 0) {
    problem = std::string("the ") + (transmit ? "transmit" : "receive") + " run under callgrind failed (see " + dir +
              "/log)";
  } else {
    // The client request's dump is the first numbered one.
    ok = DriverInstructionsIn(out + ".1", instructions, problem);
  }
  if (ok) std::system(("rm -rf '" + std::string(dir) + "'").c_str());
  return ok;
}

}  // namespace

int DriverInstructionsChild(int argc, char** argv) {
#if ORVIX_HAVE_CALLGRIND
  if (argc < 4) return 2;
  return RunMeasuredLoop(std::string(argv[2]) == "tx", std::strtoull(argv[3], nullptr, 10));
#else
  (void)argc;
  (void)argv;
  return 2;
#endif
}

DriverInstructions MeasureDriverInstructions(const char* self, unsigned long long characters) {
  DriverInstructions result;
  result.Characters = characters;
  std::string valgrind;
  if (!ORVIX_HAVE_CALLGRIND) {
    result.Absent = "built without valgrind/callgrind.h";
    return result;
  }
  if (!OnPath("valgrind", valgrind)) {
    result.Absent = "valgrind is not installed";
    return result;
  }
  std::string exe = self;
  char resolved[4096];
  ssize_t n = readlink("/proc/self/exe", resolved, sizeof resolved - 1);
  if (n > 0) exe.assign(resolved, (size_t)n);
  unsigned long long tx = 0, rx = 0;
  std::string problem;
  if (!CountUnderCallgrind(valgrind, exe, true, characters, tx, problem) ||
      !CountUnderCallgrind(valgrind, exe, false, characters, rx, problem)) {
    result.Problems = problem;
    return result;
  }
  result.Measured = true;
  result.TransmitTotal = tx;
  result.ReceiveTotal = rx;
  result.Transmit = (tx + characters / 2) / characters;
  result.Receive = (rx + characters / 2) / characters;
  return result;
}

}  // namespace orvix_bench
