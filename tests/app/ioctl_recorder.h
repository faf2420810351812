// An upper filter on a port's device stack that notes every device-control request on its way
// down, as a port monitor would show it, and passes everything on untouched.
#pragma once
#include <hostddk/ddk.h>

#include <memory>
#include <mutex>
#include <vector>

namespace hk::test {

struct RecordedIoctl {
  ULONG Code;
  std::vector<UCHAR> Input;
};

class IoctlRecorder {
 public:
  // Attaches the filter on top of `device`'s stack. It detaches and deletes itself when the
  // stack is removed.
  explicit IoctlRecorder(PDEVICE_OBJECT device);
  std::vector<RecordedIoctl> Take();
  std::vector<ULONG> TakeCodes();
  // The byte offsets of the reads and writes that came down since the last call.
  std::vector<LONGLONG> TakeOffsets();

  struct Log {
    std::mutex Lock;
    std::vector<RecordedIoctl> Requests;
    std::vector<LONGLONG> Offsets;
  };

 private:
  std::shared_ptr<Log> log_;
};

}  // namespace hk::test
