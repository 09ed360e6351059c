//! The Qor starter protocol for launchers written in Rust: a safe layer over
//! QorLauncherKit.dll, which ships beside the launcher's executable in every version folder.
//! Every rule of the protocol lives in the DLL; this crate converts text and turns failures
//! into `Error`. It loads the DLL itself (LoadLibraryExW, by its full path beside the
//! executable) on the first call, so that a missing DLL leaves a line in launcher.log.

use std::ffi::{CStr, CString};
use std::fmt;
use std::os::raw::{c_char, c_int};
use std::sync::Once;

/// A ready launcher that exits with this code is started again, into the staged version.
pub const RESTART_EXIT_CODE: i32 = 73;

/// The interface of QorLauncherKit.dll this crate was written for.
pub const INTERFACE_VERSION: i32 = 2;

mod sys {
    use std::ffi::c_void;
    use std::os::raw::{c_char, c_int};

    pub const OK: c_int = 0;
    pub const BUFFER_TOO_SMALL: c_int = 3;
    pub const IDENTITY_BUFFER_SIZE: usize = 65;

    #[repr(C)]
    pub struct Launch {
        _opaque: [u8; 0],
    }

    #[repr(C)]
    pub struct LauncherState {
        pub current_version: [c_char; IDENTITY_BUFFER_SIZE],
        pub staged_version: [c_char; IDENTITY_BUFFER_SIZE],
        pub trial_pending: c_int,
    }

    #[repr(C)]
    pub struct List {
        _opaque: [u8; 0],
    }

    // The DLL's calls, found by name once it is loaded.
    macro_rules! calls {
        ($($name:ident: fn($($argument:ty),*) -> $result:ty;)*) => {
            pub struct Api {
                $(pub $name: unsafe extern "C" fn($($argument),*) -> $result,)*
            }

            impl Api {
                /// The first call the DLL does not export, as Err.
                pub unsafe fn find(module: *mut c_void) -> std::result::Result<Api, &'static str> {
                    Ok(Api {
                        $($name: {
                            let address = GetProcAddress(module, concat!(stringify!($name), "\0").as_ptr().cast());
                            if address.is_null() {
                                return Err(stringify!($name));
                            }
                            std::mem::transmute::<*mut c_void, unsafe extern "C" fn($($argument),*) -> $result>(address)
                        },)*
                    })
                }
            }
        };
    }

    calls! {
        qor_kit_interface_version: fn() -> c_int;
        qor_kit_last_error_message: fn() -> *const c_char;
        qor_kit_launch_from_command_line: fn(*mut *mut Launch) -> c_int;
        qor_kit_launch_from_arguments: fn(*const *const c_char, usize, *mut *mut Launch) -> c_int;
        qor_kit_launch_free: fn(*mut Launch) -> c_int;
        qor_kit_launch_user_argument_count: fn(*const Launch, *mut usize) -> c_int;
        qor_kit_launch_user_argument: fn(*const Launch, usize, *mut c_char, usize, *mut usize) -> c_int;
        qor_kit_launch_started_by_starter: fn(*const Launch, *mut c_int) -> c_int;
        qor_kit_launch_after_rollback: fn(*const Launch, *mut c_int) -> c_int;
        qor_kit_launch_root: fn(*const Launch, *mut c_char, usize, *mut usize) -> c_int;
        qor_kit_launch_readiness_token: fn(*const Launch, *mut c_char, usize, *mut usize) -> c_int;
        qor_kit_own_version_identity: fn(*mut c_char, usize, *mut usize) -> c_int;
        qor_kit_is_valid_version_identity: fn(*const c_char, *mut c_int) -> c_int;
        qor_kit_signal_readiness: fn(*const Launch) -> c_int;
        qor_kit_signal_readiness_as: fn(*const Launch, *const c_char) -> c_int;
        qor_kit_read_launcher_state: fn(*const c_char, *mut LauncherState) -> c_int;
        qor_kit_stage_version: fn(*const c_char, *const c_char) -> c_int;
        qor_kit_stage_version_retry: fn(*const c_char, *const c_char) -> c_int;
        qor_kit_failed_update: fn(*const c_char, *mut c_char, usize, *mut usize) -> c_int;
        qor_kit_install_version_expecting:
            fn(*const c_char, *const c_char, *const c_char, *mut c_char, usize, *mut usize) -> c_int;
        qor_kit_install_version: fn(*const c_char, *const c_char, *mut c_char, usize, *mut usize) -> c_int;
        qor_kit_prune_versions: fn(*const c_char) -> c_int;
        qor_kit_list_count: fn(*const List, *mut usize) -> c_int;
        qor_kit_list_text: fn(*const List, usize, *mut c_char, usize, *mut usize) -> c_int;
        qor_kit_list_flag: fn(*const List, usize, *mut c_int) -> c_int;
        qor_kit_list_free: fn(*mut List) -> c_int;
        qor_kit_initialize_launcher_root:
            fn(*const c_char, *const c_char, *const c_char, *mut c_char, usize, *mut usize) -> c_int;
        qor_kit_create_launcher_state: fn(*const c_char, *const c_char) -> c_int;
        qor_kit_check_launcher_root: fn(*const c_char, *mut *mut List) -> c_int;
        qor_kit_remove_launcher_root: fn(*const c_char, *mut *mut List) -> c_int;
        qor_kit_last_error_system_code: fn() -> u32;
        qor_kit_log: fn(*const c_char, *const c_char) -> c_int;
    }

    #[repr(C)]
    pub struct SystemTime {
        pub year: u16,
        pub month: u16,
        pub day_of_week: u16,
        pub day: u16,
        pub hour: u16,
        pub minute: u16,
        pub second: u16,
        pub milliseconds: u16,
    }

    extern "system" {
        pub fn LoadLibraryExW(name: *const u16, file: *mut c_void, flags: u32) -> *mut c_void;
        pub fn GetProcAddress(module: *mut c_void, name: *const c_char) -> *mut c_void;
        pub fn GetLastError() -> u32;
        pub fn GetSystemTime(time: *mut SystemTime);
    }
}

/// What went wrong, for a program that reacts to one failure and not another; the C
/// interface's statuses, listed in protocol.md's table of failure kinds.
#[derive(Debug, Clone, Copy, PartialEq, Eq)]
#[non_exhaustive]
pub enum ErrorKind {
    /// Any other refusal or failure; the message says which.
    Failed,
    /// NULL, text that is not UTF-8 (identities included), a relative root, malformed launch arguments.
    InvalidArgument,
    OutOfMemory,
    /// stage_version: this update's trial failed (see failed_update).
    UpdateAlreadyFailed,
    /// The version named is not installed.
    VersionNotInstalled,
    /// What was downloaded or installed is not the version announced.
    IdentityMismatch,
    /// Not 64 characters of 0-9a-f.
    InvalidIdentity,
    /// update.lock was held past the wait, or another call is downloading the update.
    RootBusy,
    /// A starter runs in the launcher root.
    StarterRunning,
    /// The folder is no launcher root: missing, a file, or not one.
    NotLauncherRoot,
    /// Windows refused; Error::system_code holds its error code.
    SystemError,
    /// The feed's signature does not verify with the launcher's public key.
    BadSignature,
    /// A feed or manifest breaks its grammar or limits, or names a path a version cannot hold.
    InvalidUpdate,
    /// The server was unreachable, answered an HTTP error or a web page, or stalled.
    DownloadFailed,
    /// The progress closure returned false.
    Cancelled,
    /// The feed offers a release older than one installed here (a replayed feed).
    OlderRelease,
    /// A status this crate does not know.
    Other(i32),
}

impl ErrorKind {
    pub fn from_status(status: i32) -> ErrorKind {
        match status {
            1 => ErrorKind::Failed,
            2 => ErrorKind::InvalidArgument,
            4 => ErrorKind::OutOfMemory,
            5 => ErrorKind::UpdateAlreadyFailed,
            6 => ErrorKind::VersionNotInstalled,
            7 => ErrorKind::IdentityMismatch,
            8 => ErrorKind::InvalidIdentity,
            9 => ErrorKind::RootBusy,
            10 => ErrorKind::StarterRunning,
            11 => ErrorKind::NotLauncherRoot,
            12 => ErrorKind::SystemError,
            13 => ErrorKind::BadSignature,
            14 => ErrorKind::InvalidUpdate,
            15 => ErrorKind::DownloadFailed,
            16 => ErrorKind::Cancelled,
            17 => ErrorKind::OlderRelease,
            other => ErrorKind::Other(other),
        }
    }
}

/// A failure of the kit: its kind, the C status, the DLL's message (the C++ kit's wording,
/// "(error N)" at the end where Windows refused something) and, for ErrorKind::SystemError,
/// the Windows error code.
#[derive(Debug, Clone, PartialEq, Eq)]
pub struct Error {
    pub kind: ErrorKind,
    pub status: i32,
    pub message: String,
    pub system_code: u32,
}

impl Error {
    fn new(status: i32, message: impl Into<String>) -> Error {
        Error { kind: ErrorKind::from_status(status), status, message: message.into(), system_code: 0 }
    }
}

impl fmt::Display for Error {
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        f.write_str(&self.message)
    }
}

impl std::error::Error for Error {}

pub type Result<T> = std::result::Result<T, Error>;

/// Status codes of the C interface; `Error::status` holds one of them.
pub const FAILED: i32 = 1;
pub const INVALID_ARGUMENT: i32 = 2;
pub const SYSTEM_ERROR: i32 = 12;

mod delivery;
pub use delivery::{check_for_update, download_update, Update, UpdateOptions};

const DLL_NAME: &str = "QorLauncherKit.dll";

static LOAD: Once = Once::new();
static mut LOADED: Option<Result<sys::Api>> = None;

// Loads the DLL once, from the executable's own folder. A DLL that cannot be loaded leaves
// one line in the root's launcher.log, where the starter's box sends the user.
fn load() -> Result<sys::Api> {
    use std::os::windows::ffi::OsStrExt;
    let beside = std::env::current_exe().ok().and_then(|exe| exe.parent().map(|folder| folder.join(DLL_NAME)));
    let path: Vec<u16> = match &beside {
        Some(path) => path.as_os_str().encode_wide().chain(Some(0)).collect(),
        None => DLL_NAME.encode_utf16().chain(Some(0)).collect(),
    };
    let module = unsafe { sys::LoadLibraryExW(path.as_ptr(), std::ptr::null_mut(), 0) };
    if module.is_null() {
        let code = unsafe { sys::GetLastError() };
        let reason = std::io::Error::from_raw_os_error(code as i32).to_string();
        let reason = reason.split(" (os error").next().unwrap_or("").to_string();
        let message = format!("Cannot load {} (error {}): {}", DLL_NAME, code, reason);
        append_beside_kit(&message);
        return Err(Error { system_code: code, ..Error::new(SYSTEM_ERROR, message) });
    }
    unsafe { sys::Api::find(module) }
        .map_err(|name| Error::new(FAILED, format!("{} does not export {}", DLL_NAME, name)))
}

// One line to <root>\launcher.log without the kit: the root is two folders above this
// executable (<root>\versions\<identity>\QorLauncher.exe). Run from anywhere else it writes
// nothing; a launcher.log that is a link is not written through.
fn append_beside_kit(line: &str) {
    use std::io::Write;
    let exe = match std::env::current_exe() {
        Ok(exe) => exe,
        Err(_) => return,
    };
    let versions = match exe.parent().and_then(|folder| folder.parent()) {
        Some(versions) => versions,
        None => return,
    };
    let root = match versions.parent() {
        Some(root) if versions.file_name().map_or(false, |name| name.eq_ignore_ascii_case("versions")) => root,
        _ => return,
    };
    let path = root.join("launcher.log");
    if let Ok(metadata) = std::fs::symlink_metadata(&path) {
        if !metadata.file_type().is_file() {
            return;
        }
    }
    let mut now = sys::SystemTime {
        year: 0, month: 0, day_of_week: 0, day: 0, hour: 0, minute: 0, second: 0, milliseconds: 0,
    };
    unsafe { sys::GetSystemTime(&mut now) };
    let record = format!(
        "{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z [{}] {}\n",
        now.year, now.month, now.day, now.hour, now.minute, now.second, now.milliseconds, std::process::id(), line
    );
    if let Ok(mut log) = std::fs::OpenOptions::new().create(true).append(true).open(&path) {
        let _ = log.write_all(record.as_bytes());
    }
}

// The DLL's calls, or why it cannot be used.
fn api() -> Result<&'static sys::Api> {
    unsafe {
        LOAD.call_once(|| LOADED = Some(load()));
        match LOADED.as_ref() {
            Some(Ok(api)) => Ok(api),
            Some(Err(error)) => Err(error.clone()),
            None => Err(Error::new(FAILED, "QorLauncherKit.dll was not loaded")),
        }
    }
}

// Where a value of this crate exists, the DLL was loaded to make it.
fn loaded() -> &'static sys::Api {
    api().expect("QorLauncherKit.dll is loaded before any of its values exists")
}

fn check(status: c_int) -> Result<()> {
    if status == sys::OK {
        return Ok(());
    }
    let kit = loaded();
    let message = unsafe { CStr::from_ptr((kit.qor_kit_last_error_message)()) }.to_string_lossy().into_owned();
    let system_code = unsafe { (kit.qor_kit_last_error_system_code)() };
    Err(Error { system_code, ..Error::new(status, message) })
}

fn interface() -> Result<()> {
    let version = unsafe { (api()?.qor_kit_interface_version)() };
    if version != INTERFACE_VERSION {
        return Err(Error::new(
            FAILED,
            format!("QorLauncherKit.dll implements interface {}, this crate needs {}", version, INTERFACE_VERSION),
        ));
    }
    Ok(())
}

fn c_text(text: &str) -> Result<CString> {
    CString::new(text).map_err(|_| Error::new(INVALID_ARGUMENT, "Text holds a NUL character"))
}

// Reads text the DLL writes into a caller's buffer, growing it once to the size asked for.
fn read_text(mut call: impl FnMut(*mut c_char, usize, *mut usize) -> c_int) -> Result<String> {
    let mut buffer = vec![0u8; 128];
    let mut required = 0usize;
    let mut status = call(buffer.as_mut_ptr() as *mut c_char, buffer.len(), &mut required);
    if status == sys::BUFFER_TOO_SMALL {
        buffer.resize(required, 0);
        status = call(buffer.as_mut_ptr() as *mut c_char, buffer.len(), &mut required);
    }
    check(status)?;
    buffer.truncate(required.saturating_sub(1));
    String::from_utf8(buffer).map_err(|_| Error::new(FAILED, "Text from the kit is not UTF-8"))
}

/// What the starter told this launcher. Dropping it frees the DLL's record.
pub struct Launch {
    raw: *mut sys::Launch,
    pub user_arguments: Vec<String>,
    pub started_by_starter: bool,
    /// Some update of this run failed to start; compare own_version_identity with the
    /// version you meant to install to know whether this is it.
    pub after_rollback: bool,
    pub launcher_root: String,
    pub readiness_token: String,
}

impl Launch {
    /// From this process's command line as Windows passed it.
    pub fn from_command_line() -> Result<Launch> {
        interface()?;
        let mut raw = std::ptr::null_mut();
        check(unsafe { (loaded().qor_kit_launch_from_command_line)(&mut raw) })?;
        Launch::read(raw)
    }

    /// From a list of arguments without the program name.
    pub fn from_arguments<S: AsRef<str>>(arguments: &[S]) -> Result<Launch> {
        interface()?;
        let owned = arguments.iter().map(|a| c_text(a.as_ref())).collect::<Result<Vec<_>>>()?;
        let pointers: Vec<*const c_char> = owned.iter().map(|a| a.as_ptr()).collect();
        let mut raw = std::ptr::null_mut();
        check(unsafe { (loaded().qor_kit_launch_from_arguments)(pointers.as_ptr(), pointers.len(), &mut raw) })?;
        Launch::read(raw)
    }

    fn read(raw: *mut sys::Launch) -> Result<Launch> {
        let kit = loaded();
        let mut launch = Launch {
            raw,
            user_arguments: Vec::new(),
            started_by_starter: false,
            after_rollback: false,
            launcher_root: String::new(),
            readiness_token: String::new(),
        };
        let mut count = 0usize;
        check(unsafe { (loaded().qor_kit_launch_user_argument_count)(raw, &mut count) })?;
        for index in 0..count {
            let argument = read_text(|b, s, r| unsafe { (kit.qor_kit_launch_user_argument)(raw, index, b, s, r) })?;
            launch.user_arguments.push(argument);
        }
        let mut flag: c_int = 0;
        check(unsafe { (loaded().qor_kit_launch_started_by_starter)(raw, &mut flag) })?;
        launch.started_by_starter = flag != 0;
        check(unsafe { (loaded().qor_kit_launch_after_rollback)(raw, &mut flag) })?;
        launch.after_rollback = flag != 0;
        launch.launcher_root = read_text(|b, s, r| unsafe { (loaded().qor_kit_launch_root)(raw, b, s, r) })?;
        launch.readiness_token = read_text(|b, s, r| unsafe { (kit.qor_kit_launch_readiness_token)(raw, b, s, r) })?;
        Ok(launch)
    }

    /// Tells the starter this launcher is ready, as its own version.
    pub fn signal_readiness(&self) -> Result<()> {
        check(unsafe { (loaded().qor_kit_signal_readiness)(self.raw) })
    }

    /// The same with a given identity.
    pub fn signal_readiness_as(&self, identity: &str) -> Result<()> {
        let identity = c_text(identity)?;
        check(unsafe { (loaded().qor_kit_signal_readiness_as)(self.raw, identity.as_ptr()) })
    }
}

impl Drop for Launch {
    fn drop(&mut self) {
        unsafe { (loaded().qor_kit_launch_free)(self.raw) };
    }
}

/// The identity of the running launcher: the name of its executable's folder.
pub fn own_version_identity() -> Result<String> {
    interface()?;
    read_text(|b, s, r| unsafe { (loaded().qor_kit_own_version_identity)(b, s, r) })
}

pub fn is_valid_version_identity(identity: &str) -> bool {
    if interface().is_err() {
        return false;
    }
    let mut valid: c_int = 0;
    match c_text(identity) {
        Ok(text) => {
            let status = unsafe { (loaded().qor_kit_is_valid_version_identity)(text.as_ptr(), &mut valid) };
            status == sys::OK && valid != 0
        }
        Err(_) => false,
    }
}

#[derive(Debug, Clone, PartialEq, Eq)]
pub struct LauncherState {
    pub current_version: String,
    pub staged_version: Option<String>,
    pub trial_pending: bool,
}

fn field(bytes: &[c_char]) -> String {
    unsafe { CStr::from_ptr(bytes.as_ptr()) }.to_string_lossy().into_owned()
}

pub fn read_launcher_state(launcher_root: &str) -> Result<LauncherState> {
    interface()?;
    let root = c_text(launcher_root)?;
    let mut state = sys::LauncherState {
        current_version: [0; sys::IDENTITY_BUFFER_SIZE],
        staged_version: [0; sys::IDENTITY_BUFFER_SIZE],
        trial_pending: 0,
    };
    check(unsafe { (loaded().qor_kit_read_launcher_state)(root.as_ptr(), &mut state) })?;
    let staged = field(&state.staged_version);
    Ok(LauncherState {
        current_version: field(&state.current_version),
        staged_version: if staged.is_empty() { None } else { Some(staged) },
        trial_pending: state.trial_pending != 0,
    })
}

/// Stages an installed version; exit with RESTART_EXIT_CODE to be started in it.
pub fn stage_version(launcher_root: &str, identity: &str) -> Result<()> {
    interface()?;
    let (root, identity) = (c_text(launcher_root)?, c_text(identity)?);
    check(unsafe { (loaded().qor_kit_stage_version)(root.as_ptr(), identity.as_ptr()) })
}

/// Stages again an update whose last trial failed, which stage_version refuses.
pub fn stage_version_retry(launcher_root: &str, identity: &str) -> Result<()> {
    interface()?;
    let (root, identity) = (c_text(launcher_root)?, c_text(identity)?);
    check(unsafe { (loaded().qor_kit_stage_version_retry)(root.as_ptr(), identity.as_ptr()) })
}

/// The update whose trial failed, if one did: ask it when started after a rollback.
pub fn failed_update(launcher_root: &str) -> Result<Option<String>> {
    interface()?;
    let root = c_text(launcher_root)?;
    let identity = read_text(|b, s, r| unsafe { (loaded().qor_kit_failed_update)(root.as_ptr(), b, s, r) })?;
    Ok(if identity.is_empty() { None } else { Some(identity) })
}

/// Installs a download whose identity was announced; any other content is refused.
pub fn install_version_expecting(launcher_root: &str, source_folder: &str, expected_identity: &str) -> Result<String> {
    interface()?;
    let (root, source, expected) = (c_text(launcher_root)?, c_text(source_folder)?, c_text(expected_identity)?);
    read_text(|b, s, r| unsafe {
        (loaded().qor_kit_install_version_expecting)(root.as_ptr(), source.as_ptr(), expected.as_ptr(), b, s, r)
    })
}

/// Installs source_folder (QorLauncher.exe at its top) as a version and returns its identity.
pub fn install_version(launcher_root: &str, source_folder: &str) -> Result<String> {
    interface()?;
    let (root, source) = (c_text(launcher_root)?, c_text(source_folder)?);
    read_text(|b, s, r| unsafe { (loaded().qor_kit_install_version)(root.as_ptr(), source.as_ptr(), b, s, r) })
}

/// Removes versions that are neither current, staged nor the caller's own. Call once ready.
pub fn prune_versions(launcher_root: &str) -> Result<()> {
    interface()?;
    let root = c_text(launcher_root)?;
    check(unsafe { (loaded().qor_kit_prune_versions)(root.as_ptr()) })
}

// ---------------------------------------------------------------------------
// A whole launcher root: its first install, a check, its removal.

/// Lays out a first install in a missing or empty folder and returns the version's identity.
pub fn initialize_launcher_root(launcher_root: &str, starter_executable: &str, version_folder: &str) -> Result<String> {
    interface()?;
    let (root, starter, version) = (c_text(launcher_root)?, c_text(starter_executable)?, c_text(version_folder)?);
    read_text(|b, s, r| unsafe {
        (loaded().qor_kit_initialize_launcher_root)(root.as_ptr(), starter.as_ptr(), version.as_ptr(), b, s, r)
    })
}

/// Writes the first launcher-state, with an installed version current and nothing staged.
pub fn create_launcher_state(launcher_root: &str, current_identity: &str) -> Result<()> {
    interface()?;
    let (root, identity) = (c_text(launcher_root)?, c_text(current_identity)?);
    check(unsafe { (loaded().qor_kit_create_launcher_state)(root.as_ptr(), identity.as_ptr()) })
}

/// One thing that would stop or spoil a start, in one line saying what to do.
#[derive(Debug, Clone, PartialEq, Eq)]
pub struct RootFinding {
    pub stops_start: bool,
    pub text: String,
}

// Reads a list the DLL handed out, and frees it.
fn take_list(list: *mut sys::List) -> Result<Vec<(String, bool)>> {
    struct Owned(*mut sys::List);
    impl Drop for Owned {
        fn drop(&mut self) {
            unsafe { (loaded().qor_kit_list_free)(self.0) };
        }
    }
    let owned = Owned(list);
    let mut count = 0usize;
    check(unsafe { (loaded().qor_kit_list_count)(owned.0, &mut count) })?;
    let mut items = Vec::with_capacity(count);
    for index in 0..count {
        let text = read_text(|b, s, r| unsafe { (loaded().qor_kit_list_text)(owned.0, index, b, s, r) })?;
        let mut flag: c_int = 0;
        check(unsafe { (loaded().qor_kit_list_flag)(owned.0, index, &mut flag) })?;
        items.push((text, flag != 0));
    }
    Ok(items)
}

/// Reads the root as the starter would start it; empty when nothing is found. Changes nothing.
pub fn check_launcher_root(launcher_root: &str) -> Result<Vec<RootFinding>> {
    interface()?;
    let root = c_text(launcher_root)?;
    let mut list = std::ptr::null_mut();
    check(unsafe { (loaded().qor_kit_check_launcher_root)(root.as_ptr(), &mut list) })?;
    Ok(take_list(list)?.into_iter().map(|(text, stops_start)| RootFinding { stops_start, text }).collect())
}

/// Uninstalls the root, unless a starter runs in it; returns the paths it had to leave.
pub fn remove_launcher_root(launcher_root: &str) -> Result<Vec<String>> {
    interface()?;
    let root = c_text(launcher_root)?;
    let mut list = std::ptr::null_mut();
    check(unsafe { (loaded().qor_kit_remove_launcher_root)(root.as_ptr(), &mut list) })?;
    Ok(take_list(list)?.into_iter().map(|(path, _)| path).collect())
}

/// Appends one line to <root>\\launcher.log, the log the starter's box sends the user to,
/// stamped with the time and the process id; capped at 1 MiB with one older log kept.
pub fn log(launcher_root: &str, line: &str) -> Result<()> {
    interface()?;
    let (root, line) = (c_text(launcher_root)?, c_text(line)?);
    check(unsafe { (loaded().qor_kit_log)(root.as_ptr(), line.as_ptr()) })
}
