/* The rules of the C boundary, as a C99 caller meets them: one row per rule, and one row per
 * kind of failure. */
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "qor_launcher_kit.h"

#define EXTRA_CHECK_FAILED (-1)

static int starts_with(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

static qor_kit_launch* launch_of(const char* const* arguments, size_t count) {
    qor_kit_launch* launch = NULL;
    return qor_kit_launch_from_arguments(arguments, count, &launch) == QOR_KIT_OK ? launch : NULL;
}

/* Rows read the message their call left, so they do not free what they use. */
static const char* shared_arguments[] = {"J\xC3\xBCrgen said \"hi\""};
static qor_kit_launch* shared_launch;

static int null_out_pointer(void) {
    const char* arguments[] = {"a"};
    return qor_kit_launch_from_arguments(arguments, 1, NULL);
}

static int null_argument(void) {
    const char* arguments[] = {"a", NULL};
    qor_kit_launch* launch = NULL;
    return qor_kit_launch_from_arguments(arguments, 2, &launch);
}

static int argument_not_utf8(void) {
    const char* arguments[] = {"caf\xC3", "x"};
    qor_kit_launch* launch = NULL;
    return qor_kit_launch_from_arguments(arguments, 2, &launch);
}

static int root_not_utf8(void) { return qor_kit_prune_versions("C:\\r\xFFoot"); }

/* The size needed comes back, and nothing is written past the buffer. */
static int buffer_too_small(void) {
    char buffer[8];
    size_t required = 0;
    int status;
    memset(buffer, '#', sizeof buffer);
    status = qor_kit_launch_user_argument(shared_launch, 0, buffer, 4, &required);
    if (required != strlen(shared_arguments[0]) + 1 || memcmp(buffer + 4, "####", 4) != 0) status = EXTRA_CHECK_FAILED;
    return status;
}

static int size_query_without_buffer(void) {
    size_t required = 0;
    int status = qor_kit_install_version("C:\\root", "C:\\source", NULL, 0, &required);
    return required == QOR_KIT_IDENTITY_BUFFER_SIZE ? status : EXTRA_CHECK_FAILED;
}

static int null_buffer_with_size(void) {
    size_t required = 0;
    return qor_kit_own_version_identity(NULL, 65, &required);
}

static int double_free(void) {
    const char* arguments[] = {"a"};
    qor_kit_launch* launch = launch_of(arguments, 1);
    if (qor_kit_launch_free(launch) != QOR_KIT_OK) return EXTRA_CHECK_FAILED;
    return qor_kit_launch_free(launch);
}

static int use_after_free(void) {
    const char* arguments[] = {"a"};
    qor_kit_launch* launch = launch_of(arguments, 1);
    size_t count = 0;
    qor_kit_launch_free(launch);
    return qor_kit_launch_user_argument_count(launch, &count);
}

static int index_past_the_end(void) {
    char buffer[8];
    size_t required = 0;
    return qor_kit_launch_user_argument(shared_launch, 1, buffer, sizeof buffer, &required);
}

static int kit_refusal_keeps_its_text(void) {
    const char* arguments[] = {"--launcher-root",
                               "C:\\r",
                               "x",
                               "--launcher-root",
                               "C:\\r",
                               "--launcher-ready",
                               "0123456789abcdef0123456789abcdef"};
    qor_kit_launch* launch = NULL;
    return qor_kit_launch_from_arguments(arguments, 7, &launch);
}

/* A launcher root of this run's own, on the prefix's C: drive: the boundary must reach the kit. */
#define V1 "1111111111111111111111111111111111111111111111111111111111111111"
#define V2 "2222222222222222222222222222222222222222222222222222222222222222"
#define STATE_V1 "Qor launcher 1\n" V1 "\n-\n0\n"
static char root[MAX_PATH];
static char path[MAX_PATH + 100];
static char identity[QOR_KIT_IDENTITY_BUFFER_SIZE];
static size_t required;

static const char* in_root(const char* name) {
    snprintf(path, sizeof path, "%s\\%s", root, name);
    return path;
}

static int write_file(const char* name, const char* bytes) {
    FILE* file = fopen(in_root(name), "wb");
    return file != NULL && fputs(bytes, file) >= 0 && fclose(file) == 0;
}

/* V1 current and nothing staged; V1 and V2 installed. */
static int make_root(void) {
    const char* folders[] = {"versions", "versions\\" V1, "versions\\" V2, "empty", "download"};
    char temporary[MAX_PATH];
    size_t i;
    GetTempPathA(sizeof temporary, temporary);
    snprintf(root, sizeof root, "%sqor-boundary-%lu", temporary, GetCurrentProcessId());
    if (!CreateDirectoryA(root, NULL)) return 0;
    for (i = 0; i < sizeof folders / sizeof folders[0]; ++i) {
        if (!CreateDirectoryA(in_root(folders[i]), NULL)) return 0;
    }
    return write_file("versions\\" V1 "\\QorLauncher.exe", "MZ") &&
           write_file("versions\\" V2 "\\QorLauncher.exe", "MZ") &&
           write_file("download\\QorLauncher.exe", "MZ download") && write_file("QorStarter.exe", "MZ") &&
           write_file("launcher-state", STATE_V1);
}

static int stage(const char* version) { return qor_kit_stage_version(root, version); }
static int failed_update_in(const char* launcher_root) {
    return qor_kit_failed_update(launcher_root, identity, sizeof identity, &required);
}

/* Staged, then rolled back by the starter: the same update again. */
static int update_already_failed(void) {
    if (stage(V2) != QOR_KIT_OK || !write_file("launcher-state", STATE_V1)) return EXTRA_CHECK_FAILED;
    return stage(V2);
}
static int version_not_installed(void) {
    return stage("3333333333333333333333333333333333333333333333333333333333333333");
}
static int identity_mismatch(void) {
    char download[MAX_PATH + 100];
    snprintf(download, sizeof download, "%s", in_root("download"));
    return qor_kit_install_version_expecting(root, download, V1, identity, sizeof identity, &required);
}
static int invalid_identity(void) { return stage("0123abc"); }
static int identity_not_utf8(void) { return stage("\xFF\xFE"); }
static int empty_root(void) { return failed_update_in(""); }
static int missing_root(void) { return failed_update_in("C:\\qor-no-such-root"); }
static int overlong_root(void) {
    static char long_root[40004] = "C:\\";
    memset(long_root + 3, 'a', 40000);
    return failed_update_in(long_root);
}
static int system_error_with_its_code(void) {
    qor_kit_launcher_state state;
    return qor_kit_read_launcher_state(in_root("empty"), &state);
}

/* A file of the root held open without sharing, as update.lock by another update (past the
 * kit's 10-second wait) or starter.lock by a running starter, for one call. */
static int while_held(const char* name, int (*call)(void)) {
    const HANDLE held = CreateFileA(in_root(name), GENERIC_READ, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    const int status = held == INVALID_HANDLE_VALUE ? EXTRA_CHECK_FAILED : call();
    CloseHandle(held);
    return status;
}
static int stage_kv2(void) { return stage(V2); }
static int remove_root(void) {
    qor_kit_list* left = NULL;
    const int status = qor_kit_remove_launcher_root(root, &left);
    if (status == QOR_KIT_OK) qor_kit_list_free(left);
    return status;
}
static int root_busy(void) { return while_held("update.lock", stage_kv2); }
static int starter_running(void) { return while_held("starter.lock", remove_root); }

/* The heap hands the freed memory to the next object: the old handle must not reach it. */
static int freed_handle_never_comes_back(void) {
    const char* arguments[] = {"--launcher-root", "C:\\first", "--launcher-ready", "0123456789abcdef0123456789abcdef"};
    qor_kit_launch *first = launch_of(arguments, 4), *second;
    char buffer[16];
    if (qor_kit_launch_free(first) != QOR_KIT_OK) return EXTRA_CHECK_FAILED;
    arguments[1] = "C:\\second";
    second = launch_of(arguments, 4);
    if (qor_kit_launch_free(first) != QOR_KIT_INVALID_ARGUMENT ||
        qor_kit_launch_root(second, buffer, sizeof buffer, &required) != QOR_KIT_OK || strcmp(buffer, "C:\\second"))
        return EXTRA_CHECK_FAILED;
    qor_kit_launch_free(second);
    return qor_kit_launch_root(first, buffer, sizeof buffer, &required);
}

/* The child's own command line holds an argument with a lone surrogate, as a dropped file's
 * name may: its launch is read, that argument arriving with U+FFFD in its place. */
static int surrogate_child(void) {
    qor_kit_launch* launch = NULL;
    char buffer[16];
    if (qor_kit_launch_from_command_line(&launch) != QOR_KIT_OK ||
        qor_kit_launch_user_argument(launch, 1, buffer, sizeof buffer, &required) != QOR_KIT_OK)
        return 1;
    printf("the child's argument: \"%s\"\n", buffer);
    return strcmp(buffer,
                  "a\xEF\xBF\xBD"
                  "b") == 0
               ? 0
               : 2;
}

static int lone_surrogate_argument(void) {
    wchar_t self[MAX_PATH], line[MAX_PATH + 64];
    STARTUPINFOW startup;
    PROCESS_INFORMATION child;
    DWORD exit_code = 99;
    int valid = 0;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    GetModuleFileNameW(NULL, self, MAX_PATH);
    swprintf(line, MAX_PATH + 64,
             L"\"%ls\" --surrogate-child a\xD800"
             L"b",
             self);
    if (!CreateProcessW(self, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &child)) return EXTRA_CHECK_FAILED;
    if (WaitForSingleObject(child.hProcess, 30000) == WAIT_OBJECT_0) GetExitCodeProcess(child.hProcess, &exit_code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    /* A call that succeeds after, so that the row finds this thread's message cleared. */
    return exit_code == 0 ? qor_kit_is_valid_version_identity(V1, &valid) : EXTRA_CHECK_FAILED;
}

static int freed_list(void) {
    qor_kit_list* findings = NULL;
    size_t count = 0;
    if (qor_kit_check_launcher_root("C:\\windows", &findings) != QOR_KIT_OK ||
        qor_kit_list_count(findings, &count) != QOR_KIT_OK || count == 0 || qor_kit_list_free(findings) != QOR_KIT_OK)
        return EXTRA_CHECK_FAILED;
    return qor_kit_list_free(findings);
}

/* Exact UTF-8 both ways, the reserved tail split off, and an empty message after success. */
static int round_trip(void) {
    const char* arguments[] = {"a \"b\" c\\",
                               "J\xC3\xBCrgen \xF0\x9F\x98\x80",
                               "--launcher-update-rollback",
                               "--launcher-root",
                               "C:\\R\xC3\xB6t",
                               "--launcher-ready",
                               "0123456789abcdef0123456789abcdef"};
    qor_kit_launch* launch = launch_of(arguments, 7);
    char buffer[64];
    size_t count = 0, required = 0, i;
    int rollback = 0, started = 0;
    if (launch == NULL || qor_kit_launch_user_argument_count(launch, &count) != QOR_KIT_OK || count != 2)
        return EXTRA_CHECK_FAILED;
    for (i = 0; i < count; ++i) {
        if (qor_kit_launch_user_argument(launch, i, buffer, sizeof buffer, &required) != QOR_KIT_OK ||
            strcmp(buffer, arguments[i]) != 0)
            return EXTRA_CHECK_FAILED;
    }
    if (qor_kit_launch_root(launch, buffer, sizeof buffer, &required) != QOR_KIT_OK || strcmp(buffer, arguments[4]))
        return EXTRA_CHECK_FAILED;
    qor_kit_launch_after_rollback(launch, &rollback);
    qor_kit_launch_started_by_starter(launch, &started);
    if (!rollback || !started) return EXTRA_CHECK_FAILED;
    return qor_kit_launch_free(launch);
}

static const struct {
    const char* rule;
    int (*call)(void);
    int status;
    const char* message;       /* what the thread's message starts with */
    unsigned long system_code; /* qor_kit_last_error_system_code() after it */
} rules[] = {
    {"a NULL out-pointer is refused", null_out_pointer, QOR_KIT_INVALID_ARGUMENT, "launch is NULL", 0},
    {"a NULL string in a list is refused", null_argument, QOR_KIT_INVALID_ARGUMENT, "an argument", 0},
    {"an argument that is not UTF-8 is refused", argument_not_utf8, QOR_KIT_INVALID_ARGUMENT, "Text is not UTF-8", 0},
    {"a path that is not UTF-8 is refused", root_not_utf8, QOR_KIT_INVALID_ARGUMENT, "Text is not UTF-8", 0},
    {"a short buffer gets the size needed", buffer_too_small, QOR_KIT_BUFFER_TOO_SMALL, "Buffer too small: 18 bytes",
     0},
    {"a NULL buffer of size 0 asks the size", size_query_without_buffer, QOR_KIT_BUFFER_TOO_SMALL, "Buffer too", 0},
    {"a NULL buffer with a size is refused", null_buffer_with_size, QOR_KIT_INVALID_ARGUMENT, "buffer is NULL", 0},
    {"a second free is refused", double_free, QOR_KIT_INVALID_ARGUMENT, "Unknown or already freed", 0},
    {"a freed handle is refused", use_after_free, QOR_KIT_INVALID_ARGUMENT, "Unknown or already freed", 0},
    {"a freed handle stays refused after a new one is made", freed_handle_never_comes_back, QOR_KIT_INVALID_ARGUMENT,
     "Unknown or already freed launch", 0},
    {"a freed list is refused", freed_list, QOR_KIT_INVALID_ARGUMENT, "Unknown or already freed list", 0},
    {"an index past the end is refused", index_past_the_end, QOR_KIT_INVALID_ARGUMENT, "index is past", 0},
    {"the kit's refusal keeps its text", kit_refusal_keeps_its_text, QOR_KIT_INVALID_ARGUMENT,
     "Malformed launcher arguments", 0},
    {"a Windows error ends in its code", system_error_with_its_code, QOR_KIT_SYSTEM_ERROR,
     "Cannot read launcher state (error 2)", 2},
    {"text arrives exactly, and success clears the message", round_trip, QOR_KIT_OK, "", 0},
    {"a lone surrogate in an argument arrives as U+FFFD", lone_surrogate_argument, QOR_KIT_OK, "", 0},
    /* Each kind of failure, once. */
    {"an identity that is not UTF-8 is refused", identity_not_utf8, QOR_KIT_INVALID_ARGUMENT, "Text is not UTF-8", 0},
    {"an empty root is refused", empty_root, QOR_KIT_INVALID_ARGUMENT, "Launcher root must be an absolute path", 0},
    {"a missing root is no launcher root", missing_root, QOR_KIT_NOT_LAUNCHER_ROOT, "Launcher root does not exist", 0},
    {"a 40,000-character root gets an answer", overlong_root, QOR_KIT_NOT_LAUNCHER_ROOT, "Launcher root", 0},
    {"an update whose trial failed", update_already_failed, QOR_KIT_UPDATE_ALREADY_FAILED, "Update already failed", 0},
    {"a version that is not installed", version_not_installed, QOR_KIT_VERSION_NOT_INSTALLED, "Staged version is not",
     0},
    {"a download that is not the version announced", identity_mismatch, QOR_KIT_IDENTITY_MISMATCH,
     "Downloaded version does not match", 0},
    {"an invalid identity", invalid_identity, QOR_KIT_INVALID_IDENTITY, "Invalid version identity", 0},
    {"update.lock held past the wait", root_busy, QOR_KIT_ROOT_BUSY, "Launcher root is busy", 0},
    {"a starter running in the root", starter_running, QOR_KIT_STARTER_RUNNING, "A starter is running", 0},
};

int main(int argc, char** argv) {
    int failures = 0;
    size_t i;
    if (argc == 3 && strcmp(argv[1], "--surrogate-child") == 0) return surrogate_child();
    if (qor_kit_interface_version() != QOR_KIT_INTERFACE_VERSION) {
        printf("FAIL interface version %d\n", qor_kit_interface_version());
        return 1;
    }
    if (!make_root()) {
        printf("FAIL cannot lay out a launcher root at %s\n", root);
        return 1;
    }
    shared_launch = launch_of(shared_arguments, 1);
    for (i = 0; i < sizeof rules / sizeof rules[0]; ++i) {
        const int status = rules[i].call();
        const char* message = qor_kit_last_error_message();
        const unsigned long code = qor_kit_last_error_system_code();
        const int passed = status == rules[i].status && starts_with(message, rules[i].message) &&
                           (rules[i].message[0] != '\0' || message[0] == '\0') && code == rules[i].system_code;
        printf("%s %s: status %d, message \"%s\", system code %lu\n", passed ? "ok  " : "FAIL", rules[i].rule, status,
               message, code);
        failures += !passed;
    }
    qor_kit_launch_free(shared_launch);
    remove_root();
    return failures == 0 ? 0 : 1;
}
