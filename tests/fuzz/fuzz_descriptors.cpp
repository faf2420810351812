// Device and configuration descriptors as a device might send them, lengths that lie included:
// the adapter model with its descriptors replaced by the fuzz input is plugged in, used if it
// started, and unplugged. Whatever the descriptors say, the driver must start or refuse cleanly
// and leave nothing behind.
#include "harness.h"
#include "usb/host_controller.h"

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
  std::vector<UCHAR> configuration = in.Bytes(in.Word() % 1024);
  auto impostor = std::make_shared<Impostor>(QuietAdapter(), std::move(device), std::move(configuration));
  pnp::DeviceNode* node = run.PlugFunction(impostor);
  if (node && node->State == pnp::DeviceState::Started) {
    // The driver takes the first interface's pipes by position, without looking at their
    // addresses or types. Descriptors that put other endpoints there send the streams to the
    // wrong endpoints, and the model's complaints about that traffic are the device's doing.
    auto pipes = usb::ControllerOf(node)->SelectedPipes();
    const UCHAR expected[] = {0x81, 0x02, 0x83};
    bool honest = pipes.size() >= 3;
    for (size_t i = 0; honest && i < 3; ++i)
      honest = pipes[i].EndpointAddress == expected[i] && pipes[i].PipeType == UsbdPipeTypeBulk;
    if (!honest)
      for (auto kind : {adapter::ViolationKind::OddLength, adapter::ViolationKind::TooLong,
                        adapter::ViolationKind::UnknownUnit, adapter::ViolationKind::ReservedBits,
                        adapter::ViolationKind::BeyondCredit, adapter::ViolationKind::TxOverflow,
                        adapter::ViolationKind::ShortBulkIn, adapter::ViolationKind::UnusedEndpoint})
        run.Tolerate(kind);
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
