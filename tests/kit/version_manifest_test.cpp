// The manifest's canonical bytes, byte for byte: the test vector of docs/protocol.md, and
// every path and text a manifest must refuse.

#include "version_manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qor/launcher_kit.h"

namespace {

using qor::kit::KitError;
using qor::kit::detail::format_manifest;
using qor::kit::detail::ManifestEntry;
using qor::kit::detail::name_problem;
using qor::kit::detail::parse_manifest;

// docs/protocol.md's test vector, hashes from sha256sum. Listed out of order on purpose.
const std::vector<ManifestEntry> kVectorEntries = {
    {"assets/\xC3\x9C"
     "ber.txt",
     6, "d1a56fde9e6f2548350d4a07601eecbb6d2fc92024f974757ace74c2e5268a12"},
    {"assets/logo.txt", 5, "84e68693496e281178406d280fe930ba381918a2d8267fa3e43c894c40be93e2"},
    {"assets-x.txt", 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"QorLauncherKit.dll", 4, "5a1f0dc9b09da1daee5b65c990c6a23d1570cda815f4647c92b3d2021f903df8"},
    {"QorLauncher.exe", 2, "9b8db510ef42b8ed54a3712636fda55a4f8cfcd5493e20b74ab00cd4f3979f2d"},
};
const std::string kVectorBytes =
    "Qor version manifest 1\n"
    "9b8db510ef42b8ed54a3712636fda55a4f8cfcd5493e20b74ab00cd4f3979f2d 2 QorLauncher.exe\n"
    "5a1f0dc9b09da1daee5b65c990c6a23d1570cda815f4647c92b3d2021f903df8 4 QorLauncherKit.dll\n"
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855 0 assets-x.txt\n"
    "84e68693496e281178406d280fe930ba381918a2d8267fa3e43c894c40be93e2 5 assets/logo.txt\n"
    "d1a56fde9e6f2548350d4a07601eecbb6d2fc92024f974757ace74c2e5268a12 6 assets/\xC3\x9C"
    "ber.txt\n";
const std::string kHash(64, '0');

std::string format_failure(std::vector<ManifestEntry> entries) {
    try {
        format_manifest(std::move(entries));
    } catch (const KitError& error) {
        return error.what();
    }
    return "";
}

std::string parse_failure(const std::string& bytes) {
    try {
        parse_manifest(bytes);
    } catch (const KitError& error) {
        return error.what();
    }
    return "";
}

TEST(VersionManifest, FormatsTheTestVectorByteForByteAndParsesItBack) {
    EXPECT_EQ(format_manifest(kVectorEntries), kVectorBytes);
    const std::vector<ManifestEntry> parsed = parse_manifest(kVectorBytes);
    ASSERT_EQ(parsed.size(), kVectorEntries.size());
    EXPECT_EQ(format_manifest(parsed), kVectorBytes);
    EXPECT_EQ(parsed.front(), kVectorEntries.back());
}

TEST(VersionManifest, NamesEveryNameAManifestCannotHold) {
    for (const char* name : {"a", "QorLauncher.exe", ".hidden", "a b", "icon", "COM0", "LPT10", "CONSOLE",
                             "\xC3\x9C"
                             "ber",
                             "\xF0\x9F\x98\x80"}) {
        EXPECT_EQ(name_problem(name), "") << name;
    }
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"", "empty name"},
        {".", "\".\" is no name"},
        {"..", "\"..\" is no name"},
        {"file.txt:stream", "\":\" names a stream or a drive"},
        {"C:", "\":\" names a stream or a drive"},
        {"a\\b", "character Windows refuses in names"},
        {"what?", "character Windows refuses in names"},
        {std::string("a\0b", 3), "control character"},
        {"tab\there", "control character"},
        {"name.", "trailing dot or space"},
        {"name ", "trailing dot or space"},
        {"CON", "device name"},
        {"nul.txt", "device name"},
        {"Com1.log", "device name"},
        {"lpt9", "device name"},
        {"aux .txt", "device name"},
        {"con.txt.bak", "device name"},
        {"\xC3", "not UTF-8"},
        {"\xC0\xAF", "not UTF-8"},          // an overlong "/"
        {"\xED\xA0\x80", "not UTF-8"},      // a surrogate
        {"\xF4\x90\x80\x80", "not UTF-8"},  // above U+10FFFF
    };
    for (const auto& [name, problem] : refused) EXPECT_EQ(name_problem(name), problem) << name;
}

TEST(VersionManifest, RefusesPathsWindowsWouldTakeForAnotherOrNone) {
    const ManifestEntry launcher{"QorLauncher.exe", 2, kHash};
    const std::vector<std::pair<std::vector<ManifestEntry>, std::string>> cases = {
        {{launcher, {"/abs.txt", 1, kHash}}, "/abs.txt (empty name)"},
        {{launcher, {"C:/x.txt", 1, kHash}}, "C:/x.txt (\":\" names a stream or a drive)"},
        {{launcher, {"a/../b", 1, kHash}}, "a/../b (\"..\" is no name)"},
        {{launcher, {"a//b", 1, kHash}}, "a//b (empty name)"},
        {{launcher, {"dir/", 1, kHash}}, "dir/ (empty name)"},
        {{launcher, {"data/NUL", 1, kHash}}, "data/NUL (device name)"},
        {{launcher, {"a", 1, "ABCDEF" + kHash.substr(6)}}, "a (bad SHA-256)"},
        {{launcher, {std::string(1025, 'a'), 1, kHash}}, "(path longer than 1024 bytes)"},
        // Windows folds case: these are one file there.
        {{launcher, {"Data/Readme.txt", 1, kHash}, {"data/README.TXT", 1, kHash}}, "two files equal ignoring case"},
        {{launcher,
          {"\xC3\x9C"
           "ber",
           1, kHash},
          {"\xC3\xBC"
           "ber",
           1, kHash}},
         "two files equal ignoring case"},
        {{launcher, {"\xD0\x96", 1, kHash}, {"\xD0\xB6", 1, kHash}}, "two files equal ignoring case"},
        {{launcher, {"qorlauncher.EXE", 1, kHash}}, "two files equal ignoring case"},
        {{launcher, {"a", 1, kHash}, {"A/b", 1, kHash}}, "a file where another path has a folder"},
        {{{"bin/QorLauncher.exe", 2, kHash}}, "no QorLauncher.exe at the top"},
    };
    for (const auto& [entries, expected] : cases) {
        const std::string failure = format_failure(entries);
        EXPECT_NE(failure.find(expected), std::string::npos) << failure;
    }
    // Letters outside the folded ranges stay apart, as distinct files.
    EXPECT_EQ(format_failure({launcher, {"\xC3\x9F", 1, kHash}, {"ss", 1, kHash}}), "");
}

TEST(VersionManifest, ParseRefusesAnythingFormatWouldNotHaveWritten) {
    const std::string magic = "Qor version manifest 1\n";
    const std::string launcher = kHash + " 2 QorLauncher.exe\n";
    const std::vector<std::string> refused = {
        "",
        "Qor version manifest 2\n" + launcher,
        "\xEF\xBB\xBF" + magic + launcher,         // a BOM
        magic + kHash + " 2 QorLauncher.exe",      // no last LF
        magic + kHash + " 2 QorLauncher.exe\r\n",  // CRLF
        magic + kHash + " 02 QorLauncher.exe\n",   // a leading zero
        magic + kHash + " +2 QorLauncher.exe\n",
        magic + kHash + " 18446744073709551616 QorLauncher.exe\n",  // 2^64
        magic + kHash + "  2 QorLauncher.exe\n",
        magic + kHash + " 2\n",
        magic + std::string(64, 'A') + " 2 QorLauncher.exe\n",
        magic + launcher + launcher,          // the same path twice
        magic + kHash + " 1 b\n" + launcher,  // out of order: "Q" sorts before "b"
        magic + launcher + "\n",
    };
    for (const std::string& bytes : refused) {
        EXPECT_TRUE(parse_failure(bytes).starts_with("Invalid version manifest")) << bytes;
    }
    EXPECT_EQ(parse_manifest(magic + kHash + " 18446744073709551615 QorLauncher.exe\n").front().size,
              18446744073709551615ULL);
    EXPECT_TRUE(parse_failure(std::string(qor::kit::detail::kManifestMaxBytes + 1, 'x')).find("16 MiB") !=
                std::string::npos);
}

}  // namespace
