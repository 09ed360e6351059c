// Version identities and the paths of the version folders.

#include "layout/version_layout.h"

#include <gtest/gtest.h>

#include <string>

#include "base/failure.h"

namespace qor {
namespace {

const std::string kIdentity = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string with_byte(std::size_t index, char byte) {
    std::string identity = kIdentity;
    identity[index] = byte;
    return identity;
}

TEST(VersionIdentity, AcceptsExactlySixtyFourLowerCaseHexDigits) {
    EXPECT_TRUE(is_valid_version_identity(kIdentity));
    EXPECT_TRUE(is_valid_version_identity(std::string(64, '0')));
    EXPECT_TRUE(is_valid_version_identity(std::string(64, 'f')));
    for (const char digit : std::string("0123456789abcdef")) {
        EXPECT_TRUE(is_valid_version_identity(with_byte(63, digit))) << digit;
    }
}

TEST(VersionIdentity, RefusesAnyOtherLength) {
    for (const std::size_t length : {0u, 1u, 63u, 65u, 128u}) {
        EXPECT_FALSE(is_valid_version_identity(std::string(length, 'a'))) << length;
    }
    EXPECT_FALSE(is_valid_version_identity(kIdentity + "\n"));
    std::string padded(1, ' ');
    padded.append(kIdentity, 1, 62).push_back(' ');
    EXPECT_FALSE(is_valid_version_identity(padded));
}

TEST(VersionIdentity, RefusesAnyOtherByteAtAnyPlace) {
    const std::string others = std::string("ABCDEFg -/\\.:G\x7f\xc3\xa9", 17) + std::string(1, '\0');
    for (const char byte : others) {
        for (const std::size_t index : {0u, 31u, 63u}) {
            EXPECT_FALSE(is_valid_version_identity(with_byte(index, byte)))
                << "byte " << static_cast<int>(static_cast<unsigned char>(byte)) << " at " << index;
        }
    }
}

std::string failure_of(const Path& root, const std::string& identity) {
    try {
        version_directory_path(root, identity);
    } catch (const Failure& failure) {
        return failure.what();
    }
    return "";
}

TEST(VersionDirectory, InvalidIdentityFails) {
    for (const std::string& identity : {with_byte(5, 'A'), kIdentity.substr(1), kIdentity + "0", std::string()}) {
        EXPECT_EQ(failure_of(LR"(C:\qor-unit\layout-version)", identity), "Invalid launcher version identity")
            << identity;
    }
}

TEST(VersionDirectory, JoinsRootVersionsAndIdentityEvenWhenMissing) {
    const Path id = to_path_text(kIdentity);
    EXPECT_EQ(version_directory_path(LR"(C:\qor-unit\layout-version\Starter)", kIdentity),
              LR"(C:\qor-unit\layout-version\Starter\versions\)" + id);
    // No doubled separator after a root that ends in one.
    EXPECT_EQ(version_directory_path(LR"(C:\qor-unit\layout-version\Starter\)", kIdentity),
              LR"(C:\qor-unit\layout-version\Starter\versions\)" + id);
    EXPECT_EQ(version_directory_path(LR"(C:\)", kIdentity), LR"(C:\versions\)" + id);
    // The path comes back as built, not in the normal form the inspection used.
    EXPECT_EQ(version_directory_path(LR"(C:/qor-unit/x/../layout-version)", kIdentity),
              LR"(C:/qor-unit/x/../layout-version\versions\)" + id);
}

TEST(VersionDirectory, ExecutableLiesInsideTheVersionFolder) {
    EXPECT_EQ(kLauncherExecutableName, "QorLauncher.exe");
    EXPECT_EQ(launcher_executable_path(LR"(C:\r\versions\)" + to_path_text(kIdentity)),
              LR"(C:\r\versions\)" + to_path_text(kIdentity) + LR"(\QorLauncher.exe)");
}

}  // namespace
}  // namespace qor
