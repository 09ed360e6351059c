#include "process/child_process.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "process/clock.h"
#include "process_test_support.h"

namespace qor {
namespace {

using test::duplicate_process_handle;
using test::helper_program;
using test::start_with_piped_output;
using test::wait_for_exit;

constexpr std::int64_t kExitWaitMilliseconds = 20'000;

using test::count_open_handles;

// The first process creation in a process opens a few handles of the system's
// own that stay open (seen under Wine); make them exist before counting.
void warm_up_process_creation() {
    std::wstring command = L"\"C:\\no such folder\\none.exe\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
    }
}

DWORD process_exit_code(HANDLE process) {
    DWORD code = 0xdeadbeef;
    ::GetExitCodeProcess(process, &code);
    return code;
}

class ChildProcessTest : public ::testing::Test {
protected:
    // The probe copied into a folder whose name has blanks, on the C: drive.
    std::wstring probe_in_folder_with_blanks() {
        const std::wstring folder = temp_.subfolder(L"folder with blanks");
        const std::wstring copy = folder + L"\\process probe.exe";
        std::filesystem::copy_file(std::filesystem::path(helper_program(L"process_probe.exe")),
                                   std::filesystem::path(copy), std::filesystem::copy_options::overwrite_existing);
        return copy;
    }

    test::TemporaryFolder temp_{L"qor-child-process"};
    const std::wstring probe_ = helper_program(L"process_probe.exe");
};

TEST_F(ChildProcessTest, StartsAnExecutableInAFolderWithBlanks) {
    const std::wstring probe = probe_in_folder_with_blanks();
    auto run = start_with_piped_output([&] {
        return start_launcher_process(probe, {L"print", L"started with blanks", L"exit", L"4"}, true);
    });
    EXPECT_EQ(run.output, "started with blanks\n");
    ASSERT_TRUE(wait_for_exit(*run.child, kExitWaitMilliseconds));
    EXPECT_EQ(run.child->exit_code(), 4U);
}

TEST_F(ChildProcessTest, CurrentDirectoryIsTheExecutablesFolderWhereverTheCallerStands) {
    const std::wstring probe = probe_in_folder_with_blanks();
    const std::wstring elsewhere = temp_.subfolder(L"elsewhere");
    std::wstring previous(32768, L'\0');
    previous.resize(::GetCurrentDirectoryW(static_cast<DWORD>(previous.size()), previous.data()));
    ASSERT_TRUE(::SetCurrentDirectoryW(elsewhere.c_str()));

    auto run = start_with_piped_output([&] { return start_launcher_process(probe, {L"cwd"}, true); });
    ::SetCurrentDirectoryW(previous.c_str());

    EXPECT_EQ(run.output, test::to_utf8(temp_.path() + L"\\folder with blanks") + "\n");
    ASSERT_TRUE(wait_for_exit(*run.child, kExitWaitMilliseconds));
}

class ChildExitCode : public ChildProcessTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(ChildExitCode, IsReportedAsItIs) {
    const DWORD code = GetParam();
    ChildProcess child = start_launcher_process(probe_, {L"exit", std::to_wstring(code)}, false);
    ASSERT_TRUE(wait_for_exit(child, kExitWaitMilliseconds));
    EXPECT_EQ(child.exit_code(), code);
    EXPECT_FALSE(child.terminate_on_release());
}

// 259 is STILL_ACTIVE: exit must be known from the wait, not from the code.
INSTANTIATE_TEST_SUITE_P(Codes, ChildExitCode, ::testing::Values(0U, 3U, 259U, 73U, 0xC0000005U));

TEST_F(ChildProcessTest, RunningProcessIsNotReportedAsExited) {
    ChildProcess child = start_launcher_process(probe_, {L"sleep", L"1500", L"exit", L"3"}, false);
    EXPECT_FALSE(child.poll_exit());
    EXPECT_EQ(child.exit_code(), 1U);
    EXPECT_TRUE(child.terminate_on_release());
    ASSERT_TRUE(wait_for_exit(child, kExitWaitMilliseconds));
    EXPECT_EQ(child.exit_code(), 3U);
}

TEST_F(ChildProcessTest, UnreadableExitCodeCountsAsOne) {
    // A signalled event stands in for an exited process whose exit code cannot be read.
    UniqueHandle event(::CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/TRUE, nullptr));
    ASSERT_TRUE(event.valid());
    ChildProcess child{std::move(event)};
    EXPECT_TRUE(child.poll_exit());
    EXPECT_EQ(child.exit_code(), 1U);
    EXPECT_FALSE(child.terminate_on_release());
}

TEST_F(ChildProcessTest, MissingOrUnstartableExecutableFailsAndLeavesNoHandleOpen) {
    const std::wstring not_an_image = temp_.path() + L"\\not an image.exe";
    {
        HANDLE file = ::CreateFileW(not_an_image.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ::WriteFile(file, "plain text", 10, &written, nullptr);
        ::CloseHandle(file);
    }
    warm_up_process_creation();
    // So does the first exception thrown in a process (two handles under Wine).
    try {
        throw std::runtime_error("warm-up");
    } catch (const std::runtime_error&) {
    }
    const std::wstring cases[] = {temp_.path() + L"\\missing\\QorLauncher.exe", temp_.path() + L"\\absent.exe",
                                  temp_.subfolder(L"a folder.exe"), not_an_image};
    for (const std::wstring& path : cases) {
        SCOPED_TRACE(test::to_utf8(path));
        for (bool inherit : {false, true}) {
            const std::size_t before = count_open_handles();
            try {
                ChildProcess child = start_launcher_process(path, {L"x"}, inherit);
                ADD_FAILURE() << "started";
            } catch (const std::runtime_error& failure) {
                EXPECT_STREQ(failure.what(), "Cannot start launcher version");
            }
            EXPECT_EQ(count_open_handles(), before);
        }
    }
}

TEST_F(ChildProcessTest, CommandLineTooLongForWindowsFailsToStart) {
    if (test::running_under_wine()) GTEST_SKIP() << "Wine starts command lines longer than 32,767 units";
    try {
        ChildProcess child = start_launcher_process(probe_, {std::wstring(40'000, L'x')}, false);
        ADD_FAILURE() << "started";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "Cannot start launcher version");
    }
}

TEST_F(ChildProcessTest, StartKeepsOnlyTheProcessHandleAndItIsNotInheritable) {
    warm_up_process_creation();
    const std::size_t before = count_open_handles();
    {
        ChildProcess child = start_launcher_process(probe_, {L"sleep", L"30000"}, false);
        EXPECT_EQ(count_open_handles(), before + 1) << "the thread handle must be closed at once";
        DWORD flags = 0;
        ASSERT_TRUE(::GetHandleInformation(child.handle(), &flags));
        EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0U);
    }
    EXPECT_EQ(count_open_handles(), before);
}

TEST_F(ChildProcessTest, ReleasingARunningProcessEndsItWithExitCodeOne) {
    ChildProcess child = start_launcher_process(probe_, {L"sleep", L"60000", L"exit", L"0"}, false);
    const UniqueHandle observer = duplicate_process_handle(child);
    const std::int64_t start = monotonic_now();
    child.release();
    const std::int64_t elapsed = monotonic_now() - start;
    EXPECT_EQ(::WaitForSingleObject(observer.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(process_exit_code(observer.get()), 1U);
    EXPECT_LT(elapsed, kTerminateWaitMilliseconds * kNanosecondsPerMillisecond);
    EXPECT_EQ(child.handle(), INVALID_HANDLE_VALUE);
}

TEST_F(ChildProcessTest, LeavingScopeByAnExceptionEndsTheProcess) {
    UniqueHandle observer;
    try {
        ChildProcess child = start_launcher_process(probe_, {L"sleep", L"60000"}, false);
        observer = duplicate_process_handle(child);
        throw std::runtime_error("owner fails");
    } catch (const std::runtime_error&) {
    }
    ASSERT_TRUE(observer.valid());
    EXPECT_EQ(::WaitForSingleObject(observer.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(process_exit_code(observer.get()), 1U);
}

TEST_F(ChildProcessTest, ReleasingAnExitedProcessKeepsItsOwnExitCode) {
    ChildProcess child = start_launcher_process(probe_, {L"exit", L"7"}, false);
    const UniqueHandle observer = duplicate_process_handle(child);
    ASSERT_TRUE(wait_for_exit(child, kExitWaitMilliseconds));
    child.release();
    EXPECT_EQ(process_exit_code(observer.get()), 7U);
    EXPECT_EQ(child.exit_code(), 7U);
}

TEST_F(ChildProcessTest, ReleaseTerminatesOnlyWhileTerminateOnReleaseIsSet) {
    ChildProcess child = start_launcher_process(probe_, {L"sleep", L"60000"}, false);
    const UniqueHandle observer = duplicate_process_handle(child);
    child.clear_terminate_on_release();
    child.release();
    EXPECT_EQ(::WaitForSingleObject(observer.get(), 200), static_cast<DWORD>(WAIT_TIMEOUT));
    ::TerminateProcess(observer.get(), 0);
    ::WaitForSingleObject(observer.get(), 5'000);
}

TEST_F(ChildProcessTest, TerminateEndsTheProcessWithExitCodeOne) {
    ChildProcess child = start_launcher_process(probe_, {L"sleep", L"60000"}, false);
    child.terminate();
    EXPECT_FALSE(child.terminate_on_release());
    EXPECT_TRUE(child.poll_exit());
    EXPECT_EQ(child.exit_code(), 1U);
}

TEST_F(ChildProcessTest, ReleaseGivesUpOnAProcessThatDoesNotEndAfterFiveSeconds) {
    // An unsignalled event stands in for a process that ignores TerminateProcess.
    UniqueHandle event(::CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    ASSERT_TRUE(event.valid());
    ChildProcess child{std::move(event)};
    EXPECT_FALSE(child.poll_exit());
    const std::int64_t start = monotonic_now();
    child.release();
    const std::int64_t elapsed = monotonic_now() - start;
    EXPECT_GE(elapsed, (kTerminateWaitMilliseconds - 50) * kNanosecondsPerMillisecond);
    EXPECT_LT(elapsed, (kTerminateWaitMilliseconds + 2'000) * kNanosecondsPerMillisecond);
    EXPECT_FALSE(child.terminate_on_release());
}

TEST_F(ChildProcessTest, InheritModeHandsTheChildTheCallersStandardOutput) {
    auto run = start_with_piped_output([&] {
        return start_launcher_process(probe_, {L"print", L"through the pipe \u00e9\u4e2d", L"print", L""}, true);
    });
    EXPECT_EQ(run.output, "through the pipe \xc3\xa9\xe4\xb8\xad\n\n");
    ASSERT_TRUE(wait_for_exit(*run.child, kExitWaitMilliseconds));
    EXPECT_EQ(run.child->exit_code(), 0U);
}

void expect_startup_info_empty_but_size(const STARTUPINFOW& info) {
    EXPECT_EQ(info.cb, sizeof(STARTUPINFOW));
    EXPECT_EQ(info.lpReserved, nullptr);
    EXPECT_EQ(info.lpDesktop, nullptr);
    EXPECT_EQ(info.lpTitle, nullptr);
    EXPECT_EQ(info.dwX | info.dwY | info.dwXSize | info.dwYSize, 0U);
    EXPECT_EQ(info.dwXCountChars | info.dwYCountChars | info.dwFillAttribute, 0U);
    EXPECT_EQ(info.wShowWindow, 0);
    EXPECT_EQ(info.cbReserved2, 0);
    EXPECT_EQ(info.lpReserved2, nullptr);
}

// Wine hands a child the parent's standard handles even when none are passed,
// so what the child receives proves nothing: the request itself is checked.
TEST(ProcessStartRequest, WithoutInheritModeHandsNoHandles) {
    const ProcessStartRequest request =
        make_process_start_request(LR"(C:\Qor Root\versions\ab\QorLauncher.exe)", {L"a b", L""}, false);
    EXPECT_EQ(request.application_name, LR"(C:\Qor Root\versions\ab\QorLauncher.exe)");
    EXPECT_EQ(request.command_line, LR"("C:\Qor Root\versions\ab\QorLauncher.exe" "a b" "")");
    EXPECT_EQ(request.current_directory, LR"(C:\Qor Root\versions\ab)");
    EXPECT_EQ(request.inherit_handles, FALSE);
    EXPECT_EQ(request.creation_flags, static_cast<DWORD>(CREATE_NO_WINDOW));
    expect_startup_info_empty_but_size(request.startup_info);
    EXPECT_EQ(request.startup_info.dwFlags, 0U);
    EXPECT_EQ(request.startup_info.hStdInput, nullptr);
    EXPECT_EQ(request.startup_info.hStdOutput, nullptr);
    EXPECT_EQ(request.startup_info.hStdError, nullptr);
}

TEST(ProcessStartRequest, InheritModePassesEachStandardHandleAsReturned) {
    // Distinct values, null and invalid included, so that a swap or a filter shows.
    const HANDLE input = nullptr;
    const HANDLE output = INVALID_HANDLE_VALUE;
    const HANDLE error = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x4242));
    ProcessStartRequest request;
    {
        test::StandardHandleOverride in(STD_INPUT_HANDLE, input);
        test::StandardHandleOverride out(STD_OUTPUT_HANDLE, output);
        test::StandardHandleOverride err(STD_ERROR_HANDLE, error);
        request = make_process_start_request(LR"(C:\v\QorLauncher.exe)", {L"--version"}, true);
    }
    EXPECT_EQ(request.inherit_handles, TRUE);
    EXPECT_EQ(request.creation_flags, static_cast<DWORD>(CREATE_NO_WINDOW));
    expect_startup_info_empty_but_size(request.startup_info);
    EXPECT_EQ(request.startup_info.dwFlags, static_cast<DWORD>(STARTF_USESTDHANDLES));
    EXPECT_EQ(request.startup_info.hStdInput, input);
    EXPECT_EQ(request.startup_info.hStdOutput, output);
    EXPECT_EQ(request.startup_info.hStdError, error);
    EXPECT_EQ(request.command_line, LR"("C:\v\QorLauncher.exe" "--version")");
    EXPECT_EQ(request.current_directory, LR"(C:\v)");
}

TEST(ProcessStartRequest, StartupInfoHasTheSixtyFourBitSize) {
    EXPECT_EQ(make_process_start_request(LR"(C:\v\l.exe)", {}, false).startup_info.cb, 104U);
}

}  // namespace
}  // namespace qor
