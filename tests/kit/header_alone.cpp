// Includes nothing but the kit's header: a launcher author's first file must build
// and link against the kit without any other include or definition.
#include "qor/launcher_kit.h"

int main() {
    const qor::kit::LaunchArguments launch = qor::kit::read_launch_arguments(
        {L"--launcher-update-rollback", L"--launcher-root", L"C:\\r", L"--launcher-ready",
         L"0123456789abcdef0123456789abcdef"});
    const bool usable = launch.started_by_starter && launch.after_rollback && launch.user_arguments.empty() &&
                        qor::kit::kRestartExitCode == 73;
    return usable ? 0 : 1;
}
