#include "faults.h"

#include <mutex>
#include <set>

namespace hk::faults {
namespace {
std::mutex g_lock;
unsigned g_nth = 0;
unsigned g_counted = 0;
ULONG g_tag = 0;
bool g_resource[6] = {false, false, false, false, false, false};
std::set<const void*> g_failedSites;
int g_powerFailures = 0;
USHORT g_urbFunction = 0;
unsigned g_urbNth = 0;
unsigned g_urbSeen = 0;
unsigned g_urbFailures = 0;
Resource g_kind = Resource::Pool;
unsigned g_kindNth = 0;
unsigned g_kindSeen = 0;
unsigned g_kindFailures = 0;
UCHAR g_pnpMinor = 0;
NTSTATUS g_pnpStatus = STATUS_SUCCESS;
unsigned g_pnpFailures = 0;
}  // namespace

void FailPnp(UCHAR minor, NTSTATUS status) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_pnpMinor = minor;
  g_pnpStatus = status;
  g_pnpFailures = 0;
}

NTSTATUS PnpFailure(UCHAR minor) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (NT_SUCCESS(g_pnpStatus) || minor != g_pnpMinor) return STATUS_SUCCESS;
  ++g_pnpFailures;
  return g_pnpStatus;
}

unsigned PnpFailures() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_pnpFailures;
}

void FailUrb(USHORT function, unsigned nth) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_urbFunction = function;
  g_urbNth = nth;
  g_urbSeen = 0;
  g_urbFailures = 0;
}

bool UrbShouldFail(USHORT function) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_urbNth == 0 || function != g_urbFunction) return false;
  if (++g_urbSeen != g_urbNth) return false;
  ++g_urbFailures;
  return true;
}

unsigned UrbFailures() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_urbFailures;
}

void FailNth(unsigned n) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_nth = n;
  g_counted = 0;
}

void FailNthOf(Resource resource, unsigned n) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_kind = resource;
  g_kindNth = n;
  g_kindSeen = 0;
  g_kindFailures = 0;
}

unsigned FailuresOfKind() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_kindFailures;
}

void FailTag(ULONG tag) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_tag = tag;
}

void FailResource(Resource resource, bool fail) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_resource[(int)resource] = fail;
}

void Clear() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_nth = 0;
  g_counted = 0;
  g_tag = 0;
  for (bool& r : g_resource) r = false;
  g_powerFailures = 0;
  g_urbNth = 0;
  g_urbSeen = 0;
  g_pnpStatus = STATUS_SUCCESS;
  g_kindNth = 0;
  g_kindSeen = 0;
}

unsigned Counted() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_counted;
}

bool ShouldFail(Resource resource, ULONG tag, const void* site) {
  std::lock_guard<std::mutex> guard(g_lock);
  ++g_counted;
  bool nthOfKind = g_kindNth != 0 && resource == g_kind && ++g_kindSeen == g_kindNth;
  if (nthOfKind) ++g_kindFailures;
  bool fail = g_resource[(int)resource] || (resource == Resource::Pool && g_tag != 0 && tag == g_tag) ||
              (g_nth != 0 && g_counted == g_nth) || nthOfKind;
  if (fail && site) g_failedSites.insert(site);
  return fail;
}

std::vector<const void*> FailedSites() {
  std::lock_guard<std::mutex> guard(g_lock);
  return std::vector<const void*>(g_failedSites.begin(), g_failedSites.end());
}

void ForgetFailedSites() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_failedSites.clear();
}

void FailPowerRequests(int count) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_powerFailures = count;
}

bool PowerRequestShouldFail() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_powerFailures <= 0) return false;
  --g_powerFailures;
  return true;
}

}  // namespace hk::faults
