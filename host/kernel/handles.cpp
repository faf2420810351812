#include "handles.h"

#include <map>
#include <mutex>

namespace hk::handles {
namespace {
struct Entry {
  Kind kind;
  void* object;
};
std::mutex g_lock;
std::map<ULONG_PTR, Entry> g_table;
ULONG_PTR g_next = 0x80000004;
}  // namespace

HANDLE Insert(Kind kind, void* object) {
  std::lock_guard<std::mutex> guard(g_lock);
  ULONG_PTR value = g_next;
  g_next += 4;
  g_table[value] = {kind, object};
  return (HANDLE)value;
}

bool Lookup(HANDLE handle, Kind* kind, void** object) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_table.find((ULONG_PTR)handle);
  if (it == g_table.end()) return false;
  *kind = it->second.kind;
  *object = it->second.object;
  return true;
}

bool Remove(HANDLE handle, Kind* kind, void** object) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_table.find((ULONG_PTR)handle);
  if (it == g_table.end()) return false;
  *kind = it->second.kind;
  *object = it->second.object;
  g_table.erase(it);
  return true;
}

std::vector<std::string> Describe() {
  std::lock_guard<std::mutex> guard(g_lock);
  std::vector<std::string> out;
  for (const auto& [value, entry] : g_table)
    out.push_back((entry.kind == Kind::Thread ? "thread handle " : "registry key handle ") +
                  std::to_string(value));
  return out;
}

void Reset() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_table.clear();
}

}  // namespace hk::handles
