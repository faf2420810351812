// System threads and thread objects.
#pragma once
#include <string>
#include <vector>

namespace hk::threads {

// Names of system threads that have not terminated.
std::vector<std::string> Running();
// Joins the host threads of terminated system threads; returns the number still running.
size_t Reap();
// Priority the driver gave a system thread (KeSetPriorityThread), by creation order.
std::vector<int> Priorities();
// Ends the calling foreign thread's thread object now rather than at host-thread exit.
void EndForeignThread();

}  // namespace hk::threads
