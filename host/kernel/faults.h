// Fault injection for low-resource tests: make the Nth allocation fail, or every allocation
// with a given pool tag, or every creation of one kind of resource.
#pragma once
#include <hostddk/ddk.h>

#include <vector>

namespace hk::faults {

// Interface: enabling a device interface (IoSetDeviceInterfaceState with TRUE).
// ObjectReference: ObReferenceObjectByHandle.
enum class Resource { Pool, Irp, Thread, Device, Interface, ObjectReference };

// Counts allocations of every kind from now on; the Nth (1-based) fails. 0 disables.
void FailNth(unsigned n);
// The `n`-th (1-based) request for this kind of resource from now on fails; 0 disarms. Counted
// apart from FailNth; cleared by Clear.
void FailNthOf(Resource resource, unsigned n);
// Requests failed by FailNthOf since it was armed.
unsigned FailuresOfKind();
// Every pool allocation with this tag fails until cleared. 0 clears.
void FailTag(ULONG tag);
// Every request for this kind of resource fails until cleared.
void FailResource(Resource resource, bool fail);
void Clear();
// Allocations counted since FailNth was armed (or since Clear).
unsigned Counted();

// Asked by every kernel routine that can fail for want of resources. `site` is the caller's
// return address: the call site in the driver, kept when the request is failed.
bool ShouldFail(Resource resource, ULONG tag, const void* site = nullptr);
// The distinct call sites that were failed since ForgetFailedSites (Clear keeps them, so that a
// sweep over many machines can count them).
std::vector<const void*> FailedSites();
void ForgetFailedSites();

// The `nth` (1-based) URB of this URB function submitted from now on fails at the bus with
// USBD_STATUS_REQUEST_FAILED, as a device that stops answering does; 0 disarms. Not counted by
// FailNth; cleared by Clear.
void FailUrb(USHORT function, unsigned nth);
bool UrbShouldFail(USHORT function);
// URBs failed by FailUrb since it was armed.
unsigned UrbFailures();

// Plug and Play requests of this minor code fail at the bus's PDO with `status` (an error) until
// cleared, as from a bus driver that cannot answer them; a failing QUERY_CAPABILITIES first
// fills the caller's structure with rubbish, as a lower driver may leave its output when it
// fails. STATUS_SUCCESS disarms. Not counted by FailNth; cleared by Clear.
void FailPnp(UCHAR minor, NTSTATUS status);
// The status the bus fails this request with, or STATUS_SUCCESS when it answers it as usual.
NTSTATUS PnpFailure(UCHAR minor);
// Requests failed by FailPnp since it was armed.
unsigned PnpFailures();

// The next `count` PoRequestPowerIrp calls fail with STATUS_INSUFFICIENT_RESOURCES, as when the
// power manager cannot allocate the request. Not counted by FailNth; cleared by Clear.
void FailPowerRequests(int count);
bool PowerRequestShouldFail();

}  // namespace hk::faults
