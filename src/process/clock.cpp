#include "process/clock.h"

#include <windows.h>

#include <limits>

namespace qor {

namespace {
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
}  // namespace

std::int64_t counter_to_nanoseconds(std::int64_t counts, std::int64_t frequency) {
    if (frequency == 10'000'000) {
        return counts > kMax / 100 ? kMax : counts * 100;
    }
    const std::int64_t whole_seconds = counts / frequency;
    const std::int64_t remainder = counts % frequency;
    if (whole_seconds > kMax / kNanosecondsPerSecond) return kMax;
    const std::int64_t whole = whole_seconds * kNanosecondsPerSecond;
    // 24 MHz is common; 1e9 / 24e6 reduces to 125 / 3 with the same result.
    const std::int64_t part = frequency == 24'000'000 ? remainder * 125 / 3
                                                      : remainder * kNanosecondsPerSecond / frequency;
    return whole > kMax - part ? kMax : whole + part;
}

std::int64_t sleep_deadline(std::int64_t now, std::int64_t milliseconds) {
    if (milliseconds <= 0) return now;
    if (milliseconds > kMax / kNanosecondsPerMillisecond) return kMax;
    const std::int64_t span = milliseconds * kNanosecondsPerMillisecond;
    return now > kMax - span ? kMax : now + span;
}

std::int64_t next_sleep_call(std::int64_t now, std::int64_t deadline) {
    if (now >= deadline) return 0;
    const std::int64_t remaining = deadline - now;
    const std::int64_t milliseconds =
        remaining / kNanosecondsPerMillisecond + (remaining % kNanosecondsPerMillisecond != 0 ? 1 : 0);
    return milliseconds < kLongestSleepCall ? milliseconds : kLongestSleepCall;
}

void sleep_until(std::int64_t deadline, const std::function<std::int64_t()>& now,
                 const std::function<void(std::int64_t)>& sleep) {
    for (;;) {
        const std::int64_t call = next_sleep_call(now(), deadline);
        if (call == 0) return;
        sleep(call);
    }
}

std::int64_t monotonic_now() {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER value{};
        ::QueryPerformanceFrequency(&value);
        return static_cast<std::int64_t>(value.QuadPart);
    }();
    LARGE_INTEGER counts{};
    ::QueryPerformanceCounter(&counts);
    return counter_to_nanoseconds(counts.QuadPart, frequency);
}

void sleep_for(std::int64_t milliseconds) {
    sleep_until(sleep_deadline(monotonic_now(), milliseconds), monotonic_now,
                [](std::int64_t call) { ::Sleep(static_cast<DWORD>(call)); });
}

}  // namespace qor
