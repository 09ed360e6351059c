// The feed's grammar and limits, the public key's text, the release folder's URL and the
// release record, without a network: every way a feed can be malformed is one table row.

#include "update_feed.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "qor/launcher_kit.h"

namespace {

using qor::kit::ErrorKind;
using qor::kit::KitError;
using namespace qor::kit::detail;

const std::string kIdentity(64, 'a');
const std::string kZeroSignature = std::string(86, 'A') + "==";  // 64 zero bytes

std::string head(std::string_view notes = "hello") {
    return "Qor update feed 1\nchannel stable\nrelease 7\nidentity " + kIdentity + "\nsize 12\nnotes " +
           std::to_string(notes.size()) + "\n" + std::string(notes) + "\n";
}

std::string feed(std::string_view notes = "hello") { return head(notes) + "signature " + kZeroSignature + "\n"; }

std::string replaced(std::string text, std::string_view from, std::string_view to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

TEST(UpdateFeed, ReadsEveryFieldAndSignsEverythingBeforeTheSignature) {
    const Feed parsed = parse_feed(feed("line one\nline two"));
    EXPECT_EQ(parsed.channel, "stable");
    EXPECT_EQ(parsed.release, 7u);
    EXPECT_EQ(parsed.identity, kIdentity);
    EXPECT_EQ(parsed.size, 12u);
    EXPECT_EQ(parsed.notes, "line one\nline two");
    EXPECT_EQ(parsed.signed_bytes, head("line one\nline two"));
    EXPECT_EQ(parsed.signature, EcdsaSignature{});
    EXPECT_EQ(parse_feed(feed("")).notes, "");
    EXPECT_EQ(parse_feed(replaced(feed(), "release 7", "release 999999999999999999")).release, kReleaseMax);
    // The longest notes and channel fit the limits.
    EXPECT_EQ(
        parse_feed(replaced(feed(std::string(kFeedMaxNotesBytes, 'n')), "stable", std::string(64, 'c'))).notes.size(),
        kFeedMaxNotesBytes);
}

struct BadFeed {
    const char* row;
    std::string bytes;
};

class MalformedFeed : public testing::TestWithParam<BadFeed> {};

TEST_P(MalformedFeed, IsRefusedAsAnInvalidUpdate) {
    try {
        parse_feed(GetParam().bytes);
        FAIL() << "accepted: " << GetParam().row;
    } catch (const KitError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::invalid_update) << GetParam().row;
        EXPECT_TRUE(std::string(error.what()).starts_with("Invalid update feed: ")) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MalformedFeed,
    testing::Values(
        BadFeed{"another format", replaced(feed(), "feed 1", "feed 2")},
        BadFeed{"CR LF", replaced(replaced(feed(), "1\n", "1\r\n"), "stable\n", "stable\r\n")},
        BadFeed{"a byte order mark", "\xEF\xBB\xBF" + feed()},
        BadFeed{"channel in capitals", replaced(feed(), "stable", "Stable")},
        BadFeed{"channel of 65 characters", replaced(feed(), "stable", std::string(65, 'c'))},
        BadFeed{"release 0", replaced(feed(), "release 7", "release 0")},
        BadFeed{"release with a leading zero", replaced(feed(), "release 7", "release 07")},
        BadFeed{"release past the largest", replaced(feed(), "release 7", "release 1000000000000000000")},
        BadFeed{"identity in capitals", replaced(feed(), kIdentity, std::string(64, 'A'))},
        BadFeed{"identity of 63 digits", replaced(feed(), kIdentity, std::string(63, 'a'))},
        BadFeed{"size past 64 bits", replaced(feed(), "size 12", "size 18446744073709551616")},
        BadFeed{"notes longer than allowed", replaced(feed(), "notes 5", "notes 65537")},
        BadFeed{"notes shorter than said", replaced(feed(), "notes 5", "notes 9")},
        BadFeed{"notes longer than said", replaced(feed(), "notes 5", "notes 3")},
        BadFeed{"notes not UTF-8", feed("hell\xFF")}, BadFeed{"notes with a surrogate", feed("\xED\xA0\x80")},
        BadFeed{"fields out of order", replaced(feed(), "channel stable\nrelease 7", "release 7\nchannel stable")},
        BadFeed{"no LF after the signature", feed().substr(0, feed().size() - 1)},
        BadFeed{"signature of 63 bytes", replaced(feed(), kZeroSignature, std::string(84, 'A'))},
        BadFeed{"signature not base64", replaced(feed(), kZeroSignature, std::string(86, '!') + "==")},
        BadFeed{"bytes after the signature", feed() + "\n"},
        BadFeed{"oversized", feed(std::string(kFeedMaxNotesBytes, 'n')) + std::string(kFeedMaxBytes, '\n')}),
    [](const testing::TestParamInfo<BadFeed>& row) {
        std::string name;
        for (const char c : std::string(row.param.row)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(UpdateFeed, Base64IsStrict) {
    EXPECT_EQ(decode_base64(""), "");
    EXPECT_EQ(decode_base64("Zg=="), "f");
    EXPECT_EQ(decode_base64("Zm8="), "fo");
    EXPECT_EQ(decode_base64("Zm9v+/8="), std::string("foo\xFB\xFF"));
    for (const char* bad : {"Zg=", "Z===", "Zg==Zg==", "Zm9v\n", "Zm 9v", "=Zm9"}) {
        EXPECT_EQ(decode_base64(bad), std::nullopt) << bad;
    }
}

TEST(UpdateFeed, TheReleaseFolderIsWhereTheFeedLies) {
    EXPECT_EQ(release_folder_url("http://127.0.0.1:8080/stable.feed"), "http://127.0.0.1:8080/");
    EXPECT_EQ(release_folder_url("https://host/a/b/beta.feed"), "https://host/a/b/");
    EXPECT_EQ(release_folder_url("https://host/r/stable.feed?token=a/b"), "https://host/r/");
    for (const char* bad : {"ftp://host/stable.feed", "http:///stable.feed", "http://host", "http://host/a b.feed",
                            "file:///C:/stable.feed", "http://h\xC3\xB6st/stable.feed"}) {
        try {
            release_folder_url(bad);
            FAIL() << bad;
        } catch (const KitError& error) {
            EXPECT_EQ(error.kind(), ErrorKind::invalid_argument) << bad;
        }
    }
}

}  // namespace
