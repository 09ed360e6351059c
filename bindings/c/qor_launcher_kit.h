/* The launcher's side of the starter protocol as plain C, for launchers written in any
 * language or built with any compiler. QorLauncherKit.dll implements it on the C++ kit
 * (kit/include/qor/launcher_kit.h), which documents each step in full.
 *
 * Rules of the boundary:
 *   - Every function returns an int status, QOR_KIT_OK (0) on success, else the kind of the
 *     failure (below), so that a program can react to one without matching texts. After a
 *     failure, qor_kit_last_error_message() on the same thread gives its text (the kit's own
 *     wording; "(error N)" at the end where Windows refused something), and
 *     qor_kit_last_error_system_code() that Windows error code.
 *   - Text is UTF-8, in and out, terminated by a NUL. Text that is not UTF-8, identities
 *     included, is refused with QOR_KIT_INVALID_ARGUMENT. Windows allows a lone UTF-16
 *     surrogate in names and arguments, which UTF-8 cannot carry: text the DLL gives out holds
 *     U+FFFD in its place, as the C++ kit's sample converts it. So a user argument holding
 *     one arrives, changed, and never makes the launch unreadable; a launcher root holding one
 *     cannot be named in UTF-8 (qor_kit_signal_readiness still finds it: the launch keeps it).
 *   - A launcher root is named absolutely ("C:\..." or "\\server\share\..."): an empty or
 *     relative root is refused with QOR_KIT_INVALID_ARGUMENT, one that does not exist or is a
 *     file with QOR_KIT_NOT_LAUNCHER_ROOT, as in the C++ kit.
 *   - Text comes out into a buffer the caller passes: buffer, buffer_size and
 *     required, which may not be NULL: *required receives the size needed including the
 *     terminating NUL. When the buffer is too small (a NULL buffer with size 0 only asks) the call returns
 *     QOR_KIT_BUFFER_TOO_SMALL, sets *required and writes nothing past buffer_size.
 *   - The objects the DLL hands out (qor_kit_launch, qor_kit_list) are freed by the DLL
 *     (qor_kit_launch_free, qor_kit_list_free). A handle is never handed out twice: one
 *     already freed is refused with QOR_KIT_INVALID_ARGUMENT for ever, as is a NULL pointer
 *     where one is required. Handles are not addresses; never read through them.
 *   - The DLL may be unloaded (FreeLibrary) while threads that called it still run.
 *   - Nothing throws across; out-parameters come last.
 *
 * MSVC users link with an import library made from the shipped QorLauncherKit.def:
 *   lib /def:QorLauncherKit.def /machine:x64 /out:QorLauncherKit.lib
 * mingw-w64 users link libQorLauncherKit.dll.a, or the DLL itself. */
#ifndef QOR_LAUNCHER_KIT_H
#define QOR_LAUNCHER_KIT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(QOR_KIT_BUILDING_DLL)
#define QOR_KIT_API __declspec(dllimport)
#else
#define QOR_KIT_API
#endif

/* The interface this header describes. A binding compares it with
 * qor_kit_interface_version() and refuses a DLL that answers anything else. */
#define QOR_KIT_INTERFACE_VERSION 2

/* Statuses. The values are the C++ kit's qor::kit::ErrorKind; 13 and up are kept for more. */
#define QOR_KIT_OK 0
#define QOR_KIT_FAILED 1 /* any other refusal or failure; the message says which */
/* NULL, text not UTF-8, an unknown or freed handle, an empty or relative root, malformed launch arguments */
#define QOR_KIT_INVALID_ARGUMENT 2
#define QOR_KIT_BUFFER_TOO_SMALL 3 /* *required holds the size needed */
#define QOR_KIT_OUT_OF_MEMORY 4
#define QOR_KIT_UPDATE_ALREADY_FAILED 5 /* this update's trial failed (qor_kit_failed_update) */
#define QOR_KIT_VERSION_NOT_INSTALLED 6 /* the version named is not in versions */
#define QOR_KIT_IDENTITY_MISMATCH 7     /* the files installed are not the version announced */
#define QOR_KIT_INVALID_IDENTITY 8      /* not 64 characters of 0-9a-f */
#define QOR_KIT_ROOT_BUSY 9             /* update.lock held past the wait, or the update downloading */
#define QOR_KIT_STARTER_RUNNING 10      /* a starter runs in the root */
#define QOR_KIT_NOT_LAUNCHER_ROOT 11    /* missing, a file, or a folder that is no launcher root */
#define QOR_KIT_SYSTEM_ERROR 12         /* Windows refused; see qor_kit_last_error_system_code */

/* A ready launcher that exits with this code is started again, into the staged version. */
#define QOR_KIT_RESTART_EXIT_CODE 73
/* A version identity: 64 characters of 0-9a-f, and its NUL. */
#define QOR_KIT_IDENTITY_BUFFER_SIZE 65

QOR_KIT_API int qor_kit_interface_version(void);

/* The message of this thread's last failed call; "" after a call that succeeded. The
 * pointer is the DLL's and stays valid until the thread's next qor_kit_ call. Never NULL. */
QOR_KIT_API const char* qor_kit_last_error_message(void);
/* The same message copied into the caller's buffer. */
QOR_KIT_API int qor_kit_copy_last_error_message(char* buffer, size_t buffer_size, size_t* required);
/* The Windows error code of this thread's last failed call when Windows refused something
 * (QOR_KIT_SYSTEM_ERROR); 0 after a call that succeeded or failed for another reason. */
QOR_KIT_API unsigned long qor_kit_last_error_system_code(void);

/* ---- 1. The launch arguments ---------------------------------------------------- */

typedef struct qor_kit_launch qor_kit_launch;

/* From this process's command line as Windows passed it (GetCommandLineW split by
 * CommandLineToArgvW, the program name skipped), whatever the runtime did to argv. */
QOR_KIT_API int qor_kit_launch_from_command_line(qor_kit_launch** launch);
/* From a list the caller gives, without the program name. */
QOR_KIT_API int qor_kit_launch_from_arguments(const char* const* arguments, size_t count, qor_kit_launch** launch);
QOR_KIT_API int qor_kit_launch_free(qor_kit_launch* launch);

QOR_KIT_API int qor_kit_launch_user_argument_count(const qor_kit_launch* launch, size_t* count);
QOR_KIT_API int qor_kit_launch_user_argument(const qor_kit_launch* launch, size_t index, char* buffer,
                                             size_t buffer_size, size_t* required);
/* 1 or 0. Without the starter's reserved arguments (started by hand, --version) 0. */
QOR_KIT_API int qor_kit_launch_started_by_starter(const qor_kit_launch* launch, int* started_by_starter);
/* 1 when some update failed to start: a staged version tried earlier in this run did not
 * get ready (or could not be started), or an earlier run ended during a trial that this
 * start dropped. Once set it stays set on every later start of the run, a later trial that
 * succeeds included, so it does not say which version this is: qor_kit_failed_update
 * names the update that failed, qor_kit_own_version_identity the version that runs; tell the
 * user that an update did not work and name the one that runs. */
QOR_KIT_API int qor_kit_launch_after_rollback(const qor_kit_launch* launch, int* after_rollback);
/* "" when not started by the starter. */
QOR_KIT_API int qor_kit_launch_root(const qor_kit_launch* launch, char* buffer, size_t buffer_size, size_t* required);
QOR_KIT_API int qor_kit_launch_readiness_token(const qor_kit_launch* launch, char* buffer, size_t buffer_size,
                                               size_t* required);

/* ---- 2. Readiness and the own version ------------------------------------------- */

/* The identity of the running launcher: the name of its executable's folder. */
QOR_KIT_API int qor_kit_own_version_identity(char* buffer, size_t buffer_size, size_t* required);
QOR_KIT_API int qor_kit_is_valid_version_identity(const char* identity, int* valid);
/* Writes ready-<token> with the own version identity. */
QOR_KIT_API int qor_kit_signal_readiness(const qor_kit_launch* launch);
/* The same with a given identity. */
QOR_KIT_API int qor_kit_signal_readiness_as(const qor_kit_launch* launch, const char* identity);

/* ---- 3. launcher-state and staging ---------------------------------------------- */

typedef struct qor_kit_launcher_state {
    char current_version[QOR_KIT_IDENTITY_BUFFER_SIZE];
    char staged_version[QOR_KIT_IDENTITY_BUFFER_SIZE]; /* "" when nothing is staged */
    int trial_pending;                                 /* 1 or 0 */
} qor_kit_launcher_state;

QOR_KIT_API int qor_kit_read_launcher_state(const char* launcher_root, qor_kit_launcher_state* state);
/* Stages an installed version; exit with QOR_KIT_RESTART_EXIT_CODE to be started in it.
 * An update whose trial has failed is refused ("Update already failed its trial",
 * QOR_KIT_UPDATE_ALREADY_FAILED). */
QOR_KIT_API int qor_kit_stage_version(const char* launcher_root, const char* identity);
/* The same, trying again an update whose last trial failed (a fixed machine, a user's wish).
 * Not in the run of the starter that rolled it back: a launcher started with the rollback
 * notice is refused the update that just failed, QOR_KIT_UPDATE_ALREADY_FAILED, so that a
 * retry at every start cannot restart for ever; a later start may retry it. */
QOR_KIT_API int qor_kit_stage_version_retry(const char* launcher_root, const char* identity);
/* The identity of the update whose trial failed; "" when none did. A launcher started
 * after a rollback asks this. */
QOR_KIT_API int qor_kit_failed_update(const char* launcher_root, char* identity, size_t identity_size,
                                      size_t* required);

/* ---- 4. Installing and pruning -------------------------------------------------- */

/* Installs source_folder (QorLauncher.exe at its top) as a version, whole or not at all,
 * and gives its identity (QOR_KIT_IDENTITY_BUFFER_SIZE bytes always suffice). */
QOR_KIT_API int qor_kit_install_version(const char* launcher_root, const char* source_folder, char* identity,
                                        size_t identity_size, size_t* required);
/* The same for a download whose identity was announced: a source whose manifest (every
 * file) hashes to anything else is refused before anything is published. */
QOR_KIT_API int qor_kit_install_version_expecting(const char* launcher_root, const char* source_folder,
                                                  const char* expected_identity, char* identity, size_t identity_size,
                                                  size_t* required);
/* Removes versions that are neither current, staged nor the caller's own. Call once ready. */
QOR_KIT_API int qor_kit_prune_versions(const char* launcher_root);

/* ---- 5. A whole launcher root: its first install, a check, its removal ----------- */

/* Texts the DLL hands out, each with a flag; freed by qor_kit_list_free. */
typedef struct qor_kit_list qor_kit_list;

QOR_KIT_API int qor_kit_list_count(const qor_kit_list* list, size_t* count);
QOR_KIT_API int qor_kit_list_text(const qor_kit_list* list, size_t index, char* buffer, size_t buffer_size,
                                  size_t* required);
QOR_KIT_API int qor_kit_list_flag(const qor_kit_list* list, size_t index, int* flag);
QOR_KIT_API int qor_kit_list_free(qor_kit_list* list);

/* Lays out a first install in a missing or empty folder: the starter copied in, the version
 * installed and made current. Gives its identity. */
QOR_KIT_API int qor_kit_initialize_launcher_root(const char* launcher_root, const char* starter_executable,
                                                 const char* version_folder, char* identity, size_t identity_size,
                                                 size_t* required);
/* Writes the first launcher-state, with an installed version current and nothing staged. */
QOR_KIT_API int qor_kit_create_launcher_state(const char* launcher_root, const char* current_identity);
/* What would stop or spoil a start, one line each, saying what to do; the flag is 1 when
 * the finding stops the start. Empty when nothing is found. Changes nothing. */
QOR_KIT_API int qor_kit_check_launcher_root(const char* launcher_root, qor_kit_list** findings);
/* Uninstalls the root, unless a starter runs in it. Lists the paths it had to leave
 * (flag 0); empty when the root is gone whole. */
QOR_KIT_API int qor_kit_remove_launcher_root(const char* launcher_root, qor_kit_list** left);
/* Hashes an installed version again against its manifest: one item per file that is not as
 * it says, the text its path (UTF-8, "/" between names), the flag 1 missing, 2 changed,
 * 3 extra. Empty when the version is intact. A version installed by the 1.0 kit is checked
 * by its QorLauncher.exe alone. QOR_KIT_VERSION_NOT_INSTALLED when there is no such folder. */
QOR_KIT_API int qor_kit_verify_version(const char* launcher_root, const char* identity, qor_kit_list** problems);

/* ---- 6. Update delivery: a signed feed, downloads of only what changed ----------- */
/* QorRelease (tools/qorrelease) publishes a release folder for any static HTTP(S) host:
 * <channel>.feed (signed), manifests/<identity>, files/<sha-256>. protocol.md has the formats.
 * The sequence: check, download (installs the version whole), stage, exit with 73. */

#define QOR_KIT_BAD_SIGNATURE 13   /* the feed's signature does not verify against the public key */
#define QOR_KIT_INVALID_UPDATE 14  /* a feed or manifest breaks its grammar or limits, or names an unsafe path */
#define QOR_KIT_DOWNLOAD_FAILED 15 /* the server: unreachable, an HTTP error, a web page, a time-out */
#define QOR_KIT_CANCELLED 16       /* the progress callback returned nonzero */
#define QOR_KIT_OLDER_RELEASE 17   /* the feed offers a release older than one installed here */

/* A release a feed offers; freed by qor_kit_update_free. */
typedef struct qor_kit_update qor_kit_update;

/* Reads the feed at feed_url (http:// or https://), verifies it with public_key (base64 of
 * the 64 bytes X||Y of an ECDSA P-256 key, as `qorrelease keygen` prints it) and sets
 * *update to the release it offers, or to NULL (status QOR_KIT_OK) when that release is
 * current or staged: nothing newer. Refuses a bad signature (QOR_KIT_BAD_SIGNATURE), a
 * malformed feed (QOR_KIT_INVALID_UPDATE), a release older than one installed from its
 * channel here (QOR_KIT_OLDER_RELEASE: a replayed feed), and the update whose trial failed
 * (QOR_KIT_UPDATE_ALREADY_FAILED) unless retry_failed_update is 1. timeout_milliseconds
 * bounds each wait for the server (connect, send, next bytes); 0 means 30,000. Changes nothing. */
QOR_KIT_API int qor_kit_check_for_update(const char* launcher_root, const char* feed_url, const char* public_key,
                                         int retry_failed_update, unsigned long timeout_milliseconds,
                                         qor_kit_update** update);
QOR_KIT_API int qor_kit_update_identity(const qor_kit_update* update, char* buffer, size_t buffer_size,
                                        size_t* required);
QOR_KIT_API int qor_kit_update_release(const qor_kit_update* update, unsigned long long* release);
/* All of the version's files, in bytes. */
QOR_KIT_API int qor_kit_update_size(const qor_kit_update* update, unsigned long long* size);
/* The release notes, UTF-8; "" when there are none. */
QOR_KIT_API int qor_kit_update_notes(const qor_kit_update* update, char* buffer, size_t buffer_size, size_t* required);
QOR_KIT_API int qor_kit_update_free(qor_kit_update* update);

/* Called with the bytes fetched so far and the bytes to fetch in all (files an installed
 * version already holds are copied, not counted); a resumed download starts above 0.
 * Returning nonzero cancels the download (QOR_KIT_CANCELLED). Called on the calling thread. */
typedef int (*qor_kit_progress_callback)(void* context, unsigned long long done, unsigned long long total);

/* Downloads the update: its manifest checked against the signed identity, every file an
 * installed version holds copied, the others fetched (resuming what an interrupted call
 * fetched), each file's size and SHA-256 checked, then the version installed whole. Gives
 * the identity to stage (QOR_KIT_IDENTITY_BUFFER_SIZE bytes always suffice). progress may
 * be NULL; it is called on the calling thread only. Refuses a manifest or file that is not what the feed signed
 * (QOR_KIT_IDENTITY_MISMATCH), a manifest breaking its grammar or naming an unsafe path
 * (QOR_KIT_INVALID_UPDATE), server failures (QOR_KIT_DOWNLOAD_FAILED), and a second call for
 * an update another call is downloading (QOR_KIT_ROOT_BUSY, at once); after a refusal the
 * root is as it was, after a cancellation, a server failure or an install that found the root
 * busy what was fetched stays in <root>\downloading-<identity> for the next call. */
QOR_KIT_API int qor_kit_download_update(const char* launcher_root, const qor_kit_update* update,
                                        qor_kit_progress_callback progress, void* context, char* identity,
                                        size_t identity_size, size_t* required);

/* ---- 7. launcher.log ------------------------------------------------------------ */

/* Appends one line (UTF-8; its own CR and LF become spaces) to <root>\launcher.log, the
 * log the starter's box sends the user to, as "<UTC time> [<process id>] <line>". The log
 * is capped at 1 MiB: past that it becomes launcher.log.1, replacing the older one. Safe
 * with several writing processes; a launcher.log that is a link or a folder is refused. */
QOR_KIT_API int qor_kit_log(const char* launcher_root, const char* line);

#ifdef __cplusplus
}
#endif

#endif /* QOR_LAUNCHER_KIT_H */
