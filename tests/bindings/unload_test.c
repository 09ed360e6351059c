/* A host that unloads QorLauncherKit.dll (as .NET's NativeLibrary.Free or Node can) while a
 * thread that called it still runs: that thread then ends, and the process exits, in bounded
 * time. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "qor_launcher_kit.h"

typedef int (*prune_call)(const char*);
typedef const char* (*message_call)(void);

static prune_call prune;
static message_call message;
static HANDLE called;
static HANDLE unloaded;

/* Leaves a per-thread message behind, then outlives the DLL. */
static DWORD WINAPI caller(LPVOID unused) {
    const int status = prune("");
    const int refused = status == QOR_KIT_INVALID_ARGUMENT && message()[0] != '\0';
    (void)unused;
    printf("%s a call from the thread is refused: status %d, message \"%s\"\n", refused ? "ok  " : "FAIL", status,
           message());
    SetEvent(called);
    WaitForSingleObject(unloaded, INFINITE);
    return refused ? 0 : 1;
}

int main(void) {
    const DWORD kBoundMilliseconds = 10000;
    DWORD ended, thread_result = 1;
    HANDLE thread;
    HMODULE dll = LoadLibraryW(L"QorLauncherKit.dll");
    if (dll == NULL) {
        printf("FAIL cannot load QorLauncherKit.dll (error %lu)\n", GetLastError());
        return 1;
    }
    prune = (prune_call)(void (*)(void))GetProcAddress(dll, "qor_kit_prune_versions");
    message = (message_call)(void (*)(void))GetProcAddress(dll, "qor_kit_last_error_message");
    called = CreateEventW(NULL, TRUE, FALSE, NULL);
    unloaded = CreateEventW(NULL, TRUE, FALSE, NULL);
    thread = CreateThread(NULL, 0, caller, NULL, 0, NULL);
    if (prune == NULL || message == NULL || thread == NULL) {
        printf("FAIL setup\n");
        return 1;
    }
    WaitForSingleObject(called, INFINITE);
    if (!FreeLibrary(dll)) {
        printf("FAIL FreeLibrary (error %lu)\n", GetLastError());
        return 1;
    }
    SetEvent(unloaded);
    ended = WaitForSingleObject(thread, kBoundMilliseconds);
    GetExitCodeThread(thread, &thread_result);
    printf("%s the thread ends after the unload\n", ended == WAIT_OBJECT_0 ? "ok  " : "FAIL");
    fflush(stdout);
    /* A hung thread would hold the process too: end it without waiting for it. */
    if (ended != WAIT_OBJECT_0) TerminateProcess(GetCurrentProcess(), 1);
    return thread_result == 0 ? 0 : 1;
}
