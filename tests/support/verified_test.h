// Test fixtures that run every test under the verifier: a test fails when the verifier has
// findings at its end. Tests that plant a fault on purpose take the findings they expect.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "adapter/records.h"
#include "kernel/verifier.h"
#include "sim/machine.h"

namespace hk::test {

class VerifiedTest : public ::testing::Test {
 protected:
  void TearDown() override;
  // Takes the findings of `rule`; the test fails when there are none.
  std::vector<verifier::Finding> ExpectFinding(const std::string& rule);
  // Takes the adapter protocol faults of `kind` a test planted on purpose; the test fails when
  // there are none. Faults left at the end fail the test as verifier findings do.
  std::vector<adapter::Violation> ExpectProtocolFault(adapter::ViolationKind kind);
};

// A machine with the Orvix driver installed for the adapter's hardware ID, in virtual time.
class MachineTest : public VerifiedTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual MachineOptions Options();
  Machine& machine() { return *machine_; }

 private:
  std::unique_ptr<Machine> machine_;
};

}  // namespace hk::test
