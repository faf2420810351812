#include "verifier.h"

#include <cstdio>
#include <mutex>

namespace hk::verifier {
namespace {
std::mutex g_lock;
std::vector<Finding> g_findings;
bool g_echo = true;
}  // namespace

void Report(const std::string& rule, const std::string& message) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_findings.push_back({rule, message});
  if (g_echo) std::fprintf(stderr, "VERIFIER [%s] %s\n", rule.c_str(), message.c_str());
}

std::vector<Finding> Take() {
  std::lock_guard<std::mutex> guard(g_lock);
  std::vector<Finding> out;
  out.swap(g_findings);
  return out;
}

std::vector<Finding> Snapshot() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_findings;
}

size_t Count() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_findings.size();
}

bool Has(const std::string& rule) {
  std::lock_guard<std::mutex> guard(g_lock);
  for (const auto& f : g_findings)
    if (f.rule == rule) return true;
  return false;
}

std::string Describe(const std::vector<Finding>& findings) {
  std::string text;
  for (const auto& f : findings) text += "[" + f.rule + "] " + f.message + "\n";
  return text;
}

void SetEcho(bool echo) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_echo = echo;
}

}  // namespace hk::verifier
