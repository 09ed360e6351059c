#include "state_test_support.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace qor::test {

Path fresh_folder(const std::string& name) {
    const std::filesystem::path folder = std::filesystem::path(LR"(C:\qor-unit\state)") / name;
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder.wstring();
}

Path fresh_test_folder() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    for (char& c : name) {
        if (c == '/') c = '-';
    }
    return fresh_folder(name);
}

void write_bytes(const Path& path, std::string_view bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) ADD_FAILURE() << "cannot write " << std::filesystem::path(path).string();
}

std::string read_bytes(const Path& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool exists(const Path& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool is_folder(const Path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool nobody_holds_open(const Path& path) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, /*dwShareMode=*/0,
                                      /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                      /*hTemplateFile=*/nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(file);
    return true;
}

Path state_file(const Path& root) { return root + L"\\launcher-state"; }
Path temp_file(const Path& root) { return root + L"\\launcher-state.tmp"; }

}  // namespace qor::test
