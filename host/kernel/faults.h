// Fault injection for low-resource tests: make the Nth allocation fail, or every allocation
// with a given pool tag, or every creation of one kind of resource.
#pragma once
#include <hostddk/ddk.h>

namespace hk::faults {

enum class Resource { Pool, Irp, Thread, Device };

// Counts allocations of every kind from now on; the Nth (1-based) fails. 0 disables.
void FailNth(unsigned n);
// Every pool allocation with this tag fails until cleared. 0 clears.
void FailTag(ULONG tag);
// Every request for this kind of resource fails until cleared.
void FailResource(Resource resource, bool fail);
void Clear();
// Allocations counted since FailNth was armed (or since Clear).
unsigned Counted();

bool ShouldFail(Resource resource, ULONG tag);

}  // namespace hk::faults
