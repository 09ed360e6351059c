#include "process_test_support.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "process/clock.h"

namespace qor::test {

std::wstring test_program_folder() {
    std::wstring self(32768, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    return self.substr(0, self.find_last_of(L"\\/"));
}

std::wstring helper_program(const wchar_t* file_name) { return test_program_folder() + L"\\tools\\" + file_name; }

TemporaryFolder::TemporaryFolder(const std::wstring& name_prefix) {
    std::wstring temp(MAX_PATH + 1, L'\0');
    temp.resize(::GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
    if (!temp.empty() && temp.back() == L'\\') temp.pop_back();
    path_ = temp + L"\\" + name_prefix + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(monotonic_now());
    std::filesystem::create_directories(std::filesystem::path(path_));
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(path_), ignored);
}

std::wstring TemporaryFolder::subfolder(const std::wstring& relative) const {
    const std::wstring folder = path_ + L"\\" + relative;
    std::filesystem::create_directories(std::filesystem::path(folder));
    return folder;
}

PipedStart start_with_piped_output(const std::function<ChildProcess()>& start) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), /*lpSecurityDescriptor=*/nullptr,
                                    /*bInheritHandle=*/TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &inheritable, /*nSize=*/0)) throw std::runtime_error("CreatePipe");
    UniqueHandle reader(read_end);
    UniqueHandle writer(write_end);
    // Only the writer may reach the child, or the pipe would never report its end.
    ::SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);

    PipedStart result;
    {
        StandardHandleOverride output(STD_OUTPUT_HANDLE, writer.get());
        result.child.emplace(start());
    }
    writer.reset();

    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(reader.get(), buffer, sizeof buffer, &read, /*lpOverlapped=*/nullptr) && read > 0) {
        result.output.append(buffer, read);
    }
    return result;
}

bool wait_for_exit(ChildProcess& child, std::int64_t timeout_milliseconds) {
    const std::int64_t deadline = sleep_deadline(monotonic_now(), timeout_milliseconds);
    while (!child.poll_exit()) {
        if (monotonic_now() >= deadline) return false;
        sleep_for(2);
    }
    return true;
}

UniqueHandle duplicate_process_handle(const ChildProcess& child) {
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), child.handle(), ::GetCurrentProcess(), &copy,
                           /*dwDesiredAccess=*/0, /*bInheritHandle=*/FALSE, DUPLICATE_SAME_ACCESS)) {
        throw std::runtime_error("DuplicateHandle");
    }
    return UniqueHandle(copy);
}

StandardHandleOverride::StandardHandleOverride(DWORD which, HANDLE handle)
    : which_(which), previous_(::GetStdHandle(which)) {
    ::SetStdHandle(which, handle);
}

StandardHandleOverride::~StandardHandleOverride() { ::SetStdHandle(which_, previous_); }

std::string to_utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    return bytes;
}

}  // namespace qor::test

namespace qor::test {

std::size_t count_open_handles() {
    std::size_t count = 0;
    // Handle values are multiples of four; a test process holds well under a thousand.
    for (std::uintptr_t value = 4; value < 4096; value += 4) {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

bool running_under_wine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace qor::test
