#pragma once
// The bench programs' clock: milliseconds on the performance counter, read inside Wine.

#include <windows.h>

inline double now_ms() {
    LARGE_INTEGER now{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}
