#pragma once
// The starter's entry: its own command line, its launcher root, and the one
// place where failures become an error box and exit code 1.

#include <optional>
#include <string_view>

#include "base/path_grammar.h"
#include "process/command_line.h"

namespace qor {

inline constexpr const char* kErrorCaption = "Qor Launcher";
inline constexpr std::size_t kModulePathBufferUnits = 32'768;

// What the command line asks for: the bootstrap version answer, or a start with
// the forwarded arguments. Throws Failure "Reserved launcher argument".
struct EntryRequest {
    bool answer_bootstrap_version = false;
    ArgumentList forwarded;
};
EntryRequest read_starter_arguments(int argc, const wchar_t* const* argv);

// The folder of the starter's own executable. Throws "Cannot locate launcher starter".
Path locate_launcher_root();

// The whole entry; returns the process exit code.
int run_entry(int argc, const wchar_t* const* argv);

}  // namespace qor
