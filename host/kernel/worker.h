// Work queues run by one thread each at PASSIVE_LEVEL, for kernel work that must not run in
// the context that triggers it: the close that follows the last I/O of a file, a deferred
// removal, the dispatch of a power request the driver asked for.
#pragma once
#include <functional>

namespace hk::worker {

// Wake carries the wait/wake requests, which a driver may hold in its dispatch routine until
// the device wakes: the device power requests behind them must not wait for that.
enum class Queue { Io, Pnp, Power, Wake };

void Start();
void Stop();
void Post(Queue queue, std::function<void()> work);

}  // namespace hk::worker
