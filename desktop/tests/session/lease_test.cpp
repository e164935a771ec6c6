#include "session/lease.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "fake_lease_clock.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;
using testing::FakeLeaseClock;
using testing::RecordedExit;

// One step of a lease script, run in order against a fresh lease.
struct Step {
  enum Kind {
    kAdvance,       // move the fake clock by `amount`
    kBegin,         // lease_begin_operation gives `granted`
    kEnd,           // lease_end_operation gives `granted`
    kWaits,         // the watchdog, having seen the last change, waits `amount`
    kExits,         // the watchdog ends the process with 124
    kRemaining,     // idle_remaining_seconds gives `amount`
  };
  Kind kind;
  nanoseconds amount = 0ns;
  bool granted = false;
};

Step advance(nanoseconds by) { return {Step::kAdvance, by}; }
Step begin(bool granted) { return {Step::kBegin, 0ns, granted}; }
Step end(bool granted) { return {Step::kEnd, 0ns, granted}; }
Step waits(nanoseconds timeout) { return {Step::kWaits, timeout}; }
Step exits() { return {Step::kExits}; }
Step remaining(nanoseconds left) { return {Step::kRemaining, left}; }

struct LeaseCase {
  const char* name;
  std::vector<Step> steps;
};

void PrintTo(const LeaseCase& c, std::ostream* os) { *os << c.name; }

class LeaseScript : public ::testing::TestWithParam<LeaseCase> {};

TEST_P(LeaseScript, RunsAsScripted) {
  FakeLeaseClock clock;
  RecordedExit exit;
  auto started = start_lease_thread(clock, exit.function());
  ASSERT_TRUE(started) << started.error().display_chain();
  std::optional<SessionLease> lease(std::move(*started));
  std::size_t mark = 0;
  int index = 0;
  for (const Step& step : GetParam().steps) {
    SCOPED_TRACE("step " + std::to_string(index++));
    switch (step.kind) {
      case Step::kAdvance:
        clock.advance(step.amount);
        mark = clock.mark();
        break;
      case Step::kBegin:
        EXPECT_EQ(lease_begin_operation(*lease), step.granted);
        mark = clock.mark();
        break;
      case Step::kEnd:
        EXPECT_EQ(lease_end_operation(*lease), step.granted);
        mark = clock.mark();
        break;
      case Step::kWaits: {
        const auto timeout = clock.next_wait_timeout(mark);
        ASSERT_TRUE(timeout.has_value()) << "the watchdog did not wait (exit " << exit.code().value_or(-1) << ")";
        EXPECT_EQ(*timeout, step.amount);
        EXPECT_FALSE(exit.code().has_value());
        break;
      }
      case Step::kExits:
        EXPECT_EQ(exit.await_code(), std::optional<int>(kLeaseExpiredExitCode));
        break;
      case Step::kRemaining:
        EXPECT_EQ(idle_remaining_seconds(*lease), step.amount);
        break;
    }
  }
  if (exit.code()) return;
  lease.reset();  // stops and joins the watchdog
  EXPECT_FALSE(exit.code().has_value()) << "stopping the lease must not end the process";
}

INSTANTIATE_TEST_SUITE_P(
    Lease, LeaseScript,
    ::testing::Values(
        LeaseCase{"StartUpLongerThanItsAllowanceEndsWith124",
                  {waits(30s), advance(29999ms), waits(1ms), advance(1ms), exits(), begin(false), end(false)}},
        LeaseCase{"EndOfStartUpOpensThreeHundredSecondsAndAGraceSecond",
                  {advance(10s), end(true), waits(301s), remaining(300s), advance(300s), remaining(0ns),
                   begin(false), waits(1s), advance(999ms), waits(1ms), advance(1ms), exits()}},
        LeaseCase{"OperationLongerThanItsAllowanceEndsWithoutGrace",
                  {end(true), advance(100s), begin(true), waits(30s), remaining(30s), advance(30s), exits(),
                   end(false)}},
        LeaseCase{"EndAtTheOperationDeadlineIsRefused", {end(true), begin(true), advance(30s), end(false), exits()}},
        LeaseCase{"BeginWhileBusyAndEndWhileIdleAreRefused",
                  {begin(false), end(true), end(false), begin(true), begin(false), end(true), waits(301s)}},
        LeaseCase{"AnOperationRenewsTheIdlePeriod",
                  {end(true), advance(200s), begin(true), advance(20s), end(true), waits(301s), remaining(300s)}},
        LeaseCase{"ReadingTheRemainingTimeNeverRenewsIt",
                  {end(true), advance(500ms), remaining(299500ms), advance(100s), remaining(199500ms),
                   waits(200500ms), remaining(199500ms)}},
        LeaseCase{"RemainingSaturatesAtZeroDuringTheGrace",
                  {end(true), advance(300500ms), remaining(0ns), waits(500ms), begin(false), end(false),
                   advance(500ms), exits()}}),
    [](const ::testing::TestParamInfo<LeaseCase>& info) { return std::string(info.param.name); });

TEST(Lease, ReleasingStopsTheWatchdogWithoutEndingTheProcess) {
  RecordedExit exit;
  {
    // The real clock: the watchdog is inside a 30-second wait when the lease
    // is released, and the release must wake it rather than wait it out.
    auto lease = start_lease_thread(system_lease_clock(), exit.function());
    ASSERT_TRUE(lease) << lease.error().display_chain();
    EXPECT_TRUE(lease_end_operation(*lease));
    const auto left = idle_remaining_seconds(*lease);
    EXPECT_GT(left, 299s);
    EXPECT_LE(left, 300s);
  }
  EXPECT_FALSE(exit.code().has_value());
}

// The steady clock, 31 seconds ahead after its first reading: the lease is
// created on time and the watchdog's first look finds it run out.
class JumpingClock final : public LeaseClock {
 public:
  Clock::Monotonic now() override {
    return std::chrono::steady_clock::now() + (readings_++ == 0 ? 0s : 31s);
  }
  void wait(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, nanoseconds timeout) override {
    wake.wait_for(lock, timeout);
  }

 private:
  int readings_ = 0;  // read only under the lease's mutex, or before the thread starts
};

TEST(LeaseDeathTest, ExpiryEndsTheWholeProcessWith124) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        JumpingClock clock;
        auto lease = start_lease_thread(clock, terminate_current_process);
        std::this_thread::sleep_for(20s);
        std::exit(0);
      },
      ::testing::ExitedWithCode(kLeaseExpiredExitCode), "");
}

TEST(Lease, WatchdogOfAStoppedStateReturnsAtOnce) {
  FakeLeaseClock clock;
  LeaseState state;
  state.deadline = clock.start();  // long past by the time the loop would look
  state.stopped = true;
  bool ended = false;
  run_lease_watchdog(state, clock, [&](int) { ended = true; });
  EXPECT_FALSE(ended);
  EXPECT_FALSE(state.expired);
}

}  // namespace
}  // namespace vor::desktop
