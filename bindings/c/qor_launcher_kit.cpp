// The C boundary over the C++ kit: conversion of text and failures only, no protocol.
#define QOR_KIT_BUILDING_DLL
#include "qor_launcher_kit.h"

#include <windows.h>
#include <shellapi.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qor/launcher_kit.h"
#include "qor/launcher_root.h"

struct qor_kit_launch {
    qor::kit::LaunchArguments arguments;
    std::vector<std::string> user_arguments;  // UTF-8, converted once
    std::string root;
};

struct qor_kit_list {
    std::vector<std::pair<std::string, int>> items;  // UTF-8 text and its flag
};

namespace {

using qor::kit::KitError;

thread_local std::string last_error;

// Refused at the boundary before the kit is asked: the kit's one failure type, with the
// status the caller gets for it.
class BoundaryError : public KitError {
public:
    BoundaryError(int status, const std::string& message) : KitError(message), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

// Every handle handed out and not yet freed: a freed or foreign pointer is refused, not used.
std::mutex live_handles_mutex;
std::set<const qor_kit_launch*> live_launches;
std::set<const qor_kit_list*> live_lists;

void require(bool condition, std::string_view message) {
    if (!condition) throw BoundaryError(QOR_KIT_INVALID_ARGUMENT, std::string(message));
}

std::wstring widen(const char* text, const char* what) {
    require(text != nullptr, std::string(what) + " is NULL");
    const int length = static_cast<int>(std::strlen(text));
    if (length == 0) return {};
    const int units = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, nullptr, 0);
    if (units <= 0) throw BoundaryError(QOR_KIT_INVALID_ARGUMENT, std::string("Text is not UTF-8: ") + what);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, wide.data(), units);
    return wide;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, nullptr, 0,
                                            /*lpDefaultChar=*/nullptr, /*lpUsedDefaultChar=*/nullptr);
    // Windows text may hold a lone surrogate, which no UTF-8 can carry.
    if (bytes <= 0) throw BoundaryError(QOR_KIT_FAILED, "Text is not valid UTF-16 and has no UTF-8 form");
    std::string result(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, result.data(), bytes, nullptr, nullptr);
    return result;
}

// Checked before the work, so that a call refused for its buffer has done nothing.
void check_out(const char* buffer, std::size_t buffer_size, const std::size_t* required) {
    require(required != nullptr, "required is NULL");
    require(buffer != nullptr || buffer_size == 0, "buffer is NULL but buffer_size is not 0");
}

int copy_out(const std::string& text, char* buffer, std::size_t buffer_size, std::size_t* required) {
    check_out(buffer, buffer_size, required);
    *required = text.size() + 1;
    if (buffer_size < text.size() + 1) {
        throw BoundaryError(QOR_KIT_BUFFER_TOO_SMALL,
                            "Buffer too small: " + std::to_string(text.size() + 1) + " bytes needed");
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return QOR_KIT_OK;
}

const qor_kit_launch& live(const qor_kit_launch* launch) {
    require(launch != nullptr, "launch is NULL");
    const std::lock_guard lock(live_handles_mutex);
    require(live_launches.count(launch) == 1, "Unknown or already freed launch handle");
    return *launch;
}

const qor_kit_list& live(const qor_kit_list* list) {
    require(list != nullptr, "list is NULL");
    const std::lock_guard lock(live_handles_mutex);
    require(live_lists.count(list) == 1, "Unknown or already freed list handle");
    return *list;
}

const std::pair<std::string, int>& item(const qor_kit_list* list, std::size_t index) {
    const qor_kit_list& checked = live(list);
    require(index < checked.items.size(), "index is past the last item");
    return checked.items[index];
}

void hand_out(std::unique_ptr<qor_kit_list> list, qor_kit_list** out) {
    const std::lock_guard lock(live_handles_mutex);
    live_lists.insert(list.get());
    *out = list.release();
}

void copy_identity(const std::string& identity, char (&field)[QOR_KIT_IDENTITY_BUFFER_SIZE]) {
    // The state's grammar admits only identities; anything longer cannot come from it.
    if (identity.size() >= QOR_KIT_IDENTITY_BUFFER_SIZE) throw KitError("Invalid launcher state");
    std::memcpy(field, identity.c_str(), identity.size() + 1);
}

// Runs one call: no exception crosses the boundary, and the thread's message says how it went.
template <typename Call>
int guarded(Call&& call) noexcept {
    try {
        last_error.clear();
        return call();
    } catch (const BoundaryError& error) {
        try { last_error = error.what(); } catch (...) {}
        return error.status();
    } catch (const KitError& error) {
        try { last_error = error.what(); } catch (...) {}
        return QOR_KIT_FAILED;
    } catch (const std::bad_alloc&) {
        last_error.clear();
        try { last_error = "Out of memory"; } catch (...) {}
        return QOR_KIT_OUT_OF_MEMORY;
    } catch (const std::exception& error) {
        try { last_error = error.what(); } catch (...) {}
        return QOR_KIT_FAILED;
    } catch (...) {
        last_error.clear();
        return QOR_KIT_FAILED;
    }
}

int hand_out(qor::kit::LaunchArguments arguments, qor_kit_launch** out) {
    auto launch = std::make_unique<qor_kit_launch>();
    for (const std::wstring& argument : arguments.user_arguments) launch->user_arguments.push_back(narrow(argument));
    launch->root = narrow(arguments.launcher_root);
    launch->arguments = std::move(arguments);
    const std::lock_guard lock(live_handles_mutex);
    live_launches.insert(launch.get());
    *out = launch.release();
    return QOR_KIT_OK;
}

int install(const char* launcher_root, const char* source_folder, const char* expected_identity, char* identity,
            std::size_t identity_size, std::size_t* required) {
    const std::wstring root = widen(launcher_root, "launcher_root");
    const std::wstring source = widen(source_folder, "source_folder");
    check_out(identity, identity_size, required);
    // Asked before the install, so that a too small buffer does not leave a version unreported.
    if (identity_size < QOR_KIT_IDENTITY_BUFFER_SIZE) {
        return copy_out(std::string(qor::kit::kVersionIdentityLength, '0'), identity, identity_size, required);
    }
    const std::string installed = expected_identity == nullptr
                                      ? qor::kit::install_version(root, source)
                                      : qor::kit::install_version(root, source, expected_identity);
    return copy_out(installed, identity, identity_size, required);
}

struct LocalFreeArgv {
    void operator()(wchar_t** argv) const { ::LocalFree(argv); }
};

}  // namespace

extern "C" {

int qor_kit_interface_version(void) { return QOR_KIT_INTERFACE_VERSION; }

const char* qor_kit_last_error_message(void) { return last_error.c_str(); }

int qor_kit_copy_last_error_message(char* buffer, size_t buffer_size, size_t* required) {
    // Not through guarded(): asking for the message must not clear it.
    if (required == nullptr) return QOR_KIT_INVALID_ARGUMENT;
    *required = last_error.size() + 1;
    if (buffer == nullptr || buffer_size < last_error.size() + 1) {
        return buffer == nullptr && buffer_size != 0 ? QOR_KIT_INVALID_ARGUMENT : QOR_KIT_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, last_error.c_str(), last_error.size() + 1);
    return QOR_KIT_OK;
}

int qor_kit_launch_from_command_line(qor_kit_launch** launch) {
    return guarded([&] {
        require(launch != nullptr, "launch is NULL");
        int argc = 0;
        const std::unique_ptr<wchar_t*, LocalFreeArgv> argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
        if (!argv) {
            const DWORD error = ::GetLastError();
            throw KitError("Cannot read the command line (error " + std::to_string(error) + ")");
        }
        return hand_out(qor::kit::read_launch_arguments(argc, argv.get()), launch);
    });
}

int qor_kit_launch_from_arguments(const char* const* arguments, size_t count, qor_kit_launch** launch) {
    return guarded([&] {
        require(launch != nullptr, "launch is NULL");
        require(arguments != nullptr || count == 0, "arguments is NULL");
        std::vector<std::wstring> wide;
        wide.reserve(count);
        for (size_t i = 0; i < count; ++i) wide.push_back(widen(arguments[i], "an argument"));
        return hand_out(qor::kit::read_launch_arguments(wide), launch);
    });
}

int qor_kit_launch_free(qor_kit_launch* launch) {
    return guarded([&] {
        require(launch != nullptr, "launch is NULL");
        {
            const std::lock_guard lock(live_handles_mutex);
            require(live_launches.erase(launch) == 1, "Unknown or already freed launch handle");
        }
        delete launch;
        return QOR_KIT_OK;
    });
}

int qor_kit_launch_user_argument_count(const qor_kit_launch* launch, size_t* count) {
    return guarded([&] {
        const qor_kit_launch& checked = live(launch);
        require(count != nullptr, "count is NULL");
        *count = checked.user_arguments.size();
        return QOR_KIT_OK;
    });
}

int qor_kit_launch_user_argument(const qor_kit_launch* launch, size_t index, char* buffer, size_t buffer_size,
                                 size_t* required) {
    return guarded([&] {
        const qor_kit_launch& checked = live(launch);
        require(index < checked.user_arguments.size(), "index is past the last user argument");
        return copy_out(checked.user_arguments[index], buffer, buffer_size, required);
    });
}

int qor_kit_launch_started_by_starter(const qor_kit_launch* launch, int* started_by_starter) {
    return guarded([&] {
        const qor_kit_launch& checked = live(launch);
        require(started_by_starter != nullptr, "started_by_starter is NULL");
        *started_by_starter = checked.arguments.started_by_starter ? 1 : 0;
        return QOR_KIT_OK;
    });
}

int qor_kit_launch_after_rollback(const qor_kit_launch* launch, int* after_rollback) {
    return guarded([&] {
        const qor_kit_launch& checked = live(launch);
        require(after_rollback != nullptr, "after_rollback is NULL");
        *after_rollback = checked.arguments.after_rollback ? 1 : 0;
        return QOR_KIT_OK;
    });
}

int qor_kit_launch_root(const qor_kit_launch* launch, char* buffer, size_t buffer_size, size_t* required) {
    return guarded([&] { return copy_out(live(launch).root, buffer, buffer_size, required); });
}

int qor_kit_launch_readiness_token(const qor_kit_launch* launch, char* buffer, size_t buffer_size,
                                   size_t* required) {
    return guarded(
        [&] { return copy_out(live(launch).arguments.readiness_token, buffer, buffer_size, required); });
}

int qor_kit_own_version_identity(char* buffer, size_t buffer_size, size_t* required) {
    return guarded([&] {
        check_out(buffer, buffer_size, required);
        return copy_out(qor::kit::own_version_identity(), buffer, buffer_size, required);
    });
}

int qor_kit_is_valid_version_identity(const char* identity, int* valid) {
    return guarded([&] {
        require(identity != nullptr, "identity is NULL");
        require(valid != nullptr, "valid is NULL");
        *valid = qor::kit::is_valid_version_identity(identity) ? 1 : 0;
        return QOR_KIT_OK;
    });
}

int qor_kit_signal_readiness(const qor_kit_launch* launch) {
    return guarded([&] {
        qor::kit::signal_readiness(live(launch).arguments);
        return QOR_KIT_OK;
    });
}

int qor_kit_signal_readiness_as(const qor_kit_launch* launch, const char* identity) {
    return guarded([&] {
        const qor_kit_launch& checked = live(launch);
        require(identity != nullptr, "identity is NULL");
        qor::kit::signal_readiness(checked.arguments, identity);
        return QOR_KIT_OK;
    });
}

int qor_kit_read_launcher_state(const char* launcher_root, qor_kit_launcher_state* state) {
    return guarded([&] {
        const std::wstring root = widen(launcher_root, "launcher_root");
        require(state != nullptr, "state is NULL");
        const qor::kit::StateRecord record = qor::kit::read_launcher_state(root);
        qor_kit_launcher_state result{};
        copy_identity(record.current_version, result.current_version);
        copy_identity(record.staged_version, result.staged_version);
        result.trial_pending = record.trial_pending ? 1 : 0;
        *state = result;
        return QOR_KIT_OK;
    });
}

int qor_kit_stage_version(const char* launcher_root, const char* identity) {
    return guarded([&] {
        const std::wstring root = widen(launcher_root, "launcher_root");
        require(identity != nullptr, "identity is NULL");
        qor::kit::stage_version(root, identity);
        return QOR_KIT_OK;
    });
}

int qor_kit_stage_version_retry(const char* launcher_root, const char* identity) {
    return guarded([&] {
        const std::wstring root = widen(launcher_root, "launcher_root");
        require(identity != nullptr, "identity is NULL");
        qor::kit::stage_version(root, identity, qor::kit::StageOptions{.retry_failed_update = true});
        return QOR_KIT_OK;
    });
}

int qor_kit_failed_update(const char* launcher_root, char* identity, size_t identity_size, size_t* required) {
    return guarded([&] {
        const std::wstring root = widen(launcher_root, "launcher_root");
        check_out(identity, identity_size, required);
        return copy_out(qor::kit::failed_update(root), identity, identity_size, required);
    });
}

int qor_kit_install_version(const char* launcher_root, const char* source_folder, char* identity,
                            size_t identity_size, size_t* required) {
    return guarded([&] { return install(launcher_root, source_folder, nullptr, identity, identity_size, required); });
}

int qor_kit_install_version_expecting(const char* launcher_root, const char* source_folder,
                                      const char* expected_identity, char* identity, size_t identity_size,
                                      size_t* required) {
    return guarded([&] {
        require(expected_identity != nullptr, "expected_identity is NULL");
        return install(launcher_root, source_folder, expected_identity, identity, identity_size, required);
    });
}

int qor_kit_prune_versions(const char* launcher_root) {
    return guarded([&] {
        qor::kit::prune_versions(widen(launcher_root, "launcher_root"));
        return QOR_KIT_OK;
    });
}

int qor_kit_list_count(const qor_kit_list* list, size_t* count) {
    return guarded([&] {
        const qor_kit_list& checked = live(list);
        require(count != nullptr, "count is NULL");
        *count = checked.items.size();
        return QOR_KIT_OK;
    });
}

int qor_kit_list_text(const qor_kit_list* list, size_t index, char* buffer, size_t buffer_size, size_t* required) {
    return guarded([&] { return copy_out(item(list, index).first, buffer, buffer_size, required); });
}

int qor_kit_list_flag(const qor_kit_list* list, size_t index, int* flag) {
    return guarded([&] {
        const int value = item(list, index).second;
        require(flag != nullptr, "flag is NULL");
        *flag = value;
        return QOR_KIT_OK;
    });
}

int qor_kit_list_free(qor_kit_list* list) {
    return guarded([&] {
        require(list != nullptr, "list is NULL");
        {
            const std::lock_guard lock(live_handles_mutex);
            require(live_lists.erase(list) == 1, "Unknown or already freed list handle");
        }
        delete list;
        return QOR_KIT_OK;
    });
}

int qor_kit_initialize_launcher_root(const char* launcher_root, const char* starter_executable,
                                     const char* version_folder, char* identity, size_t identity_size,
                                     size_t* required) {
    return guarded([&] {
        const std::wstring root = widen(launcher_root, "launcher_root");
        const std::wstring starter = widen(starter_executable, "starter_executable");
        const std::wstring version = widen(version_folder, "version_folder");
        check_out(identity, identity_size, required);
        // Asked before the install, so that a too small buffer does not leave a root unreported.
        if (identity_size < QOR_KIT_IDENTITY_BUFFER_SIZE) {
            return copy_out(std::string(qor::kit::kVersionIdentityLength, '0'), identity, identity_size, required);
        }
        return copy_out(qor::kit::initialize_launcher_root(root, starter, version), identity, identity_size,
                        required);
    });
}

int qor_kit_create_launcher_state(const char* launcher_root, const char* current_identity) {
    return guarded([&] {
        const std::wstring root = widen(launcher_root, "launcher_root");
        require(current_identity != nullptr, "current_identity is NULL");
        qor::kit::create_launcher_state(root, current_identity);
        return QOR_KIT_OK;
    });
}

int qor_kit_check_launcher_root(const char* launcher_root, qor_kit_list** findings) {
    return guarded([&] {
        const std::wstring root = widen(launcher_root, "launcher_root");
        require(findings != nullptr, "findings is NULL");
        auto list = std::make_unique<qor_kit_list>();
        for (const qor::kit::RootFinding& finding : qor::kit::check_launcher_root(root)) {
            list->items.emplace_back(finding.text, finding.stops_start ? 1 : 0);
        }
        hand_out(std::move(list), findings);
        return QOR_KIT_OK;
    });
}

int qor_kit_remove_launcher_root(const char* launcher_root, qor_kit_list** left) {
    return guarded([&] {
        const std::wstring root = widen(launcher_root, "launcher_root");
        require(left != nullptr, "left is NULL");
        auto list = std::make_unique<qor_kit_list>();
        for (const std::wstring& path : qor::kit::remove_launcher_root(root)) list->items.emplace_back(narrow(path), 0);
        hand_out(std::move(list), left);
        return QOR_KIT_OK;
    });
}

}  // extern "C"

// ---- launcher.log ----------------------------------------------------------------

#include "qor/launcher_log.h"

extern "C" {

int qor_kit_log(const char* launcher_root, const char* line) {
    return guarded([&] {
        const std::wstring root = widen(launcher_root, "launcher_root");
        widen(line, "line");  // the log holds UTF-8 only; the bytes are written as given
        qor::kit::append_launcher_log(root, line);
        return QOR_KIT_OK;
    });
}

}  // extern "C"
