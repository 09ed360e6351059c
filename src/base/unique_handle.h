#pragma once
// Move-only owner of one kernel handle. Both failure sentinels (null and
// INVALID_HANDLE_VALUE) count as "no handle" and are never closed.

#include <windows.h>

#include <utility>

namespace qor {

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    [[nodiscard]] HANDLE get() const { return handle_; }
    [[nodiscard]] bool valid() const { return is_handle(handle_); }
    explicit operator bool() const { return valid(); }

    HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        HANDLE old = std::exchange(handle_, handle);
        if (is_handle(old)) ::CloseHandle(old);  // result ignored: nothing useful to do on failure
    }

    static bool is_handle(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace qor
