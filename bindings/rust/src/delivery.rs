//! Update delivery: the release a signed feed offers, and a download of only what changed,
//! with its progress and cancellation reaching a closure. The DLL's section 7.

use std::any::Any;
use std::ffi::c_void;
use std::os::raw::{c_char, c_int, c_ulong};
use std::panic::{self, AssertUnwindSafe};
use std::sync::Once;
use std::time::Duration;

use crate::{c_text, check, interface, loaded, read_text, sys, Error, Result, FAILED};

#[repr(C)]
struct RawUpdate {
    _opaque: [u8; 0],
}

type Progress = unsafe extern "C" fn(*mut c_void, u64, u64) -> c_int;

struct Calls {
    check_for_update:
        unsafe extern "C" fn(*const c_char, *const c_char, *const c_char, c_int, c_ulong, *mut *mut RawUpdate) -> c_int,
    update_identity: unsafe extern "C" fn(*const RawUpdate, *mut c_char, usize, *mut usize) -> c_int,
    update_release: unsafe extern "C" fn(*const RawUpdate, *mut u64) -> c_int,
    update_size: unsafe extern "C" fn(*const RawUpdate, *mut u64) -> c_int,
    update_notes: unsafe extern "C" fn(*const RawUpdate, *mut c_char, usize, *mut usize) -> c_int,
    update_free: unsafe extern "C" fn(*mut RawUpdate) -> c_int,
    download_update: unsafe extern "C" fn(
        *const c_char,
        *const RawUpdate,
        Option<Progress>,
        *mut c_void,
        *mut c_char,
        usize,
        *mut usize,
    ) -> c_int,
}

extern "system" {
    fn GetModuleHandleExW(flags: u32, name: *const u16, module: *mut *mut c_void) -> i32;
}

static FIND: Once = Once::new();
static mut FOUND: Option<std::result::Result<Calls, String>> = None;

// The module the crate loaded is the one that holds its first call; delivery's calls are
// found there by name.
unsafe fn find() -> std::result::Result<Calls, String> {
    const FROM_ADDRESS: u32 = 0x4;
    const UNCHANGED_REFCOUNT: u32 = 0x2;
    let mut module = std::ptr::null_mut();
    let address = loaded().qor_kit_interface_version as *const u16;
    if GetModuleHandleExW(FROM_ADDRESS | UNCHANGED_REFCOUNT, address, &mut module) == 0 {
        return Err("Cannot find QorLauncherKit.dll's module".to_string());
    }
    let call = |name: &str| {
        let address = sys::GetProcAddress(module, format!("{}\0", name).as_ptr().cast());
        if address.is_null() {
            Err(format!("QorLauncherKit.dll does not export {}", name))
        } else {
            Ok(address)
        }
    };
    Ok(Calls {
        check_for_update: std::mem::transmute(call("qor_kit_check_for_update")?),
        update_identity: std::mem::transmute(call("qor_kit_update_identity")?),
        update_release: std::mem::transmute(call("qor_kit_update_release")?),
        update_size: std::mem::transmute(call("qor_kit_update_size")?),
        update_notes: std::mem::transmute(call("qor_kit_update_notes")?),
        update_free: std::mem::transmute(call("qor_kit_update_free")?),
        download_update: std::mem::transmute(call("qor_kit_download_update")?),
    })
}

fn calls() -> Result<&'static Calls> {
    interface()?;
    unsafe {
        FIND.call_once(|| FOUND = Some(find()));
        match FOUND.as_ref() {
            Some(Ok(calls)) => Ok(calls),
            Some(Err(message)) => Err(Error::new(FAILED, message.clone())),
            None => Err(Error::new(FAILED, "QorLauncherKit.dll was not loaded")),
        }
    }
}

/// How to check: `retry_failed_update` offers the update whose trial failed here again;
/// `timeout` bounds each wait for the server (`None`: the kit's 30 seconds).
#[derive(Debug, Clone, Default)]
pub struct UpdateOptions {
    pub retry_failed_update: bool,
    pub timeout: Option<Duration>,
}

/// A release a signed feed offers. Dropping it frees the DLL's record.
pub struct Update {
    raw: *mut RawUpdate,
    pub identity: String,
    pub release: u64,
    /// All of the version's files, in bytes.
    pub size: u64,
    pub notes: String,
}

impl Drop for Update {
    fn drop(&mut self) {
        if let Ok(calls) = calls() {
            unsafe { (calls.update_free)(self.raw) };
        }
    }
}

/// Reads the feed at `feed_url`, verifies it with `public_key` (as `qorrelease keygen` prints
/// it) and returns the release it offers; `None` when nothing newer is offered.
pub fn check_for_update(
    launcher_root: &str,
    feed_url: &str,
    public_key: &str,
    options: &UpdateOptions,
) -> Result<Option<Update>> {
    let calls = calls()?;
    let (root, url, key) = (c_text(launcher_root)?, c_text(feed_url)?, c_text(public_key)?);
    let timeout = options.timeout.map_or(0, |t| t.as_millis().clamp(1, c_ulong::MAX as u128) as c_ulong);
    let mut raw = std::ptr::null_mut();
    check(unsafe {
        (calls.check_for_update)(root.as_ptr(), url.as_ptr(), key.as_ptr(), options.retry_failed_update as c_int,
                                 timeout, &mut raw)
    })?;
    if raw.is_null() {
        return Ok(None);
    }
    let mut update = Update { raw, identity: String::new(), release: 0, size: 0, notes: String::new() };
    update.identity = read_text(|b, s, r| unsafe { (calls.update_identity)(raw, b, s, r) })?;
    update.notes = read_text(|b, s, r| unsafe { (calls.update_notes)(raw, b, s, r) })?;
    check(unsafe { (calls.update_release)(raw, &mut update.release) })?;
    check(unsafe { (calls.update_size)(raw, &mut update.size) })?;
    Ok(Some(update))
}

struct Reporter<'a> {
    progress: &'a mut dyn FnMut(u64, u64) -> bool,
    panic: Option<Box<dyn Any + Send>>,
}

// A panic must not unwind through the DLL: it cancels, and is resumed once the call returns.
unsafe extern "C" fn report(context: *mut c_void, done: u64, total: u64) -> c_int {
    let reporter = &mut *(context as *mut Reporter);
    if reporter.panic.is_some() {
        return 1;
    }
    match panic::catch_unwind(AssertUnwindSafe(|| (reporter.progress)(done, total))) {
        Ok(keep_going) => (!keep_going) as c_int,
        Err(payload) => {
            reporter.panic = Some(payload);
            1
        }
    }
}

/// Fetches what the update changed (files an installed version holds are copied), verifies
/// it, installs the version whole and returns the identity to stage. `progress` is called on
/// this thread with the bytes fetched and the bytes to fetch; returning false cancels
/// (`ErrorKind::Cancelled`), keeping what was fetched for the next call to resume.
pub fn download_update(
    launcher_root: &str,
    update: &Update,
    mut progress: impl FnMut(u64, u64) -> bool,
) -> Result<String> {
    let calls = calls()?;
    let root = c_text(launcher_root)?;
    let mut reporter = Reporter { progress: &mut progress, panic: None };
    let context = &mut reporter as *mut Reporter as *mut c_void;
    // Never asked twice: QOR_KIT_IDENTITY_BUFFER_SIZE bytes always suffice.
    let mut buffer = vec![0u8; sys::IDENTITY_BUFFER_SIZE];
    let mut required = 0usize;
    let status = unsafe {
        (calls.download_update)(root.as_ptr(), update.raw, Some(report), context, buffer.as_mut_ptr().cast(),
                                buffer.len(), &mut required)
    };
    if let Some(payload) = reporter.panic.take() {
        panic::resume_unwind(payload);
    }
    check(status)?;
    buffer.truncate(required.saturating_sub(1));
    String::from_utf8(buffer).map_err(|_| Error::new(FAILED, "Text from the kit is not UTF-8"))
}
