'use strict';
// The launcher's side of the starter protocol for Node and Electron: QorLauncherKit.dll
// called through koffi. This file only converts types and failures; every rule of the
// protocol lives in the DLL, so a fix there reaches this binding unchanged.
const fs = require('node:fs');
const path = require('node:path');

// The package installs anywhere, so that a launcher can be built on any machine; the DLL runs
// on 64-bit Windows only.
if (process.platform !== 'win32' || process.arch !== 'x64') {
  const error = new Error(`@qor/launcher-kit calls QorLauncherKit.dll, which runs on 64-bit Windows only, not on ` +
    `${process.platform}-${process.arch}. Here, build the launcher's version folder with ` +
    '"npx qor-node-launcher <entry script> --out <folder>" and run it on Windows (or under Wine).');
  error.code = 'UNSUPPORTED_PLATFORM';
  throw error;
}

// The interface of qor_launcher_kit.h this binding was written for.
const INTERFACE_VERSION = 2;
// A ready launcher that exits with this code is started again, into the staged version.
const RESTART_EXIT_CODE = 73;
const IDENTITY_BUFFER_SIZE = 65;

const STATUS_OK = 0;
const STATUS_BUFFER_TOO_SMALL = 3;
// error.code of each status of the C interface (QOR_KIT_<code>), by status.
const ERROR_CODES = ['OK', 'FAILED', 'INVALID_ARGUMENT', 'BUFFER_TOO_SMALL', 'OUT_OF_MEMORY', 'UPDATE_ALREADY_FAILED',
  'VERSION_NOT_INSTALLED', 'IDENTITY_MISMATCH', 'INVALID_IDENTITY', 'ROOT_BUSY', 'STARTER_RUNNING', 'NOT_LAUNCHER_ROOT',
  'SYSTEM_ERROR', 'BAD_SIGNATURE', 'INVALID_UPDATE', 'DOWNLOAD_FAILED', 'CANCELLED', 'OLDER_RELEASE'];
const STATUS_SYSTEM_ERROR = 12;

// Types are made once per koffi module: koffi keeps them for its lifetime.
const typesByKoffi = new WeakMap();

function typesOf(koffi) {
  let types = typesByKoffi.get(koffi);
  if (!types) {
    const launch = koffi.pointer(koffi.opaque());
    const list = koffi.pointer(koffi.opaque());
    types = {
      launch,
      launchOut: koffi.out(koffi.pointer(launch)),
      list,
      listOut: koffi.out(koffi.pointer(list)),
      sizeOut: koffi.out(koffi.pointer('size_t')),
      intOut: koffi.out(koffi.pointer('int')),
      state: koffi.struct({
        current_version: koffi.array('char', IDENTITY_BUFFER_SIZE, 'String'),
        staged_version: koffi.array('char', IDENTITY_BUFFER_SIZE, 'String'),
        trial_pending: 'int',
      }),
    };
    types.stateOut = koffi.out(koffi.pointer(types.state));
    typesByKoffi.set(koffi, types);
  }
  return types;
}

// Under Wine, native code that koffi runs on its own stack finds Wine's per-thread
// handler frames (kept on the thread's first stack) below its stack pointer, so a C++
// exception thrown and caught inside the DLL first reaches the thread's top-level filter:
// a debugger starts, or the process dies. Ending the frame list for the length of each
// call leaves the exception to the DLL's own frames. Windows keeps no such list on x64.
function wineFrameListGuard(koffi) {
  const ntdll = koffi.load('ntdll.dll');
  try {
    ntdll.func('wine_get_version', 'const char *', []);
  } catch {
    return (call) => call;
  }
  const queryThread = ntdll.func('NtQueryInformationThread', 'int32_t',
    ['intptr_t', 'int', 'uint8_t *', 'uint32_t', 'void *']);
  const basicInformation = Buffer.alloc(48);
  const currentThread = -2;
  const threadBasicInformation = 0;
  if (queryThread(currentThread, threadBasicInformation, basicInformation, basicInformation.length, null) !== 0) {
    throw new Error('Cannot find the thread environment block under Wine');
  }
  const frameList = basicInformation.readBigUInt64LE(8);  // NT_TIB.ExceptionList, the TEB's first field
  const endOfList = 0xffffffffffffffffn;
  return (call) => (...args) => {
    const saved = koffi.decode(frameList, 'uint64_t');
    koffi.encode(frameList, 'uint64_t', endOfList);
    try {
      return call(...args);
    } finally {
      koffi.encode(frameList, 'uint64_t', saved);
    }
  };
}

// Loads the DLL (by default the one beside the running executable, where a launcher
// ships it in its version folder) and refuses one whose interface this binding does not
// know. options.koffi passes koffi in where require('koffi') cannot reach it, as in a
// single executable application.
function open(options = {}) {
  const koffi = options.koffi ?? require('koffi');
  const dllPath = options.dllPath ?? path.join(path.dirname(process.execPath), 'QorLauncherKit.dll');
  let lib;
  try {
    lib = koffi.load(dllPath);
  } catch (failure) {
    throw cannotLoad(koffi, dllPath, failure);
  }
  const interfaceVersion = lib.func('qor_kit_interface_version', 'int', [])();
  if (interfaceVersion !== INTERFACE_VERSION) {
    const error = new Error(
      `${dllPath} implements interface version ${interfaceVersion} of the launcher kit; ` +
        `this binding knows version ${INTERFACE_VERSION} only`);
    error.code = 'FAILED';
    throw error;
  }

  const t = typesOf(koffi);
  const text = 'const char *';
  const bytes = 'uint8_t *';
  const guarded = wineFrameListGuard(koffi);
  const c = {
    lastErrorMessage: guarded(lib.func('qor_kit_last_error_message', text, [])),
    lastErrorSystemCode: guarded(lib.func('qor_kit_last_error_system_code', 'uint32_t', [])),
    log: guarded(lib.func('qor_kit_log', 'int', [text, text])),
    fromCommandLine: guarded(lib.func('qor_kit_launch_from_command_line', 'int', [t.launchOut])),
    fromArguments: guarded(lib.func('qor_kit_launch_from_arguments', 'int', ['const char **', 'size_t', t.launchOut])),
    free: guarded(lib.func('qor_kit_launch_free', 'int', [t.launch])),
    userArgumentCount: guarded(lib.func('qor_kit_launch_user_argument_count', 'int', [t.launch, t.sizeOut])),
    userArgument: guarded(lib.func('qor_kit_launch_user_argument', 'int',
      [t.launch, 'size_t', bytes, 'size_t', t.sizeOut])),
    startedByStarter: guarded(lib.func('qor_kit_launch_started_by_starter', 'int', [t.launch, t.intOut])),
    afterRollback: guarded(lib.func('qor_kit_launch_after_rollback', 'int', [t.launch, t.intOut])),
    root: guarded(lib.func('qor_kit_launch_root', 'int', [t.launch, bytes, 'size_t', t.sizeOut])),
    readinessToken: guarded(lib.func('qor_kit_launch_readiness_token', 'int', [t.launch, bytes, 'size_t', t.sizeOut])),
    ownVersionIdentity: guarded(lib.func('qor_kit_own_version_identity', 'int', [bytes, 'size_t', t.sizeOut])),
    isValidVersionIdentity: guarded(lib.func('qor_kit_is_valid_version_identity', 'int', [text, t.intOut])),
    signalReadiness: guarded(lib.func('qor_kit_signal_readiness', 'int', [t.launch])),
    signalReadinessAs: guarded(lib.func('qor_kit_signal_readiness_as', 'int', [t.launch, text])),
    readLauncherState: guarded(lib.func('qor_kit_read_launcher_state', 'int', [text, t.stateOut])),
    stageVersion: guarded(lib.func('qor_kit_stage_version', 'int', [text, text])),
    installVersion: guarded(lib.func('qor_kit_install_version', 'int', [text, text, bytes, 'size_t', t.sizeOut])),
    pruneVersions: guarded(lib.func('qor_kit_prune_versions', 'int', [text])),
    stageVersionRetry: guarded(lib.func('qor_kit_stage_version_retry', 'int', [text, text])),
    failedUpdate: guarded(lib.func('qor_kit_failed_update', 'int', [text, bytes, 'size_t', t.sizeOut])),
    installVersionExpecting: guarded(lib.func('qor_kit_install_version_expecting', 'int',
      [text, text, text, bytes, 'size_t', t.sizeOut])),
    listCount: guarded(lib.func('qor_kit_list_count', 'int', [t.list, t.sizeOut])),
    listText: guarded(lib.func('qor_kit_list_text', 'int', [t.list, 'size_t', bytes, 'size_t', t.sizeOut])),
    listFlag: guarded(lib.func('qor_kit_list_flag', 'int', [t.list, 'size_t', t.intOut])),
    listFree: guarded(lib.func('qor_kit_list_free', 'int', [t.list])),
    initializeLauncherRoot: guarded(lib.func('qor_kit_initialize_launcher_root', 'int',
      [text, text, text, bytes, 'size_t', t.sizeOut])),
    createLauncherState: guarded(lib.func('qor_kit_create_launcher_state', 'int', [text, text])),
    checkLauncherRoot: guarded(lib.func('qor_kit_check_launcher_root', 'int', [text, t.listOut])),
    removeLauncherRoot: guarded(lib.func('qor_kit_remove_launcher_root', 'int', [text, t.listOut])),
  };

  // The message and the system code are the calling thread's, read right after the call.
  function check(status) {
    if (status === STATUS_OK) return;
    const error = new Error(c.lastErrorMessage() || `QorLauncherKit.dll failed with status ${status}`);
    error.code = ERROR_CODES[status] ?? `UNKNOWN_STATUS_${status}`;
    error.status = status;
    error.systemCode = c.lastErrorSystemCode();
    throw error;
  }

  // Text comes out into a buffer of ours; a call that finds it too small says what it needs.
  function readText(call, size = 256) {
    let buffer = Buffer.alloc(size);
    const required = [0];
    let status = call(buffer, buffer.length, required);
    if (status === STATUS_BUFFER_TOO_SMALL) {
      buffer = Buffer.alloc(Number(required[0]));
      status = call(buffer, buffer.length, required);
    }
    check(status);
    const end = buffer.indexOf(0);
    return buffer.toString('utf8', 0, end < 0 ? buffer.length : end);
  }

  function readFlag(call, handle) {
    const value = [0];
    check(call(handle, value));
    return value[0] !== 0;
  }

  // Each launch object keeps its DLL handle out of sight; the handle is freed with it.
  const handles = new WeakMap();
  const release = new FinalizationRegistry((handle) => c.free(handle));

  function toLaunch(handleOut) {
    const handle = handleOut[0];
    try {
      const count = [0];
      check(c.userArgumentCount(handle, count));
      const userArguments = [];
      for (let index = 0; index < Number(count[0]); index++) {
        userArguments.push(readText((buffer, size, required) => c.userArgument(handle, index, buffer, size, required)));
      }
      const launch = {
        userArguments,
        startedByStarter: readFlag(c.startedByStarter, handle),
        afterRollback: readFlag(c.afterRollback, handle),
        launcherRoot: readText((buffer, size, required) => c.root(handle, buffer, size, required)),
        readinessToken: readText((buffer, size, required) => c.readinessToken(handle, buffer, size, required)),
      };
      handles.set(launch, handle);
      release.register(launch, handle);
      return launch;
    } catch (error) {
      c.free(handle);
      throw error;
    }
  }

  // A list the DLL handed out, as [{ text, flag }]; the DLL's list is freed at once.
  function takeList(call) {
    const listOut = [null];
    check(call(listOut));
    const list = listOut[0];
    try {
      const count = [0];
      check(c.listCount(list, count));
      const entries = [];
      for (let index = 0; index < Number(count[0]); index++) {
        const flag = [0];
        check(c.listFlag(list, index, flag));
        entries.push({
          text: readText((buffer, size, required) => c.listText(list, index, buffer, size, required)),
          flag: flag[0] !== 0,
        });
      }
      return entries;
    } finally {
      c.listFree(list);
    }
  }

  function handleOf(launch) {
    const handle = handles.get(launch);
    if (handle === undefined) throw new TypeError('Not a launch read by this kit');
    return handle;
  }

  return Object.assign(delivery(koffi, lib, guarded, check, readText), {
    interfaceVersion,
    RESTART_EXIT_CODE,

    // From this process's command line as Windows passed it, whatever the runtime did to
    // process.argv (Electron and a single executable application both rewrite it).
    launchFromCommandLine() {
      const handleOut = [null];
      check(c.fromCommandLine(handleOut));
      return toLaunch(handleOut);
    },

    // From a list of arguments, without the program name.
    launchFromArguments(args) {
      if (!Array.isArray(args) || !args.every((argument) => typeof argument === 'string')) {
        throw new TypeError('The arguments must be an array of strings');
      }
      const handleOut = [null];
      check(c.fromArguments(args.length > 0 ? args : null, args.length, handleOut));
      return toLaunch(handleOut);
    },

    ownVersionIdentity() {
      return readText(c.ownVersionIdentity, IDENTITY_BUFFER_SIZE);
    },

    isValidVersionIdentity(identity) {
      const valid = [0];
      check(c.isValidVersionIdentity(identity, valid));
      return valid[0] !== 0;
    },

    // Writes the readiness marker, with the own version identity unless one is given.
    signalReadiness(launch, identity) {
      if (identity === undefined) check(c.signalReadiness(handleOf(launch)));
      else check(c.signalReadinessAs(handleOf(launch), identity));
    },

    readLauncherState(launcherRoot) {
      const state = [{}];
      check(c.readLauncherState(launcherRoot, state));
      return {
        currentVersion: state[0].current_version,
        stagedVersion: state[0].staged_version,
        trialPending: state[0].trial_pending !== 0,
      };
    },

    // Exit with RESTART_EXIT_CODE afterwards to be started in the staged version.
    stageVersion(launcherRoot, identity) {
      check(c.stageVersion(launcherRoot, identity));
    },

    // Installs sourceFolder (QorLauncher.exe at its top) whole or not at all; returns its identity.
    installVersion(launcherRoot, sourceFolder) {
      return readText((buffer, size, required) => c.installVersion(launcherRoot, sourceFolder, buffer, size, required),
        IDENTITY_BUFFER_SIZE);
    },

    // Removes versions that are neither current, staged nor this one. Call once ready.
    pruneVersions(launcherRoot) {
      check(c.pruneVersions(launcherRoot));
    },

    // Stages again an update whose last trial failed, which stageVersion refuses.
    stageVersionRetry(launcherRoot, identity) {
      check(c.stageVersionRetry(launcherRoot, identity));
    },

    // The identity of the update whose trial failed, or null: ask it after a rollback.
    failedUpdate(launcherRoot) {
      const identity = readText((buffer, size, required) => c.failedUpdate(launcherRoot, buffer, size, required),
        IDENTITY_BUFFER_SIZE);
      return identity === '' ? null : identity;
    },

    // Installs a download whose identity was announced; any other content is refused.
    installVersionExpecting(launcherRoot, sourceFolder, expectedIdentity) {
      return readText((buffer, size, required) =>
        c.installVersionExpecting(launcherRoot, sourceFolder, expectedIdentity, buffer, size, required),
        IDENTITY_BUFFER_SIZE);
    },

    // A first install in a missing or empty folder: the starter, the version, launcher-state.
    initializeLauncherRoot(launcherRoot, starterExecutable, versionFolder) {
      return readText((buffer, size, required) =>
        c.initializeLauncherRoot(launcherRoot, starterExecutable, versionFolder, buffer, size, required),
        IDENTITY_BUFFER_SIZE);
    },

    // The first launcher-state, with an installed version current and nothing staged.
    createLauncherState(launcherRoot, currentIdentity) {
      check(c.createLauncherState(launcherRoot, currentIdentity));
    },

    // What would stop or spoil a start, each { text, stopsStart }; [] when nothing is found.
    checkLauncherRoot(launcherRoot) {
      return takeList((listOut) => c.checkLauncherRoot(launcherRoot, listOut))
        .map(({ text, flag }) => ({ text, stopsStart: flag }));
    },

    // Uninstalls the root unless a starter runs in it; returns the paths it had to leave.
    removeLauncherRoot(launcherRoot) {
      return takeList((listOut) => c.removeLauncherRoot(launcherRoot, listOut)).map(({ text }) => text);
    },

    // Appends a line to <root>\launcher.log, stamped with the time and the process id; capped
    // at 1 MiB with one older log kept.
    log(launcherRoot, line) {
      check(c.log(launcherRoot, line));
    },
  });
}

// The DLL could not be loaded (missing from the version folder, damaged, quarantined): the
// error to throw, after one line in the root's launcher.log, where the starter's box sends the
// user, since the kit cannot write it. koffi's message carries Windows' text; the code comes
// from asking Windows once more.
function cannotLoad(koffi, dllPath, failure) {
  const reason = String(failure.message).replace(/^Failed to load shared library: /, '').trim();
  let systemCode = 0;
  try {
    const kernel32 = koffi.load('kernel32.dll');
    const loadLibrary = kernel32.func('LoadLibraryExW', 'void *', ['str16', 'void *', 'uint32_t']);
    const lastError = kernel32.func('GetLastError', 'uint32_t', []);
    if (loadLibrary(dllPath, null, 0) === null) systemCode = lastError();
  } catch {
    // Only the code is lost.
  }
  const error = new Error(`Cannot load ${path.basename(dllPath)} (error ${systemCode}): ${reason}`);
  error.code = ERROR_CODES[STATUS_SYSTEM_ERROR];
  error.status = STATUS_SYSTEM_ERROR;
  error.systemCode = systemCode;
  appendBesideKit(error.message);
  return error;
}

// One line to <root>\launcher.log without the kit: the root is two folders above this
// executable (<root>\versions\<identity>\QorLauncher.exe). Run from anywhere else it writes
// nothing; a launcher.log that is a link is not written through.
function appendBesideKit(line) {
  const versions = path.dirname(path.dirname(process.execPath));
  if (path.basename(versions).toLowerCase() !== 'versions') return;
  const logPath = path.join(path.dirname(versions), 'launcher.log');
  try {
    if (fs.existsSync(logPath) && !fs.lstatSync(logPath).isFile()) return;
    fs.appendFileSync(logPath, `${new Date().toISOString()} [${process.pid}] ${line}\n`);
  } catch {
    // Nowhere left to say it.
  }
}

// Update delivery: checkForUpdate and downloadUpdate, the DLL's section 7.
const deliveryTypesByKoffi = new WeakMap();

function delivery(koffi, lib, guarded, check, readText) {
  let types = deliveryTypesByKoffi.get(koffi);
  if (!types) {
    const update = koffi.pointer(koffi.opaque());
    types = {
      update,
      updateOut: koffi.out(koffi.pointer(update)),
      uint64Out: koffi.out(koffi.pointer('uint64_t')),
      sizeOut: koffi.out(koffi.pointer('size_t')),
      progress: koffi.pointer(koffi.proto('int', ['void *', 'uint64_t', 'uint64_t'])),
    };
    deliveryTypesByKoffi.set(koffi, types);
  }
  const t = types;
  const text = 'const char *';
  const bytes = 'uint8_t *';
  const c = {
    check: guarded(lib.func('qor_kit_check_for_update', 'int', [text, text, text, 'int', 'uint32_t', t.updateOut])),
    identity: guarded(lib.func('qor_kit_update_identity', 'int', [t.update, bytes, 'size_t', t.sizeOut])),
    release: guarded(lib.func('qor_kit_update_release', 'int', [t.update, t.uint64Out])),
    size: guarded(lib.func('qor_kit_update_size', 'int', [t.update, t.uint64Out])),
    notes: guarded(lib.func('qor_kit_update_notes', 'int', [t.update, bytes, 'size_t', t.sizeOut])),
    free: guarded(lib.func('qor_kit_update_free', 'int', [t.update])),
    download: guarded(lib.func('qor_kit_download_update', 'int',
      [text, t.update, t.progress, 'void *', bytes, 'size_t', t.sizeOut])),
  };
  const handles = new WeakMap();
  const release = new FinalizationRegistry((handle) => c.free(handle));

  return {
    // The release the feed at feedUrl offers, verified with publicKey, as { identity, release,
    // size, notes }; null when nothing is newer. options: { retryFailedUpdate, timeoutMilliseconds }.
    checkForUpdate(launcherRoot, feedUrl, publicKey, options = {}) {
      const out = [null];
      check(c.check(launcherRoot, feedUrl, publicKey, options.retryFailedUpdate ? 1 : 0,
        options.timeoutMilliseconds ?? 0, out));
      const handle = out[0];
      if (handle === null) return null;
      try {
        const number = (call) => {
          const value = [0];
          check(call(handle, value));
          return Number(value[0]);
        };
        const update = {
          identity: readText((buffer, size, required) => c.identity(handle, buffer, size, required)),
          release: number(c.release),
          size: number(c.size),
          notes: readText((buffer, size, required) => c.notes(handle, buffer, size, required)),
        };
        handles.set(update, handle);
        release.register(update, handle);
        return update;
      } catch (error) {
        c.free(handle);
        throw error;
      }
    },

    // Fetches only what changed, verifies it and installs the version; returns the identity to
    // stage. progress(done, total), called during the call, cancels by returning false
    // (error.code 'CANCELLED'); what was fetched stays for the next call to resume.
    downloadUpdate(launcherRoot, update, progress) {
      const handle = handles.get(update);
      if (handle === undefined) throw new TypeError('Not an update from checkForUpdate');
      let thrown = null;
      // koffi answers 0, "go on", for a callback that throws: it cancels instead, and is thrown after.
      const report = progress && ((context, done, total) => {
        if (thrown) return 1;
        try {
          return progress(Number(done), Number(total)) === false ? 1 : 0;
        } catch (error) {
          thrown = { error };
          return 1;
        }
      });
      // Never asked twice: the identity's 65 bytes always suffice.
      const buffer = Buffer.alloc(IDENTITY_BUFFER_SIZE);
      const required = [0];
      const status = c.download(launcherRoot, handle, report ?? null, null, buffer, buffer.length, required);
      if (thrown) throw thrown.error;
      check(status);
      return buffer.toString('utf8', 0, Number(required[0]) - 1);
    },
  };
}

module.exports = { open, INTERFACE_VERSION, RESTART_EXIT_CODE };
