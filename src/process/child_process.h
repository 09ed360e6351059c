#pragma once
// Starting one launcher process and owning it until it is released.

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/path_grammar.h"
#include "base/unique_handle.h"
#include "process/command_line.h"

namespace qor {

inline constexpr DWORD kTerminatedExitCode = 1;
inline constexpr DWORD kTerminateWaitMilliseconds = 5'000;

// Owns a started launcher process. Released on every way out of its owner's
// scope: while it may still run, release ends it with exit code 1 (waiting at most 5 s).
class ChildProcess {
public:
    explicit ChildProcess(UniqueHandle process) : process_(std::move(process)) {}
    ~ChildProcess() { release(); }
    ChildProcess(ChildProcess&&) noexcept = default;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Non-blocking; true once the process has exited, with its exit code stored.
    bool poll_exit();
    void terminate();
    void release();

    [[nodiscard]] std::uint32_t exit_code() const { return exit_code_; }
    [[nodiscard]] bool terminate_on_release() const { return terminate_on_release_; }
    void clear_terminate_on_release() { terminate_on_release_ = false; }
    [[nodiscard]] HANDLE handle() const { return process_.get(); }

private:
    UniqueHandle process_;
    std::uint32_t exit_code_ = 1;
    bool terminate_on_release_ = true;
};

// Everything handed to CreateProcessW, built before the call so that tests can read it.
struct ProcessStartRequest {
    std::wstring application_name;
    std::wstring command_line;
    std::wstring current_directory;
    BOOL inherit_handles = FALSE;
    DWORD creation_flags = 0;
    STARTUPINFOW startup_info{};
};

ProcessStartRequest make_process_start_request(const Path& executable_path, const ArgumentList& arguments,
                                               bool inherit_standard_handles);

// Throws Failure "Cannot start launcher version", also for an executable path of MAX_PATH
// units or more, which Windows cannot start; nothing is left open then.
ChildProcess start_launcher_process(const Path& executable_path, const ArgumentList& arguments,
                                    bool inherit_standard_handles);

}  // namespace qor
