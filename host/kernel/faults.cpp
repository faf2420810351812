#include "faults.h"

#include <mutex>

namespace hk::faults {
namespace {
std::mutex g_lock;
unsigned g_nth = 0;
unsigned g_counted = 0;
ULONG g_tag = 0;
bool g_resource[4] = {false, false, false, false};
int g_powerFailures = 0;
}  // namespace

void FailNth(unsigned n) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_nth = n;
  g_counted = 0;
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
}

unsigned Counted() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_counted;
}

bool ShouldFail(Resource resource, ULONG tag) {
  std::lock_guard<std::mutex> guard(g_lock);
  ++g_counted;
  if (g_resource[(int)resource]) return true;
  if (resource == Resource::Pool && g_tag != 0 && tag == g_tag) return true;
  return g_nth != 0 && g_counted == g_nth;
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
