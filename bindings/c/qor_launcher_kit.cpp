// The C boundary over the C++ kit: conversion of text and failures only, no protocol.
#define QOR_KIT_BUILDING_DLL
#include "qor_launcher_kit.h"

#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qor/delivery.h"
#include "qor/launcher_kit.h"
#include "qor/launcher_root.h"

namespace {

using qor::kit::ErrorKind;
using qor::kit::KitError;

static_assert(static_cast<int>(ErrorKind::failed) == QOR_KIT_FAILED);
static_assert(static_cast<int>(ErrorKind::invalid_argument) == QOR_KIT_INVALID_ARGUMENT);
static_assert(static_cast<int>(ErrorKind::update_already_failed) == QOR_KIT_UPDATE_ALREADY_FAILED);
static_assert(static_cast<int>(ErrorKind::version_not_installed) == QOR_KIT_VERSION_NOT_INSTALLED);
static_assert(static_cast<int>(ErrorKind::identity_mismatch) == QOR_KIT_IDENTITY_MISMATCH);
static_assert(static_cast<int>(ErrorKind::invalid_identity) == QOR_KIT_INVALID_IDENTITY);
static_assert(static_cast<int>(ErrorKind::root_busy) == QOR_KIT_ROOT_BUSY);
static_assert(static_cast<int>(ErrorKind::starter_running) == QOR_KIT_STARTER_RUNNING);
static_assert(static_cast<int>(ErrorKind::not_launcher_root) == QOR_KIT_NOT_LAUNCHER_ROOT);
static_assert(static_cast<int>(ErrorKind::system) == QOR_KIT_SYSTEM_ERROR);

// What a qor_kit_launch handle stands for.
struct Launch {
    qor::kit::LaunchArguments arguments;
    std::vector<std::string> user_arguments;  // UTF-8, converted once
    std::string root;
};

// What a qor_kit_list handle stands for: UTF-8 texts, each with its flag.
struct List {
    std::vector<std::pair<std::string, int>> items;
};

// ---------------------------------------------------------------------------
// This thread's last failure. Plain heap memory in a TLS slot, freed at DLL_THREAD_DETACH,
// rather than a thread_local with a destructor: such a destructor is still due at the
// thread's exit after FreeLibrary has unloaded this DLL, and the exit then hangs on the
// loader lock, with it the whole process.

struct ThreadFailure {
    ThreadFailure* previous;
    ThreadFailure* next;
    unsigned long system_code;
    std::size_t capacity;  // of text, its NUL included
    char* text;
};

DWORD failure_slot = TLS_OUT_OF_INDEXES;
SRWLOCK failures_lock = SRWLOCK_INIT;
// Every thread's, so that an unload frees those of threads that are still running.
ThreadFailure* failures = nullptr;

class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ::ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& lock_;
};

ThreadFailure* this_thread_failure(bool create) {
    auto* failure = static_cast<ThreadFailure*>(::TlsGetValue(failure_slot));
    if (failure != nullptr || !create) return failure;
    failure = static_cast<ThreadFailure*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ThreadFailure)));
    if (failure == nullptr) return nullptr;
    {
        const ExclusiveLock lock(failures_lock);
        failure->next = failures;
        if (failures != nullptr) failures->previous = failure;
        failures = failure;
    }
    ::TlsSetValue(failure_slot, failure);
    return failure;
}

void free_failure(ThreadFailure* failure) {
    {
        const ExclusiveLock lock(failures_lock);
        if (failure->previous != nullptr) failure->previous->next = failure->next;
        if (failure->next != nullptr) failure->next->previous = failure->previous;
        if (failures == failure) failures = failure->next;
    }
    if (failure->text != nullptr) ::HeapFree(::GetProcessHeap(), 0, failure->text);
    ::HeapFree(::GetProcessHeap(), 0, failure);
}

void record_failure(std::string_view message, unsigned long system_code) noexcept {
    ThreadFailure* const failure = this_thread_failure(/*create=*/true);
    if (failure == nullptr) return;  // out of memory: the status alone tells
    failure->system_code = system_code;
    if (failure->capacity < message.size() + 1) {
        void* const grown = failure->text == nullptr
                                ? ::HeapAlloc(::GetProcessHeap(), 0, message.size() + 1)
                                : ::HeapReAlloc(::GetProcessHeap(), 0, failure->text, message.size() + 1);
        if (grown == nullptr) {
            if (failure->text != nullptr) failure->text[0] = '\0';
            return;
        }
        failure->text = static_cast<char*>(grown);
        failure->capacity = message.size() + 1;
    }
    std::memcpy(failure->text, message.data(), message.size());
    failure->text[message.size()] = '\0';
}

void clear_failure() noexcept {
    ThreadFailure* const failure = this_thread_failure(/*create=*/false);
    if (failure == nullptr) return;
    failure->system_code = 0;
    if (failure->text != nullptr) failure->text[0] = '\0';
}

const char* failure_text() noexcept {
    const ThreadFailure* const failure = this_thread_failure(/*create=*/false);
    return failure != nullptr && failure->text != nullptr ? failure->text : "";
}

// ---------------------------------------------------------------------------
// Handles are numbers from one counter that never repeats, not addresses: a freed handle
// stays unknown for ever, also after the heap has given its memory to a new object, and a
// handle of one kind is never taken for the other.

SRWLOCK handles_lock = SRWLOCK_INIT;
std::uintptr_t last_handle = 0;
std::map<std::uintptr_t, std::shared_ptr<const Launch>> launches;
std::map<std::uintptr_t, std::shared_ptr<const List>> lists;

// Refused at the boundary before the kit is asked: the kit's one failure type, with the
// status the caller gets for it.
class BoundaryError : public KitError {
public:
    BoundaryError(int status, const std::string& message) : KitError(message), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

void require(bool condition, std::string_view message) {
    if (!condition) throw BoundaryError(QOR_KIT_INVALID_ARGUMENT, std::string(message));
}

template <typename Handle, typename Object>
Handle* add_handle(std::map<std::uintptr_t, std::shared_ptr<const Object>>& table,
                   std::shared_ptr<const Object> object) {
    const ExclusiveLock lock(handles_lock);
    table.emplace(last_handle + 1, std::move(object));
    return reinterpret_cast<Handle*>(++last_handle);
}

// A copy of the object, so that a free from another thread meanwhile leaves it to this call.
template <typename Handle, typename Object>
std::shared_ptr<const Object> find_handle(std::map<std::uintptr_t, std::shared_ptr<const Object>>& table,
                                          const Handle* handle, std::string_view kind) {
    require(handle != nullptr, std::string(kind) + " is NULL");
    const ExclusiveLock lock(handles_lock);
    const auto found = table.find(reinterpret_cast<std::uintptr_t>(handle));
    require(found != table.end(), "Unknown or already freed " + std::string(kind) + " handle");
    return found->second;
}

template <typename Handle, typename Object>
void free_handle(std::map<std::uintptr_t, std::shared_ptr<const Object>>& table, const Handle* handle,
                 std::string_view kind) {
    require(handle != nullptr, std::string(kind) + " is NULL");
    std::shared_ptr<const Object> freed;  // destroyed after the lock is let go
    const ExclusiveLock lock(handles_lock);
    const auto found = table.find(reinterpret_cast<std::uintptr_t>(handle));
    require(found != table.end(), "Unknown or already freed " + std::string(kind) + " handle");
    freed = std::move(found->second);
    table.erase(found);
}

std::shared_ptr<const Launch> live(const qor_kit_launch* launch) { return find_handle(launches, launch, "launch"); }

std::shared_ptr<const List> live(const qor_kit_list* list) { return find_handle(lists, list, "list"); }

// text itself, once it is known to be UTF-8: identities are refused as any other text that is not.
const char* utf8_text(const char* text, std::string_view what) {
    require(text != nullptr, std::string(what) + " is NULL");
    const int length = static_cast<int>(std::strlen(text));
    if (length > 0 && ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, nullptr, 0) <= 0) {
        throw BoundaryError(QOR_KIT_INVALID_ARGUMENT, "Text is not UTF-8: " + std::string(what));
    }
    return text;
}

std::wstring widen(const char* text, std::string_view what) {
    const int length = static_cast<int>(std::strlen(utf8_text(text, what)));
    if (length == 0) return {};
    const int units = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, wide.data(), units);
    return wide;
}

// Windows text may hold a lone surrogate (a file name may), which no UTF-8 can carry: it
// comes out as U+FFFD, as the C++ sample converts it, so that such a text never costs the
// caller the rest of what it asked for.
std::string narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, text.data(), length, nullptr, 0,
                                            /*lpDefaultChar=*/nullptr, /*lpUsedDefaultChar=*/nullptr);
    std::string result(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, text.data(), length, result.data(), bytes, nullptr, nullptr);
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

const std::pair<std::string, int>& item(const List& list, std::size_t index) {
    require(index < list.items.size(), "index is past the last item");
    return list.items[index];
}

void hand_out(std::shared_ptr<const List> list, qor_kit_list** out) {
    *out = add_handle<qor_kit_list>(lists, std::move(list));
}

void copy_identity(const std::string& identity, char (&field)[QOR_KIT_IDENTITY_BUFFER_SIZE]) {
    // The state's grammar admits only identities; anything longer cannot come from it.
    if (identity.size() >= QOR_KIT_IDENTITY_BUFFER_SIZE) throw KitError("Invalid launcher state");
    std::memcpy(field, identity.c_str(), identity.size() + 1);
}

// Runs one call: no exception crosses the boundary, and the thread's failure says how it went.
template <typename Call>
int guarded(Call&& call) noexcept {
    try {
        clear_failure();
        return call();
    } catch (const BoundaryError& error) {
        record_failure(error.what(), 0);
        return error.status();
    } catch (const KitError& error) {
        record_failure(error.what(), error.system_error());
        return static_cast<int>(error.kind());
    } catch (const std::bad_alloc&) {
        record_failure("Out of memory", 0);
        return QOR_KIT_OUT_OF_MEMORY;
    } catch (const std::exception& error) {
        record_failure(error.what(), 0);
        return QOR_KIT_FAILED;
    } catch (...) {
        record_failure("", 0);
        return QOR_KIT_FAILED;
    }
}

int hand_out(qor::kit::LaunchArguments arguments, qor_kit_launch** out) {
    auto launch = std::make_shared<Launch>();
    for (const std::wstring& argument : arguments.user_arguments) launch->user_arguments.push_back(narrow(argument));
    launch->root = narrow(arguments.launcher_root);
    launch->arguments = std::move(arguments);
    *out = add_handle<qor_kit_launch>(launches, std::shared_ptr<const Launch>(std::move(launch)));
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

const char* qor_kit_last_error_message(void) { return failure_text(); }

unsigned long qor_kit_last_error_system_code(void) {
    const ThreadFailure* const failure = this_thread_failure(/*create=*/false);
    return failure != nullptr ? failure->system_code : 0;
}

int qor_kit_copy_last_error_message(char* buffer, size_t buffer_size, size_t* required) {
    // Not through guarded(): asking for the message must not clear it.
    if (required == nullptr) return QOR_KIT_INVALID_ARGUMENT;
    const std::size_t size = std::strlen(failure_text()) + 1;
    *required = size;
    if (buffer == nullptr || buffer_size < size) {
        return buffer == nullptr && buffer_size != 0 ? QOR_KIT_INVALID_ARGUMENT : QOR_KIT_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, failure_text(), size);
    return QOR_KIT_OK;
}

int qor_kit_launch_from_command_line(qor_kit_launch** launch) {
    return guarded([&] {
        require(launch != nullptr, "launch is NULL");
        int argc = 0;
        const std::unique_ptr<wchar_t*, LocalFreeArgv> argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
        if (!argv) {
            const DWORD error = ::GetLastError();
            throw KitError("Cannot read the command line (error " + std::to_string(error) + ")", ErrorKind::system,
                           error);
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
        free_handle(launches, launch, "launch");
        return QOR_KIT_OK;
    });
}

int qor_kit_launch_user_argument_count(const qor_kit_launch* launch, size_t* count) {
    return guarded([&] {
        const std::shared_ptr<const Launch> checked = live(launch);
        require(count != nullptr, "count is NULL");
        *count = checked->user_arguments.size();
        return QOR_KIT_OK;
    });
}

int qor_kit_launch_user_argument(const qor_kit_launch* launch, size_t index, char* buffer, size_t buffer_size,
                                 size_t* required) {
    return guarded([&] {
        const std::shared_ptr<const Launch> checked = live(launch);
        require(index < checked->user_arguments.size(), "index is past the last user argument");
        return copy_out(checked->user_arguments[index], buffer, buffer_size, required);
    });
}

int qor_kit_launch_started_by_starter(const qor_kit_launch* launch, int* started_by_starter) {
    return guarded([&] {
        const std::shared_ptr<const Launch> checked = live(launch);
        require(started_by_starter != nullptr, "started_by_starter is NULL");
        *started_by_starter = checked->arguments.started_by_starter ? 1 : 0;
        return QOR_KIT_OK;
    });
}

int qor_kit_launch_after_rollback(const qor_kit_launch* launch, int* after_rollback) {
    return guarded([&] {
        const std::shared_ptr<const Launch> checked = live(launch);
        require(after_rollback != nullptr, "after_rollback is NULL");
        *after_rollback = checked->arguments.after_rollback ? 1 : 0;
        return QOR_KIT_OK;
    });
}

int qor_kit_launch_root(const qor_kit_launch* launch, char* buffer, size_t buffer_size, size_t* required) {
    return guarded([&] { return copy_out(live(launch)->root, buffer, buffer_size, required); });
}

int qor_kit_launch_readiness_token(const qor_kit_launch* launch, char* buffer, size_t buffer_size, size_t* required) {
    return guarded([&] { return copy_out(live(launch)->arguments.readiness_token, buffer, buffer_size, required); });
}

int qor_kit_own_version_identity(char* buffer, size_t buffer_size, size_t* required) {
    return guarded([&] {
        check_out(buffer, buffer_size, required);
        return copy_out(qor::kit::own_version_identity(), buffer, buffer_size, required);
    });
}

int qor_kit_is_valid_version_identity(const char* identity, int* valid) {
    return guarded([&] {
        const char* const text = utf8_text(identity, "identity");
        require(valid != nullptr, "valid is NULL");
        *valid = qor::kit::is_valid_version_identity(text) ? 1 : 0;
        return QOR_KIT_OK;
    });
}

int qor_kit_signal_readiness(const qor_kit_launch* launch) {
    return guarded([&] {
        qor::kit::signal_readiness(live(launch)->arguments);
        return QOR_KIT_OK;
    });
}

int qor_kit_signal_readiness_as(const qor_kit_launch* launch, const char* identity) {
    return guarded([&] {
        const std::shared_ptr<const Launch> checked = live(launch);
        qor::kit::signal_readiness(checked->arguments, utf8_text(identity, "identity"));
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
        qor::kit::stage_version(root, utf8_text(identity, "identity"));
        return QOR_KIT_OK;
    });
}

int qor_kit_stage_version_retry(const char* launcher_root, const char* identity) {
    return guarded([&] {
        const std::wstring root = widen(launcher_root, "launcher_root");
        qor::kit::stage_version(root, utf8_text(identity, "identity"),
                                qor::kit::StageOptions{.retry_failed_update = true});
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

int qor_kit_install_version(const char* launcher_root, const char* source_folder, char* identity, size_t identity_size,
                            size_t* required) {
    return guarded([&] { return install(launcher_root, source_folder, nullptr, identity, identity_size, required); });
}

int qor_kit_install_version_expecting(const char* launcher_root, const char* source_folder,
                                      const char* expected_identity, char* identity, size_t identity_size,
                                      size_t* required) {
    return guarded([&] {
        utf8_text(expected_identity, "expected_identity");
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
        const std::shared_ptr<const List> checked = live(list);
        require(count != nullptr, "count is NULL");
        *count = checked->items.size();
        return QOR_KIT_OK;
    });
}

int qor_kit_list_text(const qor_kit_list* list, size_t index, char* buffer, size_t buffer_size, size_t* required) {
    return guarded([&] { return copy_out(item(*live(list), index).first, buffer, buffer_size, required); });
}

int qor_kit_list_flag(const qor_kit_list* list, size_t index, int* flag) {
    return guarded([&] {
        const int value = item(*live(list), index).second;
        require(flag != nullptr, "flag is NULL");
        *flag = value;
        return QOR_KIT_OK;
    });
}

int qor_kit_list_free(qor_kit_list* list) {
    return guarded([&] {
        free_handle(lists, list, "list");
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
        return copy_out(qor::kit::initialize_launcher_root(root, starter, version), identity, identity_size, required);
    });
}

int qor_kit_create_launcher_state(const char* launcher_root, const char* current_identity) {
    return guarded([&] {
        const std::wstring root = widen(launcher_root, "launcher_root");
        qor::kit::create_launcher_state(root, utf8_text(current_identity, "current_identity"));
        return QOR_KIT_OK;
    });
}

int qor_kit_check_launcher_root(const char* launcher_root, qor_kit_list** findings) {
    return guarded([&] {
        const std::wstring root = widen(launcher_root, "launcher_root");
        require(findings != nullptr, "findings is NULL");
        auto list = std::make_shared<List>();
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
        auto list = std::make_shared<List>();
        for (const std::wstring& path : qor::kit::remove_launcher_root(root)) list->items.emplace_back(narrow(path), 0);
        hand_out(std::move(list), left);
        return QOR_KIT_OK;
    });
}

BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            failure_slot = ::TlsAlloc();
            return failure_slot != TLS_OUT_OF_INDEXES;
        case DLL_THREAD_DETACH:
            if (ThreadFailure* const failure = this_thread_failure(/*create=*/false)) free_failure(failure);
            return TRUE;
        case DLL_PROCESS_DETACH:
            // An unload (reserved is NULL) frees what running threads hold; at the process's
            // exit the memory goes with it, and other threads may be stopped mid-call.
            if (reserved == nullptr) {
                while (failures != nullptr) free_failure(failures);
                ::TlsFree(failure_slot);
            }
            return TRUE;
        default:
            return TRUE;
    }
}

}  // extern "C"

// ---- Update delivery -------------------------------------------------------------

namespace {

static_assert(static_cast<int>(ErrorKind::bad_signature) == QOR_KIT_BAD_SIGNATURE);
static_assert(static_cast<int>(ErrorKind::invalid_update) == QOR_KIT_INVALID_UPDATE);
static_assert(static_cast<int>(ErrorKind::download_failed) == QOR_KIT_DOWNLOAD_FAILED);
static_assert(static_cast<int>(ErrorKind::cancelled) == QOR_KIT_CANCELLED);
static_assert(static_cast<int>(ErrorKind::older_release) == QOR_KIT_OLDER_RELEASE);

// What a qor_kit_update handle stands for.
struct Update {
    qor::kit::Update update;
};

std::map<std::uintptr_t, std::shared_ptr<const Update>> updates;

std::shared_ptr<const Update> live(const qor_kit_update* update) { return find_handle(updates, update, "update"); }

}  // namespace

extern "C" {

int qor_kit_check_for_update(const char* launcher_root, const char* feed_url, const char* public_key,
                             int retry_failed_update, unsigned long timeout_milliseconds, qor_kit_update** update) {
    return guarded([&] {
        const std::wstring root = widen(launcher_root, "launcher_root");
        const char* const url = utf8_text(feed_url, "feed_url");
        const char* const key = utf8_text(public_key, "public_key");
        require(update != nullptr, "update is NULL");
        require(retry_failed_update == 0 || retry_failed_update == 1, "retry_failed_update is neither 0 nor 1");
        *update = nullptr;
        const qor::kit::DeliveryOptions options{.retry_failed_update = retry_failed_update == 1,
                                                .timeout_milliseconds = timeout_milliseconds};
        std::optional<qor::kit::Update> offered = qor::kit::check_for_update(root, url, key, options);
        if (!offered) return QOR_KIT_OK;
        *update = add_handle<qor_kit_update>(updates, std::make_shared<const Update>(Update{std::move(*offered)}));
        return QOR_KIT_OK;
    });
}

int qor_kit_update_identity(const qor_kit_update* update, char* buffer, size_t buffer_size, size_t* required) {
    return guarded([&] { return copy_out(live(update)->update.identity, buffer, buffer_size, required); });
}

int qor_kit_update_release(const qor_kit_update* update, unsigned long long* release) {
    return guarded([&] {
        const std::shared_ptr<const Update> checked = live(update);
        require(release != nullptr, "release is NULL");
        *release = checked->update.release;
        return QOR_KIT_OK;
    });
}

int qor_kit_update_size(const qor_kit_update* update, unsigned long long* size) {
    return guarded([&] {
        const std::shared_ptr<const Update> checked = live(update);
        require(size != nullptr, "size is NULL");
        *size = checked->update.size;
        return QOR_KIT_OK;
    });
}

int qor_kit_update_notes(const qor_kit_update* update, char* buffer, size_t buffer_size, size_t* required) {
    return guarded([&] { return copy_out(live(update)->update.notes, buffer, buffer_size, required); });
}

int qor_kit_update_free(qor_kit_update* update) {
    return guarded([&] {
        free_handle(updates, update, "update");
        return QOR_KIT_OK;
    });
}

int qor_kit_download_update(const char* launcher_root, const qor_kit_update* update,
                            qor_kit_progress_callback progress, void* context, char* identity, size_t identity_size,
                            size_t* required) {
    return guarded([&] {
        const std::wstring root = widen(launcher_root, "launcher_root");
        const std::shared_ptr<const Update> checked = live(update);
        check_out(identity, identity_size, required);
        // Asked before the download, so that a too small buffer does not leave a version unreported.
        if (identity_size < QOR_KIT_IDENTITY_BUFFER_SIZE) {
            return copy_out(std::string(qor::kit::kVersionIdentityLength, '0'), identity, identity_size, required);
        }
        qor::kit::DownloadProgress report;
        if (progress != nullptr) {
            report = [&](std::uint64_t done, std::uint64_t total) { return progress(context, done, total) == 0; };
        }
        return copy_out(qor::kit::download_update(root, checked->update, report), identity, identity_size, required);
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
