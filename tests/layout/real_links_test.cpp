// Path inspection over real folders under Wine. make_links.sh lays the trees
// with Unix symbolic links to folders, which Wine reports as reparse points
// (a Unix link to a file shows as a plain file there, so only folder links
// can stand for redirects in these tests).

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "base/failure.h"
#include "layout/path_safety.h"
#include "layout/version_layout.h"

namespace qor {
namespace {

const std::string kIdentity = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kRedirects = "Launcher paths cannot use redirects";

class RealLinks : public ::testing::Test {
protected:
    void SetUp() override {
        const wchar_t* base = _wgetenv(L"QOR_LAYOUT_LINKS");
        ASSERT_NE(base, nullptr) << "run through CTest: its fixture lays the folders and sets QOR_LAYOUT_LINKS";
        base_ = base;
        ASSERT_EQ(query_file_attributes(root(L"plain")).attributes & 0x10u, 0x10u) << "fixture folders missing";
    }

    Path root(const wchar_t* tree) const { return base_ + L"\\" + tree + L"\\Starter"; }

    static std::string inspect_failure(const Path& path) {
        try {
            inspect_launcher_path(path);
        } catch (const Failure& failure) {
            return failure.what();
        }
        return "";
    }

    static std::string version_failure(const Path& launcher_root, const std::string& identity) {
        try {
            version_directory_path(launcher_root, identity);
        } catch (const Failure& failure) {
            return failure.what();
        }
        return "";
    }

    Path base_;
};

TEST_F(RealLinks, PlainFoldersAndMissingFilesPass) {
    const Path plain = root(L"plain");
    EXPECT_EQ(inspect_failure(plain), "");
    EXPECT_EQ(inspect_failure(plain + LR"(\)"), "");
    EXPECT_EQ(inspect_failure(plain + LR"(\starter.lock)"), "");
    EXPECT_EQ(inspect_failure(plain + LR"(\no\such\folder\launcher-state)"), "");
    EXPECT_EQ(version_failure(plain, kIdentity), "");
    EXPECT_EQ(inspect_failure(plain + LR"(\versions\)" + to_path_text(kIdentity) + LR"(\QorLauncher.exe)"), "");
}

TEST_F(RealLinks, LinkAboveTheRootRefusesEverythingBelowIt) {
    const Path linked = root(L"above");
    EXPECT_EQ(inspect_failure(linked), kRedirects);
    EXPECT_EQ(inspect_failure(linked + LR"(\launcher-state)"), kRedirects);
    EXPECT_EQ(inspect_failure(base_ + LR"(\above)"), kRedirects);
    EXPECT_EQ(version_failure(linked, kIdentity), kRedirects);
    // The same folders reached without the link are fine.
    EXPECT_EQ(inspect_failure(root(L"elsewhere") + LR"(\launcher-state)"), "");
}

TEST_F(RealLinks, InvalidIdentityFailsBeforeTheRootIsExamined) {
    EXPECT_EQ(version_failure(root(L"above"), kIdentity.substr(1)), "Invalid launcher version identity");
}

TEST_F(RealLinks, LinkedVersionsFolderRefusesEveryVersionDirectory) {
    const Path linked = root(L"versions-link");
    EXPECT_EQ(inspect_failure(linked), "");
    EXPECT_EQ(inspect_failure(linked + LR"(\launcher-state)"), "");
    EXPECT_EQ(inspect_failure(linked + LR"(\versions)"), kRedirects);
    EXPECT_EQ(version_failure(linked, kIdentity), kRedirects);
    EXPECT_EQ(version_failure(linked, std::string(64, 'e')), kRedirects);  // missing below the link
}

TEST_F(RealLinks, LinkAsTheLastElementIsRefused) {
    const Path linked = root(L"last");
    EXPECT_EQ(inspect_failure(linked), "");
    EXPECT_EQ(inspect_failure(linked + LR"(\versions)"), "");
    EXPECT_EQ(inspect_failure(linked + LR"(\launcher-state)"), kRedirects);
    EXPECT_EQ(version_failure(linked, kIdentity), kRedirects);
    EXPECT_EQ(version_failure(linked, std::string(64, 'e')), "");  // a sibling that is no link
}

TEST_F(RealLinks, RootUnderAMountPointIsRefused) {
    // Wine reports Z:\ (the Unix root, a mount point) as a reparse point.
    EXPECT_EQ(inspect_failure(LR"(Z:\tmp\Starter)"), kRedirects);
}

}  // namespace
}  // namespace qor
