#pragma once
// Helpers for tests that start real child processes under Windows or Wine.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "process/child_process.h"

namespace qor::test {

// The folder of the running test executable; the helper programs lie in its tools\ folder.
std::wstring test_program_folder();
std::wstring helper_program(const wchar_t* file_name);

// A fresh folder under the system's temporary folder (on C: under Wine), removed with its content.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::wstring& name_prefix);
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    [[nodiscard]] const std::wstring& path() const { return path_; }
    // Creates the subfolder (and its parents) and returns its path.
    [[nodiscard]] std::wstring subfolder(const std::wstring& relative) const;

private:
    std::wstring path_;
};

// Points this process's standard output at a new pipe for the length of start(),
// so that a child started in inherit mode writes into it, then reads the pipe
// until every writer has closed it.
struct PipedStart {
    std::optional<ChildProcess> child;
    std::string output;
};
PipedStart start_with_piped_output(const std::function<ChildProcess()>& start);

// Polls until the process has exited or the time-out has passed.
bool wait_for_exit(ChildProcess& child, std::int64_t timeout_milliseconds);

// A second handle to the child's process, to observe it after the record has closed its own.
UniqueHandle duplicate_process_handle(const ChildProcess& child);

// Sets one standard handle for the lifetime of the object.
class StandardHandleOverride {
public:
    StandardHandleOverride(DWORD which, HANDLE handle);
    ~StandardHandleOverride();
    StandardHandleOverride(const StandardHandleOverride&) = delete;
    StandardHandleOverride& operator=(const StandardHandleOverride&) = delete;

private:
    DWORD which_;
    HANDLE previous_;
};

std::string to_utf8(const std::wstring& text);

// Open handles of this process, counted by probing the handle table, since
// Wine's GetProcessHandleCount always reports 0.
std::size_t count_open_handles();

bool running_under_wine();

}  // namespace qor::test
