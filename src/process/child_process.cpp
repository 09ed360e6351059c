#include "process/child_process.h"

#include "base/failure.h"

namespace qor {

bool ChildProcess::poll_exit() {
    if (::WaitForSingleObject(process_.get(), /*dwMilliseconds=*/0) != WAIT_OBJECT_0) return false;
    // Exit is known from the wait, never from STILL_ACTIVE, so 259 is a real exit code.
    DWORD code = 1;
    ::GetExitCodeProcess(process_.get(), &code);
    exit_code_ = code;
    terminate_on_release_ = false;
    return true;
}

void ChildProcess::terminate() {
    ::TerminateProcess(process_.get(), kTerminatedExitCode);
    ::WaitForSingleObject(process_.get(), kTerminateWaitMilliseconds);
    terminate_on_release_ = false;
}

void ChildProcess::release() {
    if (terminate_on_release_ && process_) terminate();
    terminate_on_release_ = false;
    process_.reset();
}

ProcessStartRequest make_process_start_request(const Path& executable_path, const ArgumentList& arguments,
                                               bool inherit_standard_handles) {
    ProcessStartRequest request;
    request.application_name = executable_path;
    request.command_line = build_command_line(executable_path, arguments);
    request.current_directory = parent_path(executable_path);
    request.inherit_handles = inherit_standard_handles ? TRUE : FALSE;
    request.creation_flags = CREATE_NO_WINDOW;
    request.startup_info.cb = sizeof(STARTUPINFOW);
    if (inherit_standard_handles) {
        request.startup_info.dwFlags = STARTF_USESTDHANDLES;
        // Passed on as returned, null or invalid included.
        request.startup_info.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        request.startup_info.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
        request.startup_info.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    }
    return request;
}

ChildProcess start_launcher_process(const Path& executable_path, const ArgumentList& arguments,
                                    bool inherit_standard_handles) {
    ProcessStartRequest request = make_process_start_request(executable_path, arguments, inherit_standard_handles);
    PROCESS_INFORMATION info{};
    // A path Windows cannot start is refused as CreateProcessW refuses it there, without the
    // call: Wine crashes inside it instead.
    const bool started =
        request.application_name.size() < MAX_PATH &&
        ::CreateProcessW(request.application_name.c_str(), request.command_line.data(),
                         /*lpProcessAttributes=*/nullptr, /*lpThreadAttributes=*/nullptr, request.inherit_handles,
                         request.creation_flags,
                         /*lpEnvironment=*/nullptr, request.current_directory.c_str(), &request.startup_info, &info);
    if (!started) throw Failure("Cannot start launcher version");
    UniqueHandle thread(info.hThread);  // not needed: closed at once
    return ChildProcess(UniqueHandle(info.hProcess));
}

}  // namespace qor
