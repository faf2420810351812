// Pool tracking: every live allocation by tag and pool type, for leak reports.
#pragma once
#include <hostddk/ddk.h>

#include <string>
#include <vector>

namespace hk::pool {

struct Allocation {
  const void* address;
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  unsigned long long sequence;
};

std::vector<Allocation> Live();
std::string Describe(const std::vector<Allocation>& allocations);
std::string TagText(ULONG tag);  // "Wdm " for 0x206D6457
// Allocates on behalf of the kernel for memory the driver will free (strings, URBs).
void* AllocateForDriver(POOL_TYPE type, size_t size, ULONG tag);
bool IsLive(const void* address);
void Reset();

}  // namespace hk::pool
