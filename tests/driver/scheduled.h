// A fixture's machine run under the host kernel's controlled scheduler: one thread runs at a
// time and the seed picks every hand-over at the kernel's synchronisation points, so one seed
// replays one interleaving and a race's outcomes no longer depend on the load of the machine.
// Threads a test races must come from sched::Spawn and end in sched::Join (outside a run these
// are an ordinary std::thread and join).
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "kernel/scheduler.h"

namespace hk::test {

// The outcomes a race exists to exercise, counted as rounds produce them.
class Outcomes {
 public:
  explicit Outcomes(std::vector<std::string> names) : names_(std::move(names)), counts_(names_.size()) {}
  void Count(size_t outcome) { ++counts_.at(outcome); }
  bool AllSeen() const {
    for (int c : counts_)
      if (c == 0) return false;
    return true;
  }
  // "name N, name N, ..."
  std::string Text() const {
    std::string out;
    for (size_t i = 0; i < names_.size(); ++i) out += (i ? ", " : "") + names_[i] + " " + std::to_string(counts_[i]);
    return out;
  }
  // The outcomes never reached, one a line.
  std::string Missing() const {
    std::string out;
    for (size_t i = 0; i < names_.size(); ++i)
      if (!counts_[i]) out += "  never reached: " + names_[i] + "\n";
    return out;
  }

 private:
  std::vector<std::string> names_;
  std::vector<int> counts_;
};

// Under controlled scheduling, lets the other threads of the run take `points` turns first, so
// that a round can vary which racer starts ahead (virtual time moves only when the test moves it
// or every thread waits, so a racer that needs time, such as a bus transfer, would otherwise
// nearly always lose to one that does not).
// Nothing when threads run freely.
inline void Lag(int points) {
  for (int i = 0; i < points; ++i) sched::Point("a racer's lag");
}

// Seeds that are multiples of four walk at random at every point (the others are PCT runs,
// whose few change points give a long run of rounds little variety), so each seed of a sweep
// is kSeedStep after the last.
inline constexpr uint64_t kFirstSeed = 4;
inline constexpr uint64_t kSeedStep = 4;

template <class Fixture>
class Scheduled : public Fixture {
 protected:
  void SetUp() override { BeginRun(kFirstSeed); }
  void TearDown() override { EndRun(); }

  // Runs `rounds` (one seed's worth, counting into `seen`) seed after seed, each on a fresh
  // machine, until every outcome has been seen or `seeds` seeds have run; then fails naming the
  // outcomes never reached. A failure inside the rounds ends the sweep.
  void SweepUntilAllSeen(Outcomes& seen, int seeds, const std::function<void()>& rounds) {
    for (int s = 1;; ++s) {
      {
        SCOPED_TRACE("seed " + std::to_string(seed_));
        rounds();
      }
      if (::testing::Test::HasFailure()) return;
      if (seen.AllSeen() || s == seeds) break;
      NextSeed();
      if (::testing::Test::HasFatalFailure()) return;
    }
    EXPECT_TRUE(seen.AllSeen()) << "seeds " << kFirstSeed << " to " << seed_ << ": " << seen.Text() << "\n"
                                << seen.Missing();
    ::testing::Test::RecordProperty("seeds", (int)((seed_ - kFirstSeed) / kSeedStep + 1));
    ::testing::Test::RecordProperty("outcomes", seen.Text());
  }

 private:
  // Shuts this seed's machine down (with the verifier's and the adapter's checks) and sets up
  // the fixture again under the next seed.
  void NextSeed() {
    EndRun();
    BeginRun(seed_ + kSeedStep);
  }

  void BeginRun(uint64_t seed) {
    seed_ = seed;
    sched::RunOptions options;
    options.Seed = seed;
    options.OnFailure = [seed](const std::string& report) {
      std::fprintf(stderr, "controlled run of seed %llu failed: %s", (unsigned long long)seed, report.c_str());
    };
    sched::Begin(options);
    running_ = true;
    Fixture::SetUp();
  }
  void EndRun() {
    if (!running_) return;
    Fixture::TearDown();
    sched::End();
    running_ = false;
  }

  uint64_t seed_ = 0;
  bool running_ = false;
};

}  // namespace hk::test
