#include "machine.h"

#include "../app/win32.h"
#include "../io/io_manager.h"
#include "../kernel/activity.h"
#include "../kernel/dpc.h"
#include "../kernel/faults.h"
#include "../kernel/handles.h"
#include "../kernel/irql.h"
#include "../kernel/pool.h"
#include "../kernel/threads.h"
#include "../kernel/worker.h"
#include "../registry/registry.h"

namespace hk {

const char16_t* const kAdapterHardwareId = u"USB\\Vid_7A3C&Pid_0003";

Machine::Machine(MachineOptions options) {
  faults::Clear();
  registry::Reset();
  locks::ResetGraph();
  clock::Start(options.Clock, options.Tick);
  dpc::Start(options.Processors);
  worker::Start();
  pnp::Start();
  usb::Start();
  pnp::SetOpenFileCounter([](PDEVICE_OBJECT top) { return win32::OpenFilesOn(top); });
  if (options.Driver) pnp::RegisterDriver(kAdapterHardwareId, {u"Orvix", options.Driver});
  running_ = true;
}

Machine::~Machine() { Shutdown(); }

pnp::DeviceNode* Machine::PlugIn(std::shared_ptr<usb::Function> function) {
  pnp::DeviceNode* node = usb::PlugIn(std::move(function));
  Settle();
  return node;
}

void Machine::Unplug(pnp::DeviceNode* node) {
  usb::Unplug(node);
  Settle();
}

void Machine::Settle() {
  if (clock::CurrentMode() == clock::Mode::Virtual) clock::Advance(0);
  else activity::WaitIdle();
}

void Machine::Shutdown() {
  if (!running_) return;
  running_ = false;
  faults::Clear();
  win32::CloseAllHandles();
  Settle();
  pnp::Shutdown();
  Settle();
  for (const auto& irp : io::LiveIrps()) verifier::Report("lost-irp", irp + " was never completed and freed");
  worker::Stop();
  dpc::Stop();
  clock::Stop();
  usb::Shutdown();
  threads::Reap();
  // Whatever is still allocated, open or running now was left by a test or a driver that never
  // unloaded: reported here so that machines with no driver get the same leak check as unloads.
  auto live = pool::Live();
  if (!live.empty())
    verifier::Report("pool-leak", "machine shut down with " + std::to_string(live.size()) +
                                      " pool allocation(s) live:\n" + pool::Describe(live));
  for (const auto& h : handles::Describe()) verifier::Report("handle-leak", "machine shut down with a " + h + " open");
  for (const auto& t : threads::Running()) verifier::Report("thread-leak", "machine shut down while " + t + " still runs");
  pool::Reset();
  handles::Reset();
  io::Reset();
}

}  // namespace hk
