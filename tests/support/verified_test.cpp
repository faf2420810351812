#include "verified_test.h"

#include "sim/orvix.h"

namespace hk::test {

void VerifiedTest::TearDown() {
  auto findings = verifier::Take();
  EXPECT_TRUE(findings.empty()) << "verifier findings:\n" << verifier::Describe(findings);
  auto faults = adapter::TakeFaults();
  std::string text;
  for (const auto& f : faults) text += std::string(adapter::ToString(f.Kind)) + ": " + f.Detail + "\n";
  EXPECT_TRUE(faults.empty()) << "adapter protocol faults:\n" << text;
}

std::vector<adapter::Violation> VerifiedTest::ExpectProtocolFault(adapter::ViolationKind kind) {
  std::vector<adapter::Violation> taken;
  for (auto& f : adapter::TakeFaults()) {
    if (f.Kind == kind) taken.push_back(f);
    else adapter::RecordFault(f);
  }
  EXPECT_FALSE(taken.empty()) << "expected an adapter protocol fault '" << adapter::ToString(kind) << "'";
  return taken;
}

std::vector<verifier::Finding> VerifiedTest::ExpectFinding(const std::string& rule) {
  std::vector<verifier::Finding> taken, kept;
  for (auto& f : verifier::Take()) (f.rule == rule ? taken : kept).push_back(f);
  for (auto& f : kept) verifier::Report(f.rule, f.message);
  EXPECT_FALSE(taken.empty()) << "expected a verifier finding of rule '" << rule << "'";
  return taken;
}

MachineOptions MachineTest::Options() {
  MachineOptions options;
  options.Driver = DriverEntry;
  return options;
}

void MachineTest::SetUp() {
  verifier::SetEcho(true);
  machine_ = std::make_unique<Machine>(Options());
}

void MachineTest::TearDown() {
  machine_->Shutdown();
  machine_.reset();
  VerifiedTest::TearDown();
}

}  // namespace hk::test
