//! The Qor starter protocol for launchers written in Rust: a safe layer over
//! QorLauncherKit.dll, which ships beside the launcher's executable. Every rule of the
//! protocol lives in the DLL; this crate converts text and turns failures into `Error`.

use std::ffi::{CStr, CString};
use std::fmt;
use std::os::raw::{c_char, c_int};

/// A ready launcher that exits with this code is started again, into the staged version.
pub const RESTART_EXIT_CODE: i32 = 73;

/// The interface of QorLauncherKit.dll this crate was written for.
pub const INTERFACE_VERSION: i32 = 2;

mod sys {
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

    #[link(name = "QorLauncherKit")]
    extern "C" {
        pub fn qor_kit_interface_version() -> c_int;
        pub fn qor_kit_last_error_message() -> *const c_char;
        pub fn qor_kit_launch_from_command_line(launch: *mut *mut Launch) -> c_int;
        pub fn qor_kit_launch_from_arguments(arguments: *const *const c_char, count: usize, launch: *mut *mut Launch)
            -> c_int;
        pub fn qor_kit_launch_free(launch: *mut Launch) -> c_int;
        pub fn qor_kit_launch_user_argument_count(launch: *const Launch, count: *mut usize) -> c_int;
        pub fn qor_kit_launch_user_argument(launch: *const Launch, index: usize, buffer: *mut c_char, size: usize,
                                            required: *mut usize) -> c_int;
        pub fn qor_kit_launch_started_by_starter(launch: *const Launch, value: *mut c_int) -> c_int;
        pub fn qor_kit_launch_after_rollback(launch: *const Launch, value: *mut c_int) -> c_int;
        pub fn qor_kit_launch_root(launch: *const Launch, buffer: *mut c_char, size: usize, required: *mut usize)
            -> c_int;
        pub fn qor_kit_launch_readiness_token(launch: *const Launch, buffer: *mut c_char, size: usize,
                                              required: *mut usize) -> c_int;
        pub fn qor_kit_own_version_identity(buffer: *mut c_char, size: usize, required: *mut usize) -> c_int;
        pub fn qor_kit_is_valid_version_identity(identity: *const c_char, valid: *mut c_int) -> c_int;
        pub fn qor_kit_signal_readiness(launch: *const Launch) -> c_int;
        pub fn qor_kit_signal_readiness_as(launch: *const Launch, identity: *const c_char) -> c_int;
        pub fn qor_kit_read_launcher_state(root: *const c_char, state: *mut LauncherState) -> c_int;
        pub fn qor_kit_stage_version(root: *const c_char, identity: *const c_char) -> c_int;
        pub fn qor_kit_stage_version_retry(root: *const c_char, identity: *const c_char) -> c_int;
        pub fn qor_kit_failed_update(root: *const c_char, identity: *mut c_char, size: usize, required: *mut usize)
            -> c_int;
        pub fn qor_kit_install_version_expecting(root: *const c_char, source: *const c_char,
                                                 expected: *const c_char, identity: *mut c_char, size: usize,
                                                 required: *mut usize) -> c_int;
        pub fn qor_kit_install_version(root: *const c_char, source: *const c_char, identity: *mut c_char,
                                       size: usize, required: *mut usize) -> c_int;
        pub fn qor_kit_prune_versions(root: *const c_char) -> c_int;
        pub fn qor_kit_list_count(list: *const List, count: *mut usize) -> c_int;
        pub fn qor_kit_list_text(list: *const List, index: usize, buffer: *mut c_char, size: usize,
                                 required: *mut usize) -> c_int;
        pub fn qor_kit_list_flag(list: *const List, index: usize, flag: *mut c_int) -> c_int;
        pub fn qor_kit_list_free(list: *mut List) -> c_int;
        pub fn qor_kit_initialize_launcher_root(root: *const c_char, starter: *const c_char, version: *const c_char,
                                                identity: *mut c_char, size: usize, required: *mut usize) -> c_int;
        pub fn qor_kit_create_launcher_state(root: *const c_char, identity: *const c_char) -> c_int;
        pub fn qor_kit_check_launcher_root(root: *const c_char, findings: *mut *mut List) -> c_int;
        pub fn qor_kit_remove_launcher_root(root: *const c_char, left: *mut *mut List) -> c_int;
    }
}

/// A failure of the kit: its status and the DLL's message (the C++ kit's wording,
/// "(error N)" at the end where Windows refused something).
#[derive(Debug, Clone, PartialEq, Eq)]
pub struct Error {
    pub status: i32,
    pub message: String,
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

fn check(status: c_int) -> Result<()> {
    if status == sys::OK {
        return Ok(());
    }
    let message = unsafe { CStr::from_ptr(sys::qor_kit_last_error_message()) }.to_string_lossy().into_owned();
    Err(Error { status, message })
}

fn interface() -> Result<()> {
    let version = unsafe { sys::qor_kit_interface_version() };
    if version != INTERFACE_VERSION {
        return Err(Error {
            status: INVALID_ARGUMENT,
            message: format!("QorLauncherKit.dll implements interface {}, this crate needs {}", version, INTERFACE_VERSION),
        });
    }
    Ok(())
}

fn c_text(text: &str) -> Result<CString> {
    CString::new(text).map_err(|_| Error { status: INVALID_ARGUMENT, message: "Text holds a NUL character".into() })
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
    String::from_utf8(buffer).map_err(|_| Error { status: FAILED, message: "Text from the kit is not UTF-8".into() })
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
        check(unsafe { sys::qor_kit_launch_from_command_line(&mut raw) })?;
        Launch::read(raw)
    }

    /// From a list of arguments without the program name.
    pub fn from_arguments<S: AsRef<str>>(arguments: &[S]) -> Result<Launch> {
        interface()?;
        let owned = arguments.iter().map(|a| c_text(a.as_ref())).collect::<Result<Vec<_>>>()?;
        let pointers: Vec<*const c_char> = owned.iter().map(|a| a.as_ptr()).collect();
        let mut raw = std::ptr::null_mut();
        check(unsafe { sys::qor_kit_launch_from_arguments(pointers.as_ptr(), pointers.len(), &mut raw) })?;
        Launch::read(raw)
    }

    fn read(raw: *mut sys::Launch) -> Result<Launch> {
        let mut launch = Launch {
            raw,
            user_arguments: Vec::new(),
            started_by_starter: false,
            after_rollback: false,
            launcher_root: String::new(),
            readiness_token: String::new(),
        };
        let mut count = 0usize;
        check(unsafe { sys::qor_kit_launch_user_argument_count(raw, &mut count) })?;
        for index in 0..count {
            let argument = read_text(|b, s, r| unsafe { sys::qor_kit_launch_user_argument(raw, index, b, s, r) })?;
            launch.user_arguments.push(argument);
        }
        let mut flag: c_int = 0;
        check(unsafe { sys::qor_kit_launch_started_by_starter(raw, &mut flag) })?;
        launch.started_by_starter = flag != 0;
        check(unsafe { sys::qor_kit_launch_after_rollback(raw, &mut flag) })?;
        launch.after_rollback = flag != 0;
        launch.launcher_root = read_text(|b, s, r| unsafe { sys::qor_kit_launch_root(raw, b, s, r) })?;
        launch.readiness_token = read_text(|b, s, r| unsafe { sys::qor_kit_launch_readiness_token(raw, b, s, r) })?;
        Ok(launch)
    }

    /// Tells the starter this launcher is ready, as its own version.
    pub fn signal_readiness(&self) -> Result<()> {
        check(unsafe { sys::qor_kit_signal_readiness(self.raw) })
    }

    /// The same with a given identity.
    pub fn signal_readiness_as(&self, identity: &str) -> Result<()> {
        let identity = c_text(identity)?;
        check(unsafe { sys::qor_kit_signal_readiness_as(self.raw, identity.as_ptr()) })
    }
}

impl Drop for Launch {
    fn drop(&mut self) {
        unsafe { sys::qor_kit_launch_free(self.raw) };
    }
}

/// The identity of the running launcher: the name of its executable's folder.
pub fn own_version_identity() -> Result<String> {
    interface()?;
    read_text(|b, s, r| unsafe { sys::qor_kit_own_version_identity(b, s, r) })
}

pub fn is_valid_version_identity(identity: &str) -> bool {
    let mut valid: c_int = 0;
    match c_text(identity) {
        Ok(text) => unsafe { sys::qor_kit_is_valid_version_identity(text.as_ptr(), &mut valid) == sys::OK && valid != 0 },
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
    check(unsafe { sys::qor_kit_read_launcher_state(root.as_ptr(), &mut state) })?;
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
    check(unsafe { sys::qor_kit_stage_version(root.as_ptr(), identity.as_ptr()) })
}

/// Stages again an update whose last trial failed, which stage_version refuses.
pub fn stage_version_retry(launcher_root: &str, identity: &str) -> Result<()> {
    interface()?;
    let (root, identity) = (c_text(launcher_root)?, c_text(identity)?);
    check(unsafe { sys::qor_kit_stage_version_retry(root.as_ptr(), identity.as_ptr()) })
}

/// The update whose trial failed, if one did: ask it when started after a rollback.
pub fn failed_update(launcher_root: &str) -> Result<Option<String>> {
    interface()?;
    let root = c_text(launcher_root)?;
    let identity = read_text(|b, s, r| unsafe { sys::qor_kit_failed_update(root.as_ptr(), b, s, r) })?;
    Ok(if identity.is_empty() { None } else { Some(identity) })
}

/// Installs a download whose identity was announced; any other content is refused.
pub fn install_version_expecting(launcher_root: &str, source_folder: &str, expected_identity: &str) -> Result<String> {
    interface()?;
    let (root, source, expected) = (c_text(launcher_root)?, c_text(source_folder)?, c_text(expected_identity)?);
    read_text(|b, s, r| unsafe {
        sys::qor_kit_install_version_expecting(root.as_ptr(), source.as_ptr(), expected.as_ptr(), b, s, r)
    })
}

/// Installs source_folder (QorLauncher.exe at its top) as a version and returns its identity.
pub fn install_version(launcher_root: &str, source_folder: &str) -> Result<String> {
    interface()?;
    let (root, source) = (c_text(launcher_root)?, c_text(source_folder)?);
    read_text(|b, s, r| unsafe { sys::qor_kit_install_version(root.as_ptr(), source.as_ptr(), b, s, r) })
}

/// Removes versions that are neither current, staged nor the caller's own. Call once ready.
pub fn prune_versions(launcher_root: &str) -> Result<()> {
    interface()?;
    let root = c_text(launcher_root)?;
    check(unsafe { sys::qor_kit_prune_versions(root.as_ptr()) })
}

// ---------------------------------------------------------------------------
// A whole launcher root: its first install, a check, its removal.

/// Lays out a first install in a missing or empty folder and returns the version's identity.
pub fn initialize_launcher_root(launcher_root: &str, starter_executable: &str, version_folder: &str) -> Result<String> {
    interface()?;
    let (root, starter, version) = (c_text(launcher_root)?, c_text(starter_executable)?, c_text(version_folder)?);
    read_text(|b, s, r| unsafe {
        sys::qor_kit_initialize_launcher_root(root.as_ptr(), starter.as_ptr(), version.as_ptr(), b, s, r)
    })
}

/// Writes the first launcher-state, with an installed version current and nothing staged.
pub fn create_launcher_state(launcher_root: &str, current_identity: &str) -> Result<()> {
    interface()?;
    let (root, identity) = (c_text(launcher_root)?, c_text(current_identity)?);
    check(unsafe { sys::qor_kit_create_launcher_state(root.as_ptr(), identity.as_ptr()) })
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
            unsafe { sys::qor_kit_list_free(self.0) };
        }
    }
    let owned = Owned(list);
    let mut count = 0usize;
    check(unsafe { sys::qor_kit_list_count(owned.0, &mut count) })?;
    let mut items = Vec::with_capacity(count);
    for index in 0..count {
        let text = read_text(|b, s, r| unsafe { sys::qor_kit_list_text(owned.0, index, b, s, r) })?;
        let mut flag: c_int = 0;
        check(unsafe { sys::qor_kit_list_flag(owned.0, index, &mut flag) })?;
        items.push((text, flag != 0));
    }
    Ok(items)
}

/// Reads the root as the starter would start it; empty when nothing is found. Changes nothing.
pub fn check_launcher_root(launcher_root: &str) -> Result<Vec<RootFinding>> {
    interface()?;
    let root = c_text(launcher_root)?;
    let mut list = std::ptr::null_mut();
    check(unsafe { sys::qor_kit_check_launcher_root(root.as_ptr(), &mut list) })?;
    Ok(take_list(list)?.into_iter().map(|(text, stops_start)| RootFinding { stops_start, text }).collect())
}

/// Uninstalls the root, unless a starter runs in it; returns the paths it had to leave.
pub fn remove_launcher_root(launcher_root: &str) -> Result<Vec<String>> {
    interface()?;
    let root = c_text(launcher_root)?;
    let mut list = std::ptr::null_mut();
    check(unsafe { sys::qor_kit_remove_launcher_root(root.as_ptr(), &mut list) })?;
    Ok(take_list(list)?.into_iter().map(|(path, _)| path).collect())
}
