/* Drives update delivery through the C interface, as a launcher in any language would:
 *   delivery_probe <root> <feed url> <public key> [--retry] [--timeout <ms>] [--cancel-at <bytes>] [--check-only]
 * prints "offered <release> <identity> <size> <notes>" or "none", "progress <done> <total>"
 * lines, "installed <identity>", and for a failure "status <n> <message>"; exits with the status.
 * A progress call on another thread than the caller's prints "progress off the calling thread":
 * a binding's callback (Node's, say) may only run on the thread that called. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qor_launcher_kit.h"

static unsigned long long cancel_at = 0;
static unsigned long calling_thread = 0;

/* kernel32's, declared here so that the probe needs no Windows header. */
extern unsigned long __stdcall GetCurrentThreadId(void);

static int on_progress(void* context, unsigned long long done, unsigned long long total) {
    (void)context;
    if (GetCurrentThreadId() != calling_thread) puts("progress off the calling thread");
    printf("progress %llu %llu\n", done, total);
    return cancel_at != 0 && done >= cancel_at;
}

static int failed(int status) {
    printf("status %d %s\n", status, qor_kit_last_error_message());
    return status;
}

int main(int argc, char** argv) {
    int retry = 0;
    int check_only = 0;
    unsigned long timeout = 0;
    qor_kit_update* update = NULL;
    char identity[QOR_KIT_IDENTITY_BUFFER_SIZE];
    char notes[70000];
    size_t required = 0;
    unsigned long long release = 0;
    unsigned long long size = 0;
    int status;
    int i;

    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc < 4) {
        fputs("usage: delivery_probe <root> <feed url> <public key> [options]\n", stderr);
        return 100;
    }
    for (i = 4; i < argc; ++i) {
        if (strcmp(argv[i], "--retry") == 0)
            retry = 1;
        else if (strcmp(argv[i], "--check-only") == 0)
            check_only = 1;
        else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc)
            timeout = strtoul(argv[++i], NULL, 10);
        else if (strcmp(argv[i], "--cancel-at") == 0 && i + 1 < argc)
            cancel_at = strtoull(argv[++i], NULL, 10);
    }
    status = qor_kit_check_for_update(argv[1], argv[2], argv[3], retry, timeout, &update);
    if (status != QOR_KIT_OK) return failed(status);
    if (update == NULL) {
        puts("none");
        return 0;
    }
    if ((status = qor_kit_update_identity(update, identity, sizeof identity, &required)) != QOR_KIT_OK ||
        (status = qor_kit_update_release(update, &release)) != QOR_KIT_OK ||
        (status = qor_kit_update_size(update, &size)) != QOR_KIT_OK ||
        (status = qor_kit_update_notes(update, notes, sizeof notes, &required)) != QOR_KIT_OK) {
        return failed(status);
    }
    printf("offered %llu %s %llu %s\n", release, identity, size, notes);
    if (!check_only) {
        calling_thread = GetCurrentThreadId();
        status = qor_kit_download_update(argv[1], update, on_progress, NULL, identity, sizeof identity, &required);
        if (status != QOR_KIT_OK) {
            failed(status); /* before the free, which clears the message */
            qor_kit_update_free(update);
            return status;
        }
        printf("installed %s\n", identity);
    }
    status = qor_kit_update_free(update);
    if (status != QOR_KIT_OK) return failed(status);
    /* A handle freed once is refused the second time. */
    if (qor_kit_update_free(update) != QOR_KIT_INVALID_ARGUMENT) return failed(QOR_KIT_FAILED);
    return 0;
}
