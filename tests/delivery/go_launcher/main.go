// The delivery scenario's Go launcher: the Go README's updateFromFeed (update.go, taken from
// the README at build time) in a launcher that reports in the C++ sample's words, so that one
// scenario runs for both.
//
//	QorLauncher.exe --feed <url> --public-key <key> [--cancel-download]
//
// --cancel-download cancels at the first progress step past half of the bytes to fetch. A refusal's kind
// is reported as the name of the sentinel errors.Is matches. A file named "broken" beside the
// executable makes this version fail before readiness.
package main

import (
	"errors"
	"flag"
	"fmt"
	"os"
	"path/filepath"

	kit "qorlauncherkit"
)

var kinds = []struct {
	name     string
	sentinel error
}{
	{"update_already_failed", kit.ErrUpdateAlreadyFailed}, {"identity_mismatch", kit.ErrIdentityMismatch},
	{"bad_signature", kit.ErrBadSignature}, {"invalid_update", kit.ErrInvalidUpdate},
	{"download_failed", kit.ErrDownloadFailed}, {"cancelled", kit.ErrCancelled},
	{"older_release", kit.ErrOlderRelease},
}

func main() { os.Exit(run()) }

func run() int {
	launch, err := kit.LaunchFromCommandLine()
	if err != nil {
		fmt.Fprintln(os.Stderr, err)
		return 1
	}
	defer launch.Close()
	own, err := kit.OwnVersionIdentity()
	if err != nil || !launch.StartedByStarter {
		fmt.Fprintln(os.Stderr, "Start QorStarter.exe, which starts this launcher.", err)
		return 2
	}
	root := launch.LauncherRoot
	report := func(format string, values ...any) {
		_ = kit.Log(root, fmt.Sprintf("[launcher %.12s] ", own)+fmt.Sprintf(format, values...))
	}
	if launch.AfterRollback {
		report("started after a rollback: an update tried earlier did not start; running version %.12s", own)
	}
	if executable, err := os.Executable(); err == nil {
		if _, err := os.Stat(filepath.Join(filepath.Dir(executable), "broken")); err == nil {
			report("this version is broken: exiting with 3 before readiness")
			return 3
		}
	}
	options := flag.NewFlagSet("QorLauncher", flag.ContinueOnError)
	feedURL := options.String("feed", "", "the update feed's URL")
	publicKey := options.String("public-key", "", "the release author's public key")
	cancel := options.Bool("cancel-download", false, "cancel past half of the download")
	if err := options.Parse(launch.UserArguments); err != nil {
		report("bad arguments: %v", err)
		return 2
	}
	if err := launch.SignalReadiness(); err != nil {
		report("cannot signal readiness: %v", err)
		return 1
	}
	if err := kit.PruneVersions(root); err != nil {
		report("could not prune old versions: %v", err)
	}

	identity, err := updateFromFeed(root, *feedURL, *publicKey, report, func(done, total uint64) bool {
		if *cancel && done > 0 && done >= total/2 {
			report("cancelling at %d of %d bytes", done, total)
			return false
		}
		return true
	})
	switch {
	case err != nil:
		report("update refused: %v", err)
		for _, kind := range kinds {
			if errors.Is(err, kind.sentinel) {
				report("refusal kind: %s", kind.name)
			}
		}
	case identity == "":
		report("the feed offers nothing newer")
	default:
		if err := kit.StageVersion(root, identity); err != nil {
			report("not staging %.12s: %v", identity, err)
			return 0
		}
		report("staged %.12s; asking for a restart (exit 73)", identity)
		return kit.RestartExitCode
	}
	return 0
}
