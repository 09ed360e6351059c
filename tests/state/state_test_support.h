#pragma once
// Identities, expected file texts and fresh folders on C: for the state tests.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/path_grammar.h"
#include "state/launcher_state.h"

namespace qor::test {

inline const std::string kIdA = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
inline const std::string kIdB = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";
inline const std::string kInvalidState = "Invalid launcher state; restore the launcher package";

// Written out byte by byte, independent of the code under test.
inline std::string settled_text(const std::string& current) { return "Qor launcher 1\n" + current + "\n-\n0\n"; }
inline std::string staged_text(const std::string& current, const std::string& staged, bool trial) {
    return "Qor launcher 1\n" + current + "\n" + staged + "\n" + (trial ? "1" : "0") + "\n";
}

// Every kind of record with the exact file text written for it.
struct KindCase {
    const char* kind;
    LauncherState record;
    std::string text;
};
inline std::vector<KindCase> every_record_kind() {
    return {{"settled", {kIdA, "", false}, settled_text(kIdA)},
            {"staged", {kIdA, kIdB, false}, staged_text(kIdA, kIdB, false)},
            {"on_trial", {kIdA, kIdB, true}, staged_text(kIdA, kIdB, true)},
            {"staged_equal_current", {kIdB, kIdB, false}, staged_text(kIdB, kIdB, false)},
            {"trial_of_current", {kIdB, kIdB, true}, staged_text(kIdB, kIdB, true)}};
}

// The identity with one byte replaced.
inline std::string with_byte(std::string id, std::size_t index, char byte) {
    id[index] = byte;
    return id;
}

// A new, empty folder C:\qor-unit\state\<name>, removed first if it is there.
Path fresh_folder(const std::string& name);
// A folder named after the running test.
Path fresh_test_folder();

void write_bytes(const Path& path, std::string_view bytes);
// The whole content, or "<missing>" when the file cannot be opened.
std::string read_bytes(const Path& path);
bool exists(const Path& path);
bool is_folder(const Path& path);
// True when nobody holds the file open: an open without sharing succeeds.
bool nobody_holds_open(const Path& path);

Path state_file(const Path& root);
Path temp_file(const Path& root);

}  // namespace qor::test
