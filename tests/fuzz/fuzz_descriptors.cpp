// Device and configuration descriptors as a device might send them, lengths that lie included:
// the adapter model with its descriptors replaced by the fuzz input is plugged in, used if it
// started, and unplugged. Whatever the descriptors say, the driver must start or refuse cleanly
// and leave nothing behind.
#include "harness.h"

using namespace hk;
using namespace hk::fuzz;
using namespace ::win32;

namespace {

// The adapter model, presenting descriptors of the input's making.
class Impostor : public adapter::Adapter {
 public:
  Impostor(adapter::AdapterOptions options, std::vector<UCHAR> device, std::vector<UCHAR> configuration)
      : Adapter(std::move(options)), device_(std::move(device)), configuration_(std::move(configuration)) {}
  std::vector<UCHAR> DeviceDescriptor() const override { return device_; }
  std::vector<UCHAR> ConfigurationDescriptor(UCHAR index) const override {
    return index == 0 ? configuration_ : std::vector<UCHAR>();
  }

 private:
  std::vector<UCHAR> device_;
  std::vector<UCHAR> configuration_;
};

void Body(Run& run, Input& in) {
  std::vector<UCHAR> device = in.Bytes(in.Pick(40));
  std::vector<UCHAR> configuration = in.Bytes(in.Word() % 600);
  // The descriptors may name endpoints the model does not serve, or packets too small for a
  // unit: the device's doing.
  run.Tolerate(adapter::ViolationKind::UnusedEndpoint);
  run.Tolerate(adapter::ViolationKind::ShortBulkIn);
  auto impostor = std::make_shared<Impostor>(QuietAdapter(), std::move(device), std::move(configuration));
  pnp::DeviceNode* node = run.PlugFunction(impostor);
  if (node && node->State == pnp::DeviceState::Started) {
    HANDLE h = run.Open();
    if (h != INVALID_HANDLE_VALUE) {
      COMMTIMEOUTS t{0, 0, 50, 0, 200};
      SetCommTimeouts(h, &t);
      run.Write(h, {'a', 'b', 'c'});
      impostor->ReceiveFromLine({'x', 'y'});
      run.Read(h, 8);
      run.Pause(300);
      run.Close(h);
    }
  }
  if (in.Byte() & 1) {
    if (node) run.Host().Unplug(node);
  }
  // Otherwise the machine's shutdown removes it.
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  uint64_t seed = in.Word();
  RunOnce("descriptors", seed + 1, [&](Run& run) { Body(run, in); });
  return 0;
}
