// The scenario's launcher in Go: logs what it received, then updates or prunes.
package main

import (
	"encoding/hex"
	"fmt"
	"os"
	"path/filepath"
	"strings"

	kit "qorlauncherkit"
)

func run() (int, error) {
	launch, err := kit.LaunchFromCommandLine()
	if err != nil {
		return 1, err
	}
	defer launch.Close()
	identity, err := kit.OwnVersionIdentity()
	if err != nil {
		return 1, err
	}
	root := launch.LauncherRoot
	if _, err := os.Stat(filepath.Join(root, "versions", identity, "broken")); err == nil {
		return 9, nil // a build that never gets ready
	}
	args := make([]string, len(launch.UserArguments))
	for i, argument := range launch.UserArguments {
		args[i] = hex.EncodeToString([]byte(argument))
	}
	rollback := 0
	if launch.AfterRollback {
		rollback = 1
	}
	log, err := os.OpenFile(filepath.Join(root, "scenario.log"), os.O_CREATE|os.O_APPEND|os.O_WRONLY, 0o644)
	if err != nil {
		return 1, err
	}
	defer log.Close()
	fmt.Fprintf(log, "start %s %d %s\n", identity, rollback, strings.Join(args, " "))
	if err := launch.SignalReadiness(); err != nil {
		return 1, err
	}
	// The kit names the update that failed; a run without a rollback has none.
	failed, err := kit.FailedUpdate(root)
	if err != nil {
		return 1, err
	}
	if launch.AfterRollback != (failed != "") || failed == identity {
		return 6, nil
	}
	if len(launch.UserArguments) > 1 && launch.UserArguments[0] == "--update-from" && !launch.AfterRollback {
		installed, err := kit.InstallVersion(root, launch.UserArguments[1])
		if err != nil {
			return 1, err
		}
		if installed != identity {
			if err := kit.StageVersion(root, installed); err != nil {
				return 1, err
			}
			state, err := kit.ReadLauncherState(root)
			if err != nil {
				return 1, err
			}
			if state.CurrentVersion != identity || state.StagedVersion != installed || state.TrialPending {
				return 5, nil
			}
			fmt.Fprintf(log, "staged %s\n", installed)
			return kit.RestartExitCode, nil
		}
	}
	return 0, kit.PruneVersions(root)
}

func main() {
	code, err := run()
	if err != nil {
		fmt.Fprintln(os.Stderr, err)
		code = 1
	}
	os.Exit(code)
}
