// The adapter's RS-232 side on a Linux pseudo-terminal: what the adapter transmits is written to
// the terminal, and what a program on the terminal writes arrives on the adapter's RX line at the
// configured character rate. A symlink names the terminal, so that picocom, minicom or pyserial
// open it as the far end of the cable.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "../adapter/adapter.h"

namespace hk::sim {

class LinePty {
 public:
  LinePty() = default;
  ~LinePty();
  LinePty(const LinePty&) = delete;
  LinePty& operator=(const LinePty&) = delete;

  // Opens the terminal, links `link` to it and starts carrying characters. False, with the
  // reason in `error`, when any of it fails.
  bool Start(std::shared_ptr<adapter::Adapter> adapter, const std::string& link, std::string* error);
  void Stop();
  std::string Device() const { return device_; }

 private:
  void Run();

  std::shared_ptr<adapter::Adapter> adapter_;
  std::string link_;
  std::string device_;
  int master_ = -1;
  int slave_ = -1;  // held open, so that the terminal stays usable between programs
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace hk::sim
