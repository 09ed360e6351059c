//go:build windows

// Package qorlauncherkit is the Qor starter protocol for launchers written in Go: a thin
// layer over QorLauncherKit.dll, which ships beside the launcher's executable. Every rule
// of the protocol lives in the DLL; this package converts text and returns errors.
package qorlauncherkit

import (
	"errors"
	"fmt"
	"os"
	"path/filepath"
	"runtime"
	"strings"
	"sync"
	"syscall"
	"time"
	"unsafe"
)

// RestartExitCode: a ready launcher that exits with it is started again, into the staged version.
const RestartExitCode = 73

// InterfaceVersion is the interface of QorLauncherKit.dll this package was written for.
const InterfaceVersion = 2

// Status codes of the C interface (QOR_KIT_...); Error.Status holds one of them.
const (
	statusOK                  = 0
	StatusFailed              = 1
	StatusInvalidArgument     = 2
	statusBufferTooSmall      = 3 // the package asks again with the size needed
	StatusOutOfMemory         = 4
	StatusUpdateAlreadyFailed = 5
	StatusVersionNotInstalled = 6
	StatusIdentityMismatch    = 7
	StatusInvalidIdentity     = 8
	StatusRootBusy            = 9
	StatusStarterRunning      = 10
	StatusNotLauncherRoot     = 11
	StatusSystemError         = 12
)

// One sentinel per kind of failure, for errors.Is: errors.Is(err, ErrUpdateAlreadyFailed).
var (
	ErrFailed              = errors.New("qorlauncherkit: failed")
	ErrInvalidArgument     = errors.New("qorlauncherkit: invalid argument")
	ErrOutOfMemory         = errors.New("qorlauncherkit: out of memory")
	ErrUpdateAlreadyFailed = errors.New("qorlauncherkit: update already failed its trial")
	ErrVersionNotInstalled = errors.New("qorlauncherkit: version not installed")
	ErrIdentityMismatch    = errors.New("qorlauncherkit: version does not match its identity")
	ErrInvalidIdentity     = errors.New("qorlauncherkit: invalid version identity")
	ErrRootBusy            = errors.New("qorlauncherkit: launcher root busy with another update")
	ErrStarterRunning      = errors.New("qorlauncherkit: a starter is running in the launcher root")
	ErrNotLauncherRoot     = errors.New("qorlauncherkit: not a launcher root")
	ErrSystemError         = errors.New("qorlauncherkit: Windows refused")
)

var sentinels = map[int]error{
	StatusFailed: ErrFailed, StatusInvalidArgument: ErrInvalidArgument, StatusOutOfMemory: ErrOutOfMemory,
	StatusUpdateAlreadyFailed: ErrUpdateAlreadyFailed, StatusVersionNotInstalled: ErrVersionNotInstalled,
	StatusIdentityMismatch: ErrIdentityMismatch, StatusInvalidIdentity: ErrInvalidIdentity,
	StatusRootBusy: ErrRootBusy, StatusStarterRunning: ErrStarterRunning, StatusNotLauncherRoot: ErrNotLauncherRoot,
	StatusSystemError: ErrSystemError,
}

const identityBufferSize = 65

// Error is a failure of the kit: its status, the DLL's message (the C++ kit's wording,
// "(error N)" at the end where Windows refused something) and, for StatusSystemError, the
// Windows error code. errors.Is matches it with the sentinel of its status.
type Error struct {
	Status     int
	Message    string
	SystemCode uint32
}

func (e *Error) Error() string { return e.Message }

// Unwrap gives the sentinel of the status (nil for a status this package does not know).
func (e *Error) Unwrap() error { return sentinels[e.Status] }

var (
	dll                    = syscall.NewLazyDLL("QorLauncherKit.dll")
	procInterfaceVersion   = dll.NewProc("qor_kit_interface_version")
	procCopyLastError      = dll.NewProc("qor_kit_copy_last_error_message")
	procFromCommandLine    = dll.NewProc("qor_kit_launch_from_command_line")
	procFromArguments      = dll.NewProc("qor_kit_launch_from_arguments")
	procLaunchFree         = dll.NewProc("qor_kit_launch_free")
	procUserArgumentCount  = dll.NewProc("qor_kit_launch_user_argument_count")
	procUserArgument       = dll.NewProc("qor_kit_launch_user_argument")
	procStartedByStarter   = dll.NewProc("qor_kit_launch_started_by_starter")
	procAfterRollback      = dll.NewProc("qor_kit_launch_after_rollback")
	procLaunchRoot         = dll.NewProc("qor_kit_launch_root")
	procReadinessToken     = dll.NewProc("qor_kit_launch_readiness_token")
	procOwnVersionIdentity = dll.NewProc("qor_kit_own_version_identity")
	procIsValidIdentity    = dll.NewProc("qor_kit_is_valid_version_identity")
	procSignalReadiness    = dll.NewProc("qor_kit_signal_readiness")
	procSignalReadinessAs  = dll.NewProc("qor_kit_signal_readiness_as")
	procReadLauncherState  = dll.NewProc("qor_kit_read_launcher_state")
	procStageVersion       = dll.NewProc("qor_kit_stage_version")
	procInstallVersion     = dll.NewProc("qor_kit_install_version")
	procListCount          = dll.NewProc("qor_kit_list_count")
	procListText           = dll.NewProc("qor_kit_list_text")
	procListFlag           = dll.NewProc("qor_kit_list_flag")
	procListFree           = dll.NewProc("qor_kit_list_free")
	procInitializeRoot     = dll.NewProc("qor_kit_initialize_launcher_root")
	procCreateState        = dll.NewProc("qor_kit_create_launcher_state")
	procCheckRoot          = dll.NewProc("qor_kit_check_launcher_root")
	procRemoveRoot         = dll.NewProc("qor_kit_remove_launcher_root")
	procStageVersionRetry  = dll.NewProc("qor_kit_stage_version_retry")
	procFailedUpdate       = dll.NewProc("qor_kit_failed_update")
	procInstallExpecting   = dll.NewProc("qor_kit_install_version_expecting")
	procPruneVersions      = dll.NewProc("qor_kit_prune_versions")
	procLastSystemCode     = dll.NewProc("qor_kit_last_error_system_code")
	procLog                = dll.NewProc("qor_kit_log")
)

// What the DLL writes through is made here, on the heap, which Go never moves: a
// goroutine's stack may move while a uintptr still points into it.
//
//go:noinline
func heapBytes(n int) []byte { return make([]byte, n) }

//go:noinline
func heapUintptr() *uintptr { return new(uintptr) }

//go:noinline
func heapInt32() *int32 { return new(int32) }

//go:noinline
func heapState() *rawLauncherState { return new(rawLauncherState) }

// invoke calls the DLL and reads a failure's message on the same OS thread: the
// message is kept per thread, and a goroutine may otherwise move between the two.
func invoke(proc *syscall.LazyProc, args ...uintptr) (int32, error) {
	if err := proc.Find(); err != nil {
		return 0, &Error{Status: StatusFailed, Message: err.Error()}
	}
	runtime.LockOSThread()
	defer runtime.UnlockOSThread()
	result, _, _ := proc.Call(args...)
	status := int32(result) // the upper half of the register is not the C int's
	if status == statusOK || status == statusBufferTooSmall {
		return status, nil
	}
	required := heapUintptr()
	buffer := heapBytes(512)
	for {
		r, _, _ := procCopyLastError.Call(uintptr(unsafe.Pointer(&buffer[0])), uintptr(len(buffer)),
			uintptr(unsafe.Pointer(required)))
		if int32(r) != statusBufferTooSmall {
			break
		}
		buffer = heapBytes(int(*required))
	}
	code, _, _ := procLastSystemCode.Call()
	return status, &Error{Status: int(status), Message: string(buffer[:*required-1]), SystemCode: uint32(code)}
}

var reportOnce sync.Once

// checkInterface loads the DLL and refuses one of another interface. A DLL that cannot be
// loaded (missing from the version folder, damaged, quarantined) leaves one line in the
// root's launcher.log, where the starter's box sends the user, since the kit cannot write it.
func checkInterface() error {
	if err := dll.Load(); err != nil {
		var errno syscall.Errno
		code, reason := uint32(0), err.Error()
		if errors.As(err, &errno) {
			code, reason = uint32(errno), errno.Error()
		}
		message := fmt.Sprintf("Cannot load %s (error %d): %s", dll.Name, code, reason)
		reportOnce.Do(func() { appendBesideKit(message) })
		return &Error{Status: StatusSystemError, Message: message, SystemCode: code}
	}
	if err := procInterfaceVersion.Find(); err != nil {
		return &Error{Status: StatusFailed, Message: err.Error()}
	}
	if version, _, _ := procInterfaceVersion.Call(); int32(version) != InterfaceVersion {
		return &Error{Status: StatusFailed, Message: fmt.Sprintf(
			"QorLauncherKit.dll implements interface %d, this package needs %d", int32(version), InterfaceVersion)}
	}
	return nil
}

// appendBesideKit writes one line to <root>\launcher.log without the kit: the root is two
// folders above this executable (<root>\versions\<identity>\QorLauncher.exe). Run from
// anywhere else it writes nothing; a launcher.log that is a link is not written through.
func appendBesideKit(line string) {
	executable, err := os.Executable()
	if err != nil {
		return
	}
	versions := filepath.Dir(filepath.Dir(executable))
	if !strings.EqualFold(filepath.Base(versions), "versions") {
		return
	}
	path := filepath.Join(filepath.Dir(versions), "launcher.log")
	if info, err := os.Lstat(path); err == nil && !info.Mode().IsRegular() {
		return
	}
	log, err := os.OpenFile(path, os.O_APPEND|os.O_CREATE|os.O_WRONLY, 0o644)
	if err != nil {
		return
	}
	defer log.Close()
	stamp := time.Now().UTC().Format("2006-01-02T15:04:05.000Z")
	fmt.Fprintf(log, "%s [%d] %s\n", stamp, os.Getpid(), line)
}

func text(s string) (*byte, error) {
	p, err := syscall.BytePtrFromString(s)
	if err != nil {
		return nil, &Error{Status: StatusInvalidArgument, Message: "Text holds a NUL character"}
	}
	return p, nil
}

// readText reads text the DLL writes into a buffer, growing it once to the size asked for.
func readText(proc *syscall.LazyProc, args ...uintptr) (string, error) {
	required := heapUintptr()
	buffer := heapBytes(128)
	for {
		full := append(append([]uintptr{}, args...), uintptr(unsafe.Pointer(&buffer[0])), uintptr(len(buffer)),
			uintptr(unsafe.Pointer(required)))
		status, err := invoke(proc, full...)
		if err != nil {
			return "", err
		}
		if status == statusOK {
			return string(buffer[:*required-1]), nil
		}
		buffer = heapBytes(int(*required))
	}
}

// Launch is what the starter told this launcher.
type Launch struct {
	handle           uintptr
	UserArguments    []string
	StartedByStarter bool
	// Some update of this run failed to start; compare OwnVersionIdentity with the
	// version you meant to install to know whether this is it.
	AfterRollback  bool
	LauncherRoot   string
	ReadinessToken string
}

// LaunchFromCommandLine reads this process's command line as Windows passed it.
func LaunchFromCommandLine() (*Launch, error) {
	if err := checkInterface(); err != nil {
		return nil, err
	}
	handle := heapUintptr()
	if _, err := invoke(procFromCommandLine, uintptr(unsafe.Pointer(handle))); err != nil {
		return nil, err
	}
	return readLaunch(*handle)
}

// LaunchFromArguments reads a list of arguments without the program name.
func LaunchFromArguments(arguments []string) (*Launch, error) {
	if err := checkInterface(); err != nil {
		return nil, err
	}
	pointers := make([]*byte, len(arguments)+1)
	for i, argument := range arguments {
		p, err := text(argument)
		if err != nil {
			return nil, err
		}
		pointers[i] = p
	}
	handle := heapUintptr()
	if _, err := invoke(procFromArguments, uintptr(unsafe.Pointer(&pointers[0])), uintptr(len(arguments)),
		uintptr(unsafe.Pointer(handle))); err != nil {
		return nil, err
	}
	runtime.KeepAlive(pointers)
	return readLaunch(*handle)
}

func flag(proc *syscall.LazyProc, handle uintptr) (bool, error) {
	value := heapInt32()
	_, err := invoke(proc, handle, uintptr(unsafe.Pointer(value)))
	return *value != 0, err
}

func readLaunch(handle uintptr) (*Launch, error) {
	launch := &Launch{handle: handle}
	runtime.SetFinalizer(launch, (*Launch).Close)
	count := heapUintptr()
	if _, err := invoke(procUserArgumentCount, handle, uintptr(unsafe.Pointer(count))); err != nil {
		return nil, err
	}
	for i := uintptr(0); i < *count; i++ {
		argument, err := readText(procUserArgument, handle, i)
		if err != nil {
			return nil, err
		}
		launch.UserArguments = append(launch.UserArguments, argument)
	}
	var err error
	if launch.StartedByStarter, err = flag(procStartedByStarter, handle); err != nil {
		return nil, err
	}
	if launch.AfterRollback, err = flag(procAfterRollback, handle); err != nil {
		return nil, err
	}
	if launch.LauncherRoot, err = readText(procLaunchRoot, handle); err != nil {
		return nil, err
	}
	if launch.ReadinessToken, err = readText(procReadinessToken, handle); err != nil {
		return nil, err
	}
	return launch, nil
}

// Close frees the DLL's record; a Launch is also freed when collected.
func (l *Launch) Close() error {
	if l.handle == 0 {
		return nil
	}
	_, err := invoke(procLaunchFree, l.handle)
	l.handle = 0
	return err
}

// SignalReadiness tells the starter this launcher is ready, as its own version.
func (l *Launch) SignalReadiness() error {
	_, err := invoke(procSignalReadiness, l.handle)
	return err
}

// SignalReadinessAs is SignalReadiness with a given identity.
func (l *Launch) SignalReadinessAs(identity string) error {
	p, err := text(identity)
	if err != nil {
		return err
	}
	_, err = invoke(procSignalReadinessAs, l.handle, uintptr(unsafe.Pointer(p)))
	runtime.KeepAlive(p)
	return err
}

// OwnVersionIdentity is the identity of the running launcher: its executable's folder name.
func OwnVersionIdentity() (string, error) {
	if err := checkInterface(); err != nil {
		return "", err
	}
	return readText(procOwnVersionIdentity)
}

// IsValidVersionIdentity: exactly 64 characters of 0-9a-f.
func IsValidVersionIdentity(identity string) bool {
	p, err := text(identity)
	if err != nil {
		return false
	}
	valid := heapInt32()
	_, err = invoke(procIsValidIdentity, uintptr(unsafe.Pointer(p)), uintptr(unsafe.Pointer(valid)))
	runtime.KeepAlive(p)
	return err == nil && *valid != 0
}

// LauncherState is the content of <root>\launcher-state; StagedVersion is "" when nothing is staged.
type LauncherState struct {
	CurrentVersion string
	StagedVersion  string
	TrialPending   bool
}

type rawLauncherState struct {
	current      [identityBufferSize]byte
	staged       [identityBufferSize]byte
	trialPending int32
}

func field(bytes []byte) string {
	for i, b := range bytes {
		if b == 0 {
			return string(bytes[:i])
		}
	}
	return string(bytes)
}

// ReadLauncherState reads <root>\launcher-state.
func ReadLauncherState(launcherRoot string) (LauncherState, error) {
	if err := checkInterface(); err != nil {
		return LauncherState{}, err
	}
	root, err := text(launcherRoot)
	if err != nil {
		return LauncherState{}, err
	}
	raw := heapState()
	if _, err := invoke(procReadLauncherState, uintptr(unsafe.Pointer(root)), uintptr(unsafe.Pointer(raw))); err != nil {
		return LauncherState{}, err
	}
	runtime.KeepAlive(root)
	return LauncherState{field(raw.current[:]), field(raw.staged[:]), raw.trialPending != 0}, nil
}

func withRoot(proc *syscall.LazyProc, launcherRoot string, more ...string) (int32, error) {
	if err := checkInterface(); err != nil {
		return 0, err
	}
	args := []uintptr{}
	keep := []*byte{}
	for _, s := range append([]string{launcherRoot}, more...) {
		p, err := text(s)
		if err != nil {
			return 0, err
		}
		keep = append(keep, p)
		args = append(args, uintptr(unsafe.Pointer(p)))
	}
	status, err := invoke(proc, args...)
	runtime.KeepAlive(keep)
	return status, err
}

// StageVersion stages an installed version; exit with RestartExitCode to be started in it.
func StageVersion(launcherRoot, identity string) error {
	_, err := withRoot(procStageVersion, launcherRoot, identity)
	return err
}

// StageVersionRetry stages again an update whose last trial failed, which StageVersion refuses.
func StageVersionRetry(launcherRoot, identity string) error {
	_, err := withRoot(procStageVersionRetry, launcherRoot, identity)
	return err
}

// FailedUpdate is the identity of the update whose trial failed, "" when none did: ask it
// when started after a rollback.
func FailedUpdate(launcherRoot string) (string, error) {
	return textCall(procFailedUpdate, launcherRoot)
}

// InstallVersionExpecting installs a download whose identity was announced; any other content is refused.
func InstallVersionExpecting(launcherRoot, sourceFolder, expectedIdentity string) (string, error) {
	return textCall(procInstallExpecting, launcherRoot, sourceFolder, expectedIdentity)
}

// InstallVersion installs sourceFolder (QorLauncher.exe at its top) as a version and returns its identity.
func InstallVersion(launcherRoot, sourceFolder string) (string, error) {
	return textCall(procInstallVersion, launcherRoot, sourceFolder)
}

// textCall passes texts in and reads one text out.
func textCall(proc *syscall.LazyProc, texts ...string) (string, error) {
	if err := checkInterface(); err != nil {
		return "", err
	}
	keep := make([]*byte, len(texts))
	args := make([]uintptr, len(texts))
	for i, s := range texts {
		p, err := text(s)
		if err != nil {
			return "", err
		}
		keep[i], args[i] = p, uintptr(unsafe.Pointer(p))
	}
	result, err := readText(proc, args...)
	runtime.KeepAlive(keep)
	return result, err
}

// PruneVersions removes versions that are neither current, staged nor the caller's own. Call once ready.
func PruneVersions(launcherRoot string) error {
	_, err := withRoot(procPruneVersions, launcherRoot)
	return err
}

// InitializeLauncherRoot lays out a first install in a missing or empty folder and returns
// the version's identity.
func InitializeLauncherRoot(launcherRoot, starterExecutable, versionFolder string) (string, error) {
	return textCall(procInitializeRoot, launcherRoot, starterExecutable, versionFolder)
}

// CreateLauncherState writes the first launcher-state, with an installed version current.
func CreateLauncherState(launcherRoot, currentIdentity string) error {
	_, err := withRoot(procCreateState, launcherRoot, currentIdentity)
	return err
}

// RootFinding is one thing that would stop or spoil a start, in one line saying what to do.
type RootFinding struct {
	StopsStart bool
	Text       string
}

type listItem struct {
	text string
	flag bool
}

// listCall passes the root in and reads, then frees, the list the DLL hands out.
func listCall(proc *syscall.LazyProc, launcherRoot string) ([]listItem, error) {
	if err := checkInterface(); err != nil {
		return nil, err
	}
	root, err := text(launcherRoot)
	if err != nil {
		return nil, err
	}
	list := heapUintptr()
	if _, err := invoke(proc, uintptr(unsafe.Pointer(root)), uintptr(unsafe.Pointer(list))); err != nil {
		return nil, err
	}
	runtime.KeepAlive(root)
	defer invoke(procListFree, *list)
	count := heapUintptr()
	if _, err := invoke(procListCount, *list, uintptr(unsafe.Pointer(count))); err != nil {
		return nil, err
	}
	items := make([]listItem, 0, *count)
	for i := uintptr(0); i < *count; i++ {
		text, err := readText(procListText, *list, i)
		if err != nil {
			return nil, err
		}
		flag := heapInt32()
		if _, err := invoke(procListFlag, *list, i, uintptr(unsafe.Pointer(flag))); err != nil {
			return nil, err
		}
		items = append(items, listItem{text, *flag != 0})
	}
	return items, nil
}

// CheckLauncherRoot reads the root as the starter would start it; empty when nothing is found.
func CheckLauncherRoot(launcherRoot string) ([]RootFinding, error) {
	items, err := listCall(procCheckRoot, launcherRoot)
	findings := make([]RootFinding, len(items))
	for i, item := range items {
		findings[i] = RootFinding{item.flag, item.text}
	}
	return findings, err
}

// RemoveLauncherRoot uninstalls the root, unless a starter runs in it; it returns the paths it had to leave.
func RemoveLauncherRoot(launcherRoot string) ([]string, error) {
	items, err := listCall(procRemoveRoot, launcherRoot)
	paths := make([]string, len(items))
	for i, item := range items {
		paths[i] = item.text
	}
	return paths, err
}

// Log appends one line to <root>\launcher.log, the log the starter's box sends the user to,
// stamped with the time and the process id; capped at 1 MiB with one older log kept.
func Log(launcherRoot, line string) error {
	_, err := withRoot(procLog, launcherRoot, line)
	return err
}
