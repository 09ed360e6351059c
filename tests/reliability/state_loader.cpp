// Loads launcher-state with the starter's own reader, for each launcher root
// given, and prints one line per root: "ok <current> <staged or -> <0|1>" or
// "error <message>". The reliability suite checks states left behind by
// killed starters with it.

#include <cstdio>
#include <exception>
#include <string>

#include "state/state_file.h"

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        try {
            const qor::LauncherState state = qor::load_launcher_state(argv[i]);
            std::printf("ok %s %s %d\n", state.current_version.c_str(),
                        state.staged_version.empty() ? "-" : state.staged_version.c_str(),
                        state.trial_pending ? 1 : 0);
        } catch (const std::exception& failure) {
            std::printf("error %s\n", failure.what());
        }
    }
    return 0;
}
