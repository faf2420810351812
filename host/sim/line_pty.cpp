#include "line_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace hk::sim {

LinePty::~LinePty() { Stop(); }

bool LinePty::Start(std::shared_ptr<adapter::Adapter> adapter, const std::string& link, std::string* error) {
  adapter_ = std::move(adapter);
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    *error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  const char* name = ptsname(master_);
  if (name == nullptr) {
    *error = std::string("no pseudo-terminal name: ") + std::strerror(errno);
    return false;
  }
  device_ = name;
  slave_ = open(device_.c_str(), O_RDWR | O_NOCTTY);
  if (slave_ < 0) {
    *error = "cannot open " + device_ + ": " + std::strerror(errno);
    return false;
  }
  // A serial line carries bytes: no echo, no line editing, no character translation.
  termios raw{};
  if (tcgetattr(slave_, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
  }
  unlink(link.c_str());
  if (symlink(device_.c_str(), link.c_str()) != 0) {
    *error = "cannot link " + link + " to " + device_ + ": " + std::strerror(errno);
    return false;
  }
  link_ = link;
  // The far end is connected and ready: CTS, DSR and DCD on.
  adapter_->SetModemInputs(0x01 | 0x02 | 0x08);
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void LinePty::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (!link_.empty()) unlink(link_.c_str());
  link_.clear();
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  slave_ = master_ = -1;
}

void LinePty::Run() {
  std::vector<UCHAR> in(4096);
  while (!stop_) {
    pollfd fd{master_, POLLIN, 0};
    int ready = poll(&fd, 1, 2);
    if (ready > 0 && (fd.revents & POLLIN)) {
      ssize_t n = read(master_, in.data(), in.size());
      if (n > 0) adapter_->ReceiveFromLine(std::vector<UCHAR>(in.begin(), in.begin() + n));
    }
    std::vector<UCHAR> out = adapter_->TakeTransmitted();
    size_t done = 0;
    while (done < out.size() && !stop_) {
      ssize_t n = write(master_, out.data() + done, out.size() - done);
      if (n > 0) {
        done += (size_t)n;
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        break;
      } else {
        pollfd wfd{master_, POLLOUT, 0};
        poll(&wfd, 1, 10);
      }
    }
  }
}

}  // namespace hk::sim
