#pragma once
// A monotonic clock in nanoseconds and a sleep that never ends before its deadline.

#include <cstdint>
#include <functional>

namespace qor {

inline constexpr std::int64_t kNanosecondsPerMillisecond = 1'000'000;
inline constexpr std::int64_t kLongestSleepCall = 86'400'000;  // ms: one day per Sleep call

// Performance-counter ticks to nanoseconds without overflowing an intermediate
// product; saturates at the largest value instead of wrapping.
std::int64_t counter_to_nanoseconds(std::int64_t counts, std::int64_t frequency);

// now + milliseconds, saturated; zero or negative counts give now.
std::int64_t sleep_deadline(std::int64_t now, std::int64_t milliseconds);

// The next Sleep call towards a deadline: 0 when it has been reached, else the
// whole milliseconds that cover the rest, capped at one day.
std::int64_t next_sleep_call(std::int64_t now, std::int64_t deadline);

// Sleeps until the deadline on the given clock, sleeping again after early wake-ups.
void sleep_until(std::int64_t deadline, const std::function<std::int64_t()>& now,
                 const std::function<void(std::int64_t milliseconds)>& sleep);

std::int64_t monotonic_now();
void sleep_for(std::int64_t milliseconds);

}  // namespace qor
