// The kernel handle table: thread handles from PsCreateSystemThread and registry key handles.
#pragma once
#include <hostddk/ddk.h>

#include <string>
#include <vector>

namespace hk::handles {

enum class Kind { Thread, Key };

HANDLE Insert(Kind kind, void* object);
bool Lookup(HANDLE handle, Kind* kind, void** object);
bool Remove(HANDLE handle, Kind* kind, void** object);
std::vector<std::string> Describe();  // the handles still open
void Reset();

}  // namespace hk::handles
