#include "pool.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "faults.h"
#include "irql.h"
#include "thread_state.h"
#include "verifier.h"

namespace hk::pool {
namespace {
std::mutex g_lock;
std::map<const void*, Allocation> g_live;
unsigned long long g_sequence = 0;

void* Allocate(POOL_TYPE type, size_t size, ULONG tag) {
  // Fresh pool is not zeroed on Windows; a fill pattern shows reliance on zeroed memory.
  void* p = std::malloc(size ? size : 1);
  if (!p) return nullptr;
  std::memset(p, 0xC5, size);
  std::lock_guard<std::mutex> guard(g_lock);
  g_live[p] = {p, size, tag, type, ++g_sequence};
  return p;
}
}  // namespace

std::vector<Allocation> Live() {
  std::lock_guard<std::mutex> guard(g_lock);
  std::vector<Allocation> out;
  for (const auto& [p, a] : g_live) out.push_back(a);
  return out;
}

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = (char)((tag >> (8 * i)) & 0xFF);
    text += (c >= 32 && c < 127) ? c : '.';
  }
  return text;
}

std::string Describe(const std::vector<Allocation>& allocations) {
  std::string text;
  for (const auto& a : allocations)
    text += "  " + std::to_string(a.size) + " bytes, tag '" + TagText(a.tag) + "', " +
            (a.type == PagedPool ? "paged" : "non-paged") + ", allocation #" +
            std::to_string(a.sequence) + "\n";
  return text;
}

void* AllocateForDriver(POOL_TYPE type, size_t size, ULONG tag) { return Allocate(type, size, tag); }

bool IsLive(const void* address) {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_live.count(address) != 0;
}

void Reset() {
  std::lock_guard<std::mutex> guard(g_lock);
  for (auto& [p, a] : g_live) std::free(const_cast<void*>(p));
  g_live.clear();
}

}  // namespace hk::pool

using namespace hk;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  KIRQL irql = CurrentThread().Irql;
  bool paged = PoolType == PagedPool || PoolType == PagedPoolCacheAligned;
  if (paged && irql >= DISPATCH_LEVEL)
    verifier::Report("irql", "paged pool allocated at DISPATCH_LEVEL (tag '" + pool::TagText(Tag) + "')");
  if (irql > DISPATCH_LEVEL) verifier::Report("irql", "pool allocated above DISPATCH_LEVEL");
  if (faults::ShouldFail(faults::Resource::Pool, Tag, __builtin_return_address(0))) return nullptr;
  return pool::AllocateForDriver(PoolType, NumberOfBytes, Tag);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */);
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) {
  if (!P) {
    verifier::Report("pool", "ExFreePool of a NULL pointer");
    return;
  }
  pool::Allocation a;
  {
    std::lock_guard<std::mutex> guard(pool::g_lock);
    auto it = pool::g_live.find(P);
    if (it == pool::g_live.end()) {
      verifier::Report("pool", "ExFreePool of memory that is not a live pool allocation (double free?)");
      return;
    }
    a = it->second;
    pool::g_live.erase(it);
  }
  if (Tag != 0 && Tag != a.tag)
    verifier::Report("pool", "ExFreePoolWithTag with tag '" + pool::TagText(Tag) +
                                 "' frees an allocation tagged '" + pool::TagText(a.tag) + "'");
  if (CurrentThread().Irql > DISPATCH_LEVEL) verifier::Report("irql", "pool freed above DISPATCH_LEVEL");
  locks::ForgetRange(P, (const char*)P + a.size);
  std::memset(P, 0xDD, a.size);
  std::free(P);
}

void ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

}  // extern "C"
