// Each kind of failure through the Go binding, once, in a launcher root after the scenario's
// rollback (so that an update has failed its trial):
//
//	kinds.exe <root> <folder of the failed update> <scratch folder>
//
// One line per kind, "<kind> ok" or "<kind> wrong: ...".
package main

import (
	"errors"
	"fmt"
	"os"
	"path/filepath"
	"strings"
	"syscall"

	kit "qorlauncherkit"
)

var wrong = 0

func expect(kind string, sentinel error, err error) {
	var kitError *kit.Error
	switch {
	case !errors.As(err, &kitError):
		fmt.Printf("%s wrong: %v\n", kind, err)
	case !errors.Is(err, sentinel):
		fmt.Printf("%s wrong: status %d, %q\n", kind, kitError.Status, kitError.Message)
	default:
		fmt.Printf("%s ok\n", kind)
		return
	}
	wrong++
}

// hold opens a file without sharing, as another process would hold it.
func hold(path string) syscall.Handle {
	name, _ := syscall.UTF16PtrFromString(path)
	handle, err := syscall.CreateFile(name, syscall.GENERIC_READ, 0, nil, syscall.OPEN_ALWAYS, 0, 0)
	if err != nil {
		fmt.Printf("cannot hold %s: %v\n", path, err)
		os.Exit(1)
	}
	return handle
}

func main() {
	root, failedFolder, scratch := os.Args[1], os.Args[2], os.Args[3]
	unknown := strings.Repeat("0", 64)

	if err := os.MkdirAll(scratch, 0o755); err == nil {
		err = os.WriteFile(filepath.Join(scratch, "launcher-state"), []byte("not a state\n"), 0o644)
	}
	_, err := kit.ReadLauncherState(scratch)
	expect("failed", kit.ErrFailed, err)

	// Text that is not UTF-8 is refused as such, an identity included.
	expect("invalid_argument", kit.ErrInvalidArgument, kit.StageVersion(root, "\xff"+unknown[1:]))

	failed, err := kit.FailedUpdate(root)
	if err == nil && failed != "" {
		_, err = kit.InstallVersion(root, failedFolder)
	}
	if err == nil {
		err = kit.StageVersion(root, failed)
	}
	expect("update_already_failed", kit.ErrUpdateAlreadyFailed, err)

	expect("version_not_installed", kit.ErrVersionNotInstalled, kit.StageVersion(root, unknown))
	_, err = kit.InstallVersionExpecting(root, failedFolder, unknown)
	expect("identity_mismatch", kit.ErrIdentityMismatch, err)
	expect("invalid_identity", kit.ErrInvalidIdentity, kit.StageVersion(root, "not-an-identity"))

	update := hold(filepath.Join(root, "update.lock"))
	expect("root_busy", kit.ErrRootBusy, kit.StageVersion(root, unknown))
	syscall.CloseHandle(update)

	// The starter holds starter.lock so while it runs.
	starter := hold(filepath.Join(root, "starter.lock"))
	_, err = kit.RemoveLauncherRoot(root)
	expect("starter_running", kit.ErrStarterRunning, err)
	syscall.CloseHandle(starter)

	_, err = kit.RemoveLauncherRoot(filepath.Join(root, "missing"))
	expect("not_launcher_root", kit.ErrNotLauncherRoot, err)

	state := hold(filepath.Join(root, "launcher-state"))
	_, err = kit.ReadLauncherState(root)
	syscall.CloseHandle(state)
	expect("system_error", kit.ErrSystemError, err)
	if kitError := (*kit.Error)(nil); errors.As(err, &kitError) && kitError.SystemCode != 32 {
		fmt.Printf("system_error wrong: code %d, not 32 (ERROR_SHARING_VIOLATION)\n", kitError.SystemCode)
		wrong++
	}
	if wrong > 0 {
		os.Exit(1)
	}
}
