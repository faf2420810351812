// The verifier: every rule the driver breaks is recorded here as a report. A test fails when
// reports are left at its end; tests that plant a fault on purpose take the reports they expect.
#pragma once
#include <string>
#include <vector>

namespace hk::verifier {

struct Finding {
  std::string rule;     // short rule name, e.g. "double-completion"
  std::string message;  // what happened, with addresses and values
};

void Report(const std::string& rule, const std::string& message);
std::vector<Finding> Take();       // returns and clears the findings
std::vector<Finding> Snapshot();   // returns them, keeps them
size_t Count();
bool Has(const std::string& rule);
std::string Describe(const std::vector<Finding>& findings);

// When set, findings are also printed to stderr as they happen (on by default).
void SetEcho(bool echo);

}  // namespace hk::verifier
