// The scenario's launcher in Rust: logs what it received, then updates or prunes.
use qor_launcher_kit as kit;
use std::io::Write;
use std::path::Path;

fn hex(text: &str) -> String {
    text.bytes().map(|b| format!("{:02x}", b)).collect()
}

fn run() -> kit::Result<i32> {
    let launch = kit::Launch::from_command_line()?;
    let identity = kit::own_version_identity()?;
    let root = Path::new(&launch.launcher_root);
    if root.join("versions").join(&identity).join("broken").exists() {
        return Ok(9); // a build that never gets ready
    }
    let args: Vec<String> = launch.user_arguments.iter().map(|a| hex(a)).collect();
    let line = format!("start {} {} {}\n", identity, launch.after_rollback as i32, args.join(" "));
    let mut log = std::fs::OpenOptions::new().create(true).append(true).open(root.join("scenario.log")).unwrap();
    log.write_all(line.as_bytes()).unwrap();
    launch.signal_readiness()?;
    // The kit names the update that failed; a run without a rollback has none.
    let failed = kit::failed_update(&launch.launcher_root)?;
    if launch.after_rollback != failed.is_some() || failed.as_deref() == Some(identity.as_str()) {
        return Ok(6);
    }
    if launch.user_arguments.first().map(String::as_str) == Some("--update-from") && !launch.after_rollback {
        let installed = kit::install_version(&launch.launcher_root, &launch.user_arguments[1])?;
        if installed != identity {
            kit::stage_version(&launch.launcher_root, &installed)?;
            let state = kit::read_launcher_state(&launch.launcher_root)?;
            if state.current_version != identity
                || state.staged_version.as_deref() != Some(installed.as_str())
                || state.trial_pending
            {
                return Ok(5);
            }
            log.write_all(format!("staged {}\n", installed).as_bytes()).unwrap();
            return Ok(kit::RESTART_EXIT_CODE);
        }
    }
    kit::prune_versions(&launch.launcher_root)?;
    Ok(0)
}

fn main() {
    std::process::exit(run().unwrap_or_else(|error| {
        eprintln!("{}", error);
        1
    }));
}
