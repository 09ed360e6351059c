// The sample QorLauncher.exe: the launcher's side of the protocol in one page.
//
//   QorLauncher.exe --version | --help         answered at once (the starter passes these through)
//   QorLauncher.exe [--install-from <folder> [--identity <sha-256>] | --stage-next <identity>
//                    | --feed <url> --public-key <key>] [--retry-failed] [--exit-code <n>] [anything else]
//
// A normal start signals readiness, removes old versions, reports what it received, and
// then either installs the version in <folder> (or takes the installed <identity>), stages
// it and exits with 73 (restart into it), or exits with <n> (default 0; 73 is refused,
// since from a ready launcher it means "restart"). --identity is what the update server
// announced: a download whose executable hashes to anything else is refused. --feed reads a
// release feed signed with the key whose public half is <key> (as QorRelease publishes it),
// downloads what the offered release changed, with its progress shown, and stages it. An
// update whose trial failed is neither installed nor staged again unless --retry-failed is given.
// A file named "broken" beside the executable makes this version fail on purpose
// before readiness, so the starter's rollback can be seen.
// Every line goes to standard output and, through the kit, to <root>\launcher.log.

#include <windows.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "qor/delivery.h"
#include "qor/launcher_kit.h"
#include "qor/launcher_log.h"

namespace {

std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                          nullptr);
    return result;
}

class Report {
public:
    explicit Report(std::string version) : version_(std::move(version)) {}
    void open_log(const std::wstring& root) { root_ = root; }
    void line(const std::string& text) {
        const std::string full = "[launcher " + version_ + "] " + text;
        std::printf("%s\n", full.c_str());
        std::fflush(stdout);
        if (root_.empty()) return;
        try {
            qor::kit::append_launcher_log(root_, full);
        } catch (const qor::kit::KitError& error) {
            std::fprintf(stderr, "launcher.log: %s\n", error.what());
        }
    }

private:
    std::string version_;
    std::wstring root_;
};

bool file_beside_executable_exists(const wchar_t* name) {
    std::wstring path(32'768, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    path = path.substr(0, path.find_last_of(L'\\') + 1) + name;
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The release the feed offers, downloaded and installed; empty when there is none or it was
// refused (a bad signature, an older release, a file that is not what the feed signed...).
std::string update_from_feed(Report& report, const std::wstring& root, const std::string& feed_url,
                             const std::string& public_key, const qor::kit::StageOptions& stage_options) {
    try {
        const std::optional<qor::kit::Update> update = qor::kit::check_for_update(
            root, feed_url, public_key, {.retry_failed_update = stage_options.retry_failed_update});
        if (!update) {
            report.line("the feed offers nothing newer");
            return {};
        }
        report.line("the feed offers release " + std::to_string(update->release) + ", " +
                    update->identity.substr(0, 12) + ", " + std::to_string(update->size) + " bytes: " + update->notes);
        int shown = -100;  // the first call shows 0
        const std::string installed =
            qor::kit::download_update(root, *update, [&](std::uint64_t done, std::uint64_t total) {
                const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
                if (percent / 25 != shown / 25) {
                    shown = percent;
                    report.line("downloading: " + std::to_string(done) + " of " + std::to_string(total) + " bytes");
                }
                return true;
            });
        report.line("downloaded and installed " + installed.substr(0, 12));
        return installed;
    } catch (const qor::kit::KitError& error) {
        report.line(std::string("update refused: ") + error.what());
        return {};
    }
}

int run(int argc, wchar_t** argv) {
    const qor::kit::LaunchArguments launch = qor::kit::read_launch_arguments(argc, argv);
    std::string identity;
    try {
        identity = qor::kit::own_version_identity();
    } catch (const qor::kit::KitError&) {
        identity = "unknown";  // run from a build folder, not from a launcher root
    }
    Report report(identity.substr(0, 12));
    const auto& user = launch.user_arguments;

    if (!launch.started_by_starter && user.size() == 1 && user[0] == L"--version") {
        std::printf("Qor sample launcher, version %s\n", identity.c_str());
        return 0;
    }
    if (!launch.started_by_starter && user.size() == 1 && user[0] == L"--help") {
        std::puts(
            "Usage: QorStarter.exe [--install-from <folder> [--identity <sha-256>] | --stage-next <identity>\n"
            "                       | --feed <url> --public-key <key>] [--retry-failed] [--exit-code <n>] "
            "[arguments...]\n"
            "Signals readiness and removes old versions, then installs the version in <folder>\n"
            "(or takes the installed <identity>, or downloads the release a signed feed offers),\n"
            "stages it and asks for a restart (exit 73), or exits with <n> (not 73). An update whose trial failed is "
            "not tried again without\n"
            "--retry-failed. A file named \"broken\" beside QorLauncher.exe makes it fail before readiness.");
        return 0;
    }
    if (!launch.started_by_starter) {
        std::fputs("QorLauncher.exe is started by QorStarter.exe; see --help.\n", stderr);
        return 2;
    }

    report.open_log(launch.launcher_root);
    // The notice stays set for the rest of the run, also after a later update that worked,
    // so it tells that some update failed, not that this is the version from before it.
    if (launch.after_rollback) {
        report.line("started after a rollback: an update tried earlier did not start; running version " +
                    identity.substr(0, 12));
    }
    if (file_beside_executable_exists(L"broken")) {
        report.line("this version is broken: exiting with 3 before readiness");
        return 3;
    }

    std::wstring stage_next;
    std::wstring install_from;
    std::string feed_url;
    std::string public_key;
    std::string announced;
    qor::kit::StageOptions stage_options;
    int exit_code = 0;
    std::string received;
    for (std::size_t i = 0; i < user.size(); ++i) {
        if (user[i] == L"--stage-next" && i + 1 < user.size()) {
            stage_next = user[++i];
        } else if (user[i] == L"--install-from" && i + 1 < user.size()) {
            install_from = user[++i];
        } else if (user[i] == L"--feed" && i + 1 < user.size()) {
            feed_url = utf8(user[++i]);
        } else if (user[i] == L"--public-key" && i + 1 < user.size()) {
            public_key = utf8(user[++i]);
        } else if (user[i] == L"--identity" && i + 1 < user.size()) {
            announced = utf8(user[++i]);
        } else if (user[i] == L"--retry-failed") {
            stage_options.retry_failed_update = true;
        } else if (user[i] == L"--exit-code" && i + 1 < user.size()) {
            exit_code = std::stoi(user[++i]);
        } else {
            received += " \"" + utf8(user[i]) + "\"";
        }
    }
    if (exit_code == qor::kit::kRestartExitCode) {
        report.line(
            "refusing --exit-code 73: from a ready launcher 73 asks the starter for a restart; "
            "use --stage-next <identity>");
        return 2;
    }
    qor::kit::signal_readiness(launch);
    report.line("ready; user arguments:" + (received.empty() ? std::string(" (none)") : received));

    // Once ready, and before anything is installed: a version installed but not yet
    // staged is not in launcher-state, and would go too.
    try {
        qor::kit::prune_versions(launch.launcher_root);
        report.line("pruned the versions that are neither current, staged nor this one");
    } catch (const qor::kit::KitError& error) {
        report.line(std::string("could not prune old versions: ") + error.what());
    }

    // The kit knows which update failed: an update server that offers it again is not
    // followed into the same broken build at every start.
    const std::string failed = qor::kit::failed_update(launch.launcher_root);
    if (!failed.empty()) report.line("the update " + failed.substr(0, 12) + " failed its trial");

    // The starter gives a restarted version the same arguments, so the version asked
    // for must not stage again.
    std::string next = utf8(stage_next);
    if (!install_from.empty() && !announced.empty() && announced == failed && !stage_options.retry_failed_update) {
        report.line("not installing " + announced.substr(0, 12) + " again: its trial failed (--retry-failed to try)");
    } else if (!install_from.empty()) {
        // Installing again what is installed changes nothing and gives its identity.
        next = announced.empty() ? qor::kit::install_version(launch.launcher_root, install_from)
                                 : qor::kit::install_version(launch.launcher_root, install_from, announced);
        if (next != identity) report.line("installed " + next.substr(0, 12) + " from " + utf8(install_from));
    } else if (!feed_url.empty()) {
        next = update_from_feed(report, launch.launcher_root, feed_url, public_key, stage_options);
    }
    if (!next.empty() && next != identity) {
        try {
            qor::kit::stage_version(launch.launcher_root, next, stage_options);
        } catch (const qor::kit::KitError& error) {
            report.line("not staging " + next.substr(0, 12) + ": " + error.what());
            return exit_code;
        }
        report.line("staged " + next.substr(0, 12) + "; asking for a restart (exit 73)");
        return qor::kit::kRestartExitCode;
    }
    report.line("done; exiting with " + std::to_string(exit_code));
    return exit_code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "QorLauncher.exe: %s\n", error.what());
        return 4;
    }
}
