#include "process/clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace qor {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kOneDay = 86'400'000;

__extension__ using Wide = __int128;

// Exact nanoseconds in 128 bits, clamped: what any correct conversion must give.
std::int64_t exact_nanoseconds(std::int64_t counts, std::int64_t frequency) {
    const Wide value = static_cast<Wide>(counts) * 1'000'000'000 / frequency;
    return value > kMax ? kMax : static_cast<std::int64_t>(value);
}

// The largest count whose exact conversion still fits.
std::int64_t last_count_that_fits(std::int64_t frequency) {
    const Wide limit = (static_cast<Wide>(kMax) + 1) * frequency / 1'000'000'000;
    // floor((limit) * 1e9 / f) may reach kMax + 1; step back until it fits.
    Wide count = limit > kMax ? kMax : limit;
    while (static_cast<Wide>(count) * 1'000'000'000 / frequency > kMax) --count;
    return static_cast<std::int64_t>(count);
}

class CounterConversion : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(CounterConversion, WholeSecondsAndFractionsAreExact) {
    const std::int64_t f = GetParam();
    EXPECT_EQ(counter_to_nanoseconds(0, f), 0);
    EXPECT_EQ(counter_to_nanoseconds(f, f), 1'000'000'000);
    EXPECT_EQ(counter_to_nanoseconds(3600 * f, f), 3'600'000'000'000);
    EXPECT_EQ(counter_to_nanoseconds(f - 1, f), exact_nanoseconds(f - 1, f));
    EXPECT_LT(counter_to_nanoseconds(f - 1, f), 1'000'000'000);
    EXPECT_EQ(counter_to_nanoseconds(f / 2, f), exact_nanoseconds(f / 2, f));
    EXPECT_EQ(counter_to_nanoseconds(1, f), exact_nanoseconds(1, f));
}

TEST_P(CounterConversion, MatchesExactArithmeticAcrossTheRange) {
    const std::int64_t f = GetParam();
    // A counter that has run for years: far past where counts * 1e9 overflows.
    for (std::int64_t counts = 1; counts <= (kMax - 7) / 3; counts = counts * 3 + 7) {
        SCOPED_TRACE(counts);
        EXPECT_EQ(counter_to_nanoseconds(counts, f), exact_nanoseconds(counts, f));
    }
}

TEST_P(CounterConversion, SaturatesInsteadOfWrappingNearTheTop) {
    const std::int64_t f = GetParam();
    const std::int64_t last = last_count_that_fits(f);
    for (std::int64_t counts : {last - 1'000'000, last - 1, last}) {
        SCOPED_TRACE(counts);
        EXPECT_EQ(counter_to_nanoseconds(counts, f), exact_nanoseconds(counts, f));
        EXPECT_GE(counter_to_nanoseconds(counts, f), 0);
    }
    if (last < kMax) {
        for (std::int64_t counts : {last + 1, last + 2, kMax - 1, kMax}) {
            SCOPED_TRACE(counts);
            EXPECT_EQ(counter_to_nanoseconds(counts, f), kMax);
        }
    }
    EXPECT_EQ(counter_to_nanoseconds(kMax, f), exact_nanoseconds(kMax, f));
}

TEST_P(CounterConversion, NeverGoesBackwardsAsTheCounterGrows) {
    const std::int64_t f = GetParam();
    std::int64_t previous = -1;
    for (std::int64_t counts = 0; counts < 5 * f; counts += f / 7 + 1) {
        const std::int64_t now = counter_to_nanoseconds(counts, f);
        EXPECT_GE(now, previous) << counts;
        previous = now;
    }
}

// 10 MHz and 24 MHz have their own paths; the others go through seconds and remainder.
INSTANTIATE_TEST_SUITE_P(Frequencies, CounterConversion,
                         ::testing::Values(10'000'000, 24'000'000, 3'579'545, 1'000'000'000, 2'531'250, 1));

TEST(CounterConversionPaths, KnownValues) {
    EXPECT_EQ(counter_to_nanoseconds(1, 10'000'000), 100);
    EXPECT_EQ(counter_to_nanoseconds(12'345'678, 10'000'000), 1'234'567'800);
    EXPECT_EQ(counter_to_nanoseconds(kMax / 100, 10'000'000), kMax / 100 * 100);
    EXPECT_EQ(counter_to_nanoseconds(kMax / 100 + 1, 10'000'000), kMax);
    EXPECT_EQ(counter_to_nanoseconds(3, 24'000'000), 125);
    EXPECT_EQ(counter_to_nanoseconds(1, 24'000'000), 41);
    EXPECT_EQ(counter_to_nanoseconds(24'000'001, 24'000'000), 1'000'000'041);
    EXPECT_EQ(counter_to_nanoseconds(1, 3'579'545), 279);
    EXPECT_EQ(counter_to_nanoseconds(kMax, 1'000'000'000), kMax);
}

TEST(SleepDeadline, AddsMillisecondsAsNanoseconds) {
    EXPECT_EQ(sleep_deadline(5, 1), 1'000'005);
    EXPECT_EQ(sleep_deadline(1'000'000'000, 100), 1'100'000'000);
}

TEST(SleepDeadline, ZeroAndNegativeCountsGiveNow) {
    for (std::int64_t ms :
         {std::int64_t{0}, std::int64_t{-1}, std::int64_t{-86'400'000}, std::numeric_limits<std::int64_t>::min()}) {
        SCOPED_TRACE(ms);
        EXPECT_EQ(sleep_deadline(123'456'789, ms), 123'456'789);
    }
}

TEST(SleepDeadline, SaturatesAtTheLargestValue) {
    EXPECT_EQ(sleep_deadline(kMax - 1'000'001, 1), kMax - 1);
    EXPECT_EQ(sleep_deadline(kMax - 1'000'000, 1), kMax);
    EXPECT_EQ(sleep_deadline(kMax - 999'999, 1), kMax);
    EXPECT_EQ(sleep_deadline(kMax, 1), kMax);
    EXPECT_EQ(sleep_deadline(0, kMax), kMax);
    EXPECT_EQ(sleep_deadline(1, kMax / 1'000'000 + 1), kMax);
    EXPECT_EQ(sleep_deadline(0, kMax / 1'000'000), kMax / 1'000'000 * 1'000'000);
}

TEST(NextSleepCall, ReachedOrPassedDeadlineAsksForNothing) {
    EXPECT_EQ(next_sleep_call(100, 100), 0);
    EXPECT_EQ(next_sleep_call(101, 100), 0);
    EXPECT_EQ(next_sleep_call(kMax, kMax), 0);
}

TEST(NextSleepCall, RoundsTheRestUpToWholeMilliseconds) {
    EXPECT_EQ(next_sleep_call(0, 1), 1);
    EXPECT_EQ(next_sleep_call(0, 999'999), 1);
    EXPECT_EQ(next_sleep_call(0, 1'000'000), 1);
    EXPECT_EQ(next_sleep_call(0, 1'000'001), 2);
    EXPECT_EQ(next_sleep_call(7, 100'000'007), 100);
    EXPECT_EQ(next_sleep_call(-50, 999'950), 1);
}

TEST(NextSleepCall, CapsOneCallAtOneDay) {
    const std::int64_t day_ns = kOneDay * 1'000'000;
    EXPECT_EQ(next_sleep_call(0, day_ns - 1), kOneDay);
    EXPECT_EQ(next_sleep_call(0, day_ns), kOneDay);
    EXPECT_EQ(next_sleep_call(0, day_ns + 1), kOneDay);
    EXPECT_EQ(next_sleep_call(0, kMax), kOneDay);
}

// A clock that moves only when the sleep is called: by the asked time less a
// shortfall taken in order from a list (an early wake-up), then by the full time.
struct FakeClock {
    explicit FakeClock(std::int64_t start, std::vector<std::int64_t> shortfalls = {})
        : now(start), shortfalls_ns(std::move(shortfalls)) {}

    std::int64_t now;
    std::vector<std::int64_t> shortfalls_ns;
    std::vector<std::int64_t> calls;

    void sleep(std::int64_t milliseconds) {
        const std::size_t index = calls.size();
        calls.push_back(milliseconds);
        if (calls.size() > 100) throw std::runtime_error("the sleep does not converge");
        now += milliseconds * 1'000'000 - (index < shortfalls_ns.size() ? shortfalls_ns[index] : 0);
    }
    void run_until(std::int64_t deadline) {
        sleep_until(
            deadline, [this] { return now; }, [this](std::int64_t ms) { sleep(ms); });
    }
};

TEST(SleepUntil, DeadlineAlreadyReachedReturnsWithoutSleeping) {
    FakeClock clock(500);
    clock.run_until(500);
    clock.run_until(100);
    EXPECT_TRUE(clock.calls.empty());
}

TEST(SleepUntil, OnTimeWakeUpSleepsOnce) {
    FakeClock clock(1'000);
    clock.run_until(sleep_deadline(clock.now, 100));
    EXPECT_EQ(clock.calls, std::vector<std::int64_t>{100});
}

TEST(SleepUntil, EarlyWakeUpsSleepAgainForTheRest) {
    FakeClock clock(0, {30'000'000, 29'500'000});
    const std::int64_t deadline = sleep_deadline(0, 100);
    clock.run_until(deadline);
    EXPECT_EQ(clock.calls, (std::vector<std::int64_t>{100, 30, 30}));
    EXPECT_GE(clock.now, deadline);
}

TEST(SleepUntil, SubMillisecondRestStillSleepsAWholeMillisecond) {
    FakeClock clock(0, {1});
    clock.run_until(sleep_deadline(0, 5));
    EXPECT_EQ(clock.calls, (std::vector<std::int64_t>{5, 1}));
}

TEST(SleepUntil, SleepLongerThanADayIsSplitIntoDayLongCalls) {
    FakeClock clock(0);
    const std::int64_t ms = 3 * kOneDay + 5;
    clock.run_until(sleep_deadline(0, ms));
    EXPECT_EQ(clock.calls, (std::vector<std::int64_t>{kOneDay, kOneDay, kOneDay, 5}));
    for (std::int64_t call : clock.calls) EXPECT_LE(call, kOneDay);
}

TEST(SleepUntil, SaturatedDeadlineNeverAsksForMoreThanADay) {
    FakeClock clock(kMax - 3 * kOneDay * 1'000'000);
    clock.run_until(sleep_deadline(clock.now, kMax));
    EXPECT_EQ(clock.calls, (std::vector<std::int64_t>{kOneDay, kOneDay, kOneDay}));
    EXPECT_EQ(clock.now, kMax);
}

TEST(MonotonicClock, NeverGoesBackwards) {
    std::int64_t previous = monotonic_now();
    for (int i = 0; i < 10'000; ++i) {
        const std::int64_t now = monotonic_now();
        ASSERT_GE(now, previous);
        previous = now;
    }
}

TEST(SleepFor, LastsAtLeastTheAskedTime) {
    const std::int64_t start = monotonic_now();
    sleep_for(100);
    const std::int64_t elapsed = monotonic_now() - start;
    EXPECT_GE(elapsed, 100 * kNanosecondsPerMillisecond);
    EXPECT_LT(elapsed, 5'000 * kNanosecondsPerMillisecond);  // a lost or runaway deadline, not scheduling jitter
}

TEST(SleepFor, ZeroAndNegativeCountsReturnAtOnce) {
    const std::int64_t start = monotonic_now();
    sleep_for(0);
    sleep_for(-1);
    sleep_for(std::numeric_limits<std::int64_t>::min());
    // Loose for a loaded machine: the fault is a negative count read as a huge one.
    EXPECT_LT(monotonic_now() - start, 250 * kNanosecondsPerMillisecond);
}

}  // namespace
}  // namespace qor
