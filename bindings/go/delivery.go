//go:build windows

package qorlauncherkit

import (
	"errors"
	"runtime"
	"sync"
	"syscall"
	"time"
	"unsafe"
)

// Statuses of update delivery.
const (
	StatusBadSignature   = 13
	StatusInvalidUpdate  = 14
	StatusDownloadFailed = 15
	StatusCancelled      = 16
	StatusOlderRelease   = 17
)

var (
	ErrBadSignature   = errors.New("qorlauncherkit: update feed signature does not verify")
	ErrInvalidUpdate  = errors.New("qorlauncherkit: invalid update feed or manifest")
	ErrDownloadFailed = errors.New("qorlauncherkit: download failed")
	ErrCancelled      = errors.New("qorlauncherkit: download cancelled")
	ErrOlderRelease   = errors.New("qorlauncherkit: feed offers an older release than one installed")
)

func init() {
	sentinels[StatusBadSignature] = ErrBadSignature
	sentinels[StatusInvalidUpdate] = ErrInvalidUpdate
	sentinels[StatusDownloadFailed] = ErrDownloadFailed
	sentinels[StatusCancelled] = ErrCancelled
	sentinels[StatusOlderRelease] = ErrOlderRelease
}

var (
	procCheckForUpdate = dll.NewProc("qor_kit_check_for_update")
	procUpdateIdentity = dll.NewProc("qor_kit_update_identity")
	procUpdateRelease  = dll.NewProc("qor_kit_update_release")
	procUpdateSize     = dll.NewProc("qor_kit_update_size")
	procUpdateNotes    = dll.NewProc("qor_kit_update_notes")
	procUpdateFree     = dll.NewProc("qor_kit_update_free")
	procDownloadUpdate = dll.NewProc("qor_kit_download_update")
)

// UpdateOptions: RetryFailedUpdate offers the update whose trial failed here again; Timeout
// bounds each wait for the server (zero: the kit's 30 seconds).
type UpdateOptions struct {
	RetryFailedUpdate bool
	Timeout           time.Duration
}

// Update is a release a signed feed offers. Close frees the DLL's record (also done when collected).
type Update struct {
	handle   uintptr
	Identity string
	Release  uint64
	Size     uint64 // all of the version's files, in bytes
	Notes    string
}

//go:noinline
func heapUint64() *uint64 { return new(uint64) }

// CheckForUpdate reads the feed at feedURL, verifies it with publicKey (as `qorrelease keygen`
// prints it) and returns the release it offers, or nil when nothing newer is offered.
func CheckForUpdate(launcherRoot, feedURL, publicKey string, options UpdateOptions) (*Update, error) {
	if err := checkInterface(); err != nil {
		return nil, err
	}
	keep := make([]*byte, 3)
	for i, s := range []string{launcherRoot, feedURL, publicKey} {
		p, err := text(s)
		if err != nil {
			return nil, err
		}
		keep[i] = p
	}
	retry := uintptr(0)
	if options.RetryFailedUpdate {
		retry = 1
	}
	timeout := uintptr(0)
	if options.Timeout > 0 {
		timeout = uintptr(max64(options.Timeout.Milliseconds(), 1))
	}
	handle := heapUintptr()
	_, err := invoke(procCheckForUpdate, uintptr(unsafe.Pointer(keep[0])), uintptr(unsafe.Pointer(keep[1])),
		uintptr(unsafe.Pointer(keep[2])), retry, timeout, uintptr(unsafe.Pointer(handle)))
	runtime.KeepAlive(keep)
	if err != nil || *handle == 0 {
		return nil, err
	}
	update := &Update{handle: *handle}
	runtime.SetFinalizer(update, (*Update).Close)
	if update.Identity, err = readText(procUpdateIdentity, update.handle); err != nil {
		return nil, err
	}
	if update.Notes, err = readText(procUpdateNotes, update.handle); err != nil {
		return nil, err
	}
	number := heapUint64()
	if _, err = invoke(procUpdateRelease, update.handle, uintptr(unsafe.Pointer(number))); err != nil {
		return nil, err
	}
	update.Release = *number
	if _, err = invoke(procUpdateSize, update.handle, uintptr(unsafe.Pointer(number))); err != nil {
		return nil, err
	}
	update.Size = *number
	return update, nil
}

func max64(a, b int64) int64 {
	if a > b {
		return a
	}
	return b
}

// Close frees the DLL's record of the update.
func (u *Update) Close() error {
	if u.handle == 0 {
		return nil
	}
	_, err := invoke(procUpdateFree, u.handle)
	u.handle = 0
	return err
}

// A callback made by syscall.NewCallback is never freed, so there is one, and each download
// under way is found by the number it passes as the callback's context.
var (
	progressOnce     sync.Once
	progressCallback uintptr
	progressMutex    sync.Mutex
	progressNext     uintptr
	progressCalls    = map[uintptr]*progressCall{}
)

type progressCall struct {
	report func(done, total uint64) bool
	panic  any
}

func progressTrampoline(context, done, total uintptr) uintptr {
	progressMutex.Lock()
	call := progressCalls[context]
	progressMutex.Unlock()
	if call == nil || call.panic != nil {
		return 1
	}
	cancel := uintptr(1)
	func() {
		// A panic must not unwind through the DLL: it cancels, and is raised again after the call.
		defer func() {
			if recovered := recover(); recovered != nil {
				call.panic = recovered
			}
		}()
		if call.report(uint64(done), uint64(total)) {
			cancel = 0
		}
	}()
	return cancel
}

// DownloadUpdate fetches what the update changed (files an installed version holds are copied),
// verifies it, installs the version whole and returns the identity to stage. progress, if not
// nil, is called on the calling goroutine with the bytes fetched and the bytes to fetch;
// returning false cancels (ErrCancelled), keeping what was fetched for the next call to resume.
func DownloadUpdate(launcherRoot string, update *Update, progress func(done, total uint64) bool) (string, error) {
	if err := checkInterface(); err != nil {
		return "", err
	}
	if update == nil || update.handle == 0 {
		return "", &Error{Status: StatusInvalidArgument, Message: "The update is nil or closed"}
	}
	root, err := text(launcherRoot)
	if err != nil {
		return "", err
	}
	callback, context := uintptr(0), uintptr(0)
	var call *progressCall
	if progress != nil {
		progressOnce.Do(func() { progressCallback = syscall.NewCallback(progressTrampoline) })
		call = &progressCall{report: progress}
		progressMutex.Lock()
		progressNext++
		context = progressNext
		progressCalls[context] = call
		progressMutex.Unlock()
		defer func() {
			progressMutex.Lock()
			delete(progressCalls, context)
			progressMutex.Unlock()
		}()
		callback = progressCallback
	}
	required := heapUintptr()
	buffer := heapBytes(identityBufferSize) // always enough: the download is never asked twice
	_, err = invoke(procDownloadUpdate, uintptr(unsafe.Pointer(root)), update.handle, callback, context,
		uintptr(unsafe.Pointer(&buffer[0])), uintptr(len(buffer)), uintptr(unsafe.Pointer(required)))
	runtime.KeepAlive(root)
	runtime.KeepAlive(update)
	if call != nil && call.panic != nil {
		panic(call.panic)
	}
	if err != nil {
		return "", err
	}
	return string(buffer[:*required-1]), nil
}
