// The file-system failure texts, formatted by our own code: byte for byte what the
// standard library's filesystem_error says, in UTF-8, and never a second failure.

#include "layout/file_queries.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "base/failure.h"
#include "base/utf8_text.h"

namespace qor {
namespace {

struct Utf8Case {
    const wchar_t* text;
    const char* utf8;
};

class Utf8Text : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Text, EncodesEveryCodePointAndReplacesLoneSurrogates) {
    EXPECT_EQ(to_utf8(GetParam().text), GetParam().utf8);
}

const Utf8Case kUtf8Cases[] = {
    {L"", ""},
    {L"C:\\runs\\r", "C:\\runs\\r"},
    {L"J\u00fcrgen \u65e5\u672c \u00e9t\u00e9", "J\xC3\xBCrgen \xE6\x97\xA5\xE6\x9C\xAC \xC3\xA9t\xC3\xA9"},
    {L"\u007f\u0080\u07ff\u0800\uffff", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
    {L"\xD83D\xDE00", "\xF0\x9F\x98\x80"},          // a pair is one code point
    {L"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},          // the last code point
    {L"a\xD800-", "a\xEF\xBF\xBD-"},                // high without low
    {L"a\xDC00", "a\xEF\xBF\xBD"},                  // low without high
    {L"\xD800", "\xEF\xBF\xBD"},                    // high at the end
    {L"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // a pair the wrong way round
};
INSTANTIATE_TEST_SUITE_P(Cases, Utf8Text, ::testing::ValuesIn(kUtf8Cases));

// What the library itself says for the same query, path and error.
std::string library_text(const char* operation, const wchar_t* path, std::uint32_t windows_error) {
    const std::error_code code = (windows_error == ERROR_FILE_NOT_FOUND || windows_error == ERROR_PATH_NOT_FOUND)
                                     ? std::make_error_code(std::errc::no_such_file_or_directory)
                                     : std::error_code(static_cast<int>(windows_error), std::system_category());
    return std::filesystem::filesystem_error(operation, std::filesystem::path(path), code).what();
}

TEST(FilesystemErrorText, SaysWhatTheLibrarySays) {
    const char* operations[] = {"file_size", "absolute", "exists"};
    const wchar_t* paths[] = {L"C:\\qor\\launcher-state", L"", L"C:\\runs\\J\u00fcrgen \u65e5\u672c \u00e9t\u00e9\\r",
                              L"\\\\?\\C:\\\xD83D\xDE00\\x"};
    const std::uint32_t errors[] = {ERROR_FILE_NOT_FOUND,    ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED,
                                    ERROR_SHARING_VIOLATION, ERROR_INVALID_NAME,   ERROR_BAD_NETPATH,
                                    ERROR_DIRECTORY,         ERROR_WRONG_DISK /* its text has inserts */,
                                    0x2000'0001u /* no text for it */};
    for (const char* operation : operations) {
        for (const wchar_t* path : paths) {
            for (std::uint32_t error : errors) {
                EXPECT_EQ(filesystem_error_text(operation, path, error), library_text(operation, path, error))
                    << operation << " " << error;
            }
        }
    }
    EXPECT_EQ(filesystem_error_text("file_size", L"C:\\x", ERROR_FILE_NOT_FOUND),
              "filesystem error: file_size: No such file or directory [C:\\x]");
}

TEST(FilesystemErrorText, NamesAPathWithALoneSurrogateInsteadOfFailingAgain) {
    // The library's own conversion throws here ("Cannot convert character sequence").
    EXPECT_EQ(filesystem_error_text("exists", L"C:\\a\xD800-b", ERROR_FILE_NOT_FOUND),
              "filesystem error: exists: No such file or directory [C:\\a\xEF\xBF\xBD-b]");
}

TEST(FilesystemErrorText, IsThrownAsTheStartersFailure) {
    try {
        throw_filesystem_error("absolute", L"C:\\x", ERROR_ACCESS_DENIED);
    } catch (const Failure& failure) {
        EXPECT_EQ(std::string(failure.what()), library_text("absolute", L"C:\\x", ERROR_ACCESS_DENIED));
        return;
    }
    ADD_FAILURE() << "no Failure thrown";
}

}  // namespace
}  // namespace qor
