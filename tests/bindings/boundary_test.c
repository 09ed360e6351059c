/* The rules of the C boundary, as a C99 caller meets them: one row per rule. */
#include <stdio.h>
#include <string.h>

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
    const char* arguments[] = {"--launcher-root", "C:\\r", "x", "--launcher-root", "C:\\r", "--launcher-ready",
                               "0123456789abcdef0123456789abcdef"};
    qor_kit_launch* launch = NULL;
    return qor_kit_launch_from_arguments(arguments, 7, &launch);
}

static int windows_error_code_at_the_end(void) {
    qor_kit_launcher_state state;
    return qor_kit_read_launcher_state("C:\\qor-no-such-root\\x", &state);
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
    const char* arguments[] = {"a \"b\" c\\", "J\xC3\xBCrgen \xF0\x9F\x98\x80", "--launcher-update-rollback",
                               "--launcher-root", "C:\\R\xC3\xB6t", "--launcher-ready",
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
    const char* message; /* what the thread's message starts with */
} rules[] = {
    {"a NULL out-pointer is refused", null_out_pointer, QOR_KIT_INVALID_ARGUMENT, "launch is NULL"},
    {"a NULL string in a list is refused", null_argument, QOR_KIT_INVALID_ARGUMENT, "an argument"},
    {"an argument that is not UTF-8 is refused", argument_not_utf8, QOR_KIT_INVALID_ARGUMENT, "Text is not UTF-8"},
    {"a path that is not UTF-8 is refused", root_not_utf8, QOR_KIT_INVALID_ARGUMENT, "Text is not UTF-8"},
    {"a short buffer gets the size needed", buffer_too_small, QOR_KIT_BUFFER_TOO_SMALL, "Buffer too small: 18 bytes"},
    {"a NULL buffer of size 0 asks the size", size_query_without_buffer, QOR_KIT_BUFFER_TOO_SMALL, "Buffer too"},
    {"a NULL buffer with a size is refused", null_buffer_with_size, QOR_KIT_INVALID_ARGUMENT, "buffer is NULL"},
    {"a second free is refused", double_free, QOR_KIT_INVALID_ARGUMENT, "Unknown or already freed"},
    {"a freed handle is refused", use_after_free, QOR_KIT_INVALID_ARGUMENT, "Unknown or already freed"},
    {"a freed list is refused", freed_list, QOR_KIT_INVALID_ARGUMENT, "Unknown or already freed list"},
    {"an index past the end is refused", index_past_the_end, QOR_KIT_INVALID_ARGUMENT, "index is past"},
    {"the kit's refusal keeps its text", kit_refusal_keeps_its_text, QOR_KIT_FAILED, "Malformed launcher arguments"},
    {"a Windows error ends in its code", windows_error_code_at_the_end, QOR_KIT_FAILED,
     "Cannot read launcher state (error 3)"},
    {"text arrives exactly, and success clears the message", round_trip, QOR_KIT_OK, ""},
};

int main(void) {
    int failures = 0;
    size_t i;
    if (qor_kit_interface_version() != QOR_KIT_INTERFACE_VERSION) {
        printf("FAIL interface version %d\n", qor_kit_interface_version());
        return 1;
    }
    shared_launch = launch_of(shared_arguments, 1);
    for (i = 0; i < sizeof rules / sizeof rules[0]; ++i) {
        const int status = rules[i].call();
        const char* message = qor_kit_last_error_message();
        const int passed = status == rules[i].status && starts_with(message, rules[i].message) &&
                           (rules[i].message[0] != '\0' || message[0] == '\0');
        printf("%s %s: status %d, message \"%s\"\n", passed ? "ok  " : "FAIL", rules[i].rule, status, message);
        failures += !passed;
    }
    qor_kit_launch_free(shared_launch);
    return failures == 0 ? 0 : 1;
}
