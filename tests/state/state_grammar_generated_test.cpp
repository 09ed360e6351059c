// Random and mutated state files through the reader, each verdict checked
// against an independent reading of the byte layout: a valid file is 83, 84,
// 146 or 147 bytes with every byte in its fixed place.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "state/launcher_state.h"

namespace qor {
namespace {

bool all_lower_hex(std::string_view text) {
    for (const char c : text) {
        const bool digit = c >= '0' && c <= '9';
        const bool letter = c >= 'a' && c <= 'f';
        if (!digit && !letter) return false;
    }
    return true;
}

// Offsets: magic 0..13, LF 14, current 15..78, LF 79; then either "-" 80, LF 81,
// "0" 82, LF 83, or staged 80..143, LF 144, trial 145, LF 146. The final LF may be missing.
std::optional<LauncherState> expected_verdict(std::string_view b) {
    const std::size_t n = b.size();
    if (n != 83 && n != 84 && n != 146 && n != 147) return std::nullopt;
    if (b.substr(0, 14) != "Qor launcher 1" || b[14] != '\n') return std::nullopt;
    if (!all_lower_hex(b.substr(15, 64)) || b[79] != '\n') return std::nullopt;
    LauncherState state;
    state.current_version = std::string(b.substr(15, 64));
    if (n <= 84) {
        if (b[80] != '-' || b[81] != '\n' || b[82] != '0') return std::nullopt;
        if (n == 84 && b[83] != '\n') return std::nullopt;
        return state;
    }
    if (!all_lower_hex(b.substr(80, 64)) || b[144] != '\n') return std::nullopt;
    if (b[145] != '0' && b[145] != '1') return std::nullopt;
    if (n == 147 && b[146] != '\n') return std::nullopt;
    state.staged_version = std::string(b.substr(80, 64));
    state.trial_pending = b[145] == '1';
    return state;
}

TEST(ExpectedVerdict, AgreesWithHandWrittenFiles) {
    // Guards the checker itself, so that agreement below means something.
    const std::string a(64, 'a');
    const std::string b(64, '9');
    EXPECT_TRUE(expected_verdict("Qor launcher 1\n" + a + "\n-\n0\n"));
    EXPECT_TRUE(expected_verdict("Qor launcher 1\n" + a + "\n-\n0"));
    EXPECT_TRUE(expected_verdict("Qor launcher 1\n" + a + "\n" + b + "\n1\n"));
    EXPECT_FALSE(expected_verdict("Qor launcher 1\n" + a + "\n-\n1\n"));
    EXPECT_FALSE(expected_verdict("Qor launcher 1\n" + a + "\n-\n0\n\n"));
    EXPECT_FALSE(expected_verdict("Qor launcher 1\n" + a + "\nA" + b.substr(1) + "\n1\n"));
    EXPECT_FALSE(expected_verdict("Qor launcher 1\r\n" + a + "\n-\n0"));
}

class Generator {
public:
    explicit Generator(std::uint64_t seed) : random_(seed) {}

    std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_); }
    bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }

    std::string identity() {
        std::string id(64, '0');
        for (char& c : id) c = "0123456789abcdef"[below(16)];
        return id;
    }

    char interesting_byte() {
        static const std::string pool = std::string("\n\r-01aAfFgG Q\t\xEF\xBB\xBF\x7f", 19) + std::string(1, '\0');
        return chance(80) ? pool[below(pool.size())] : static_cast<char>(below(256));
    }

    std::string valid_file() {
        std::string text = "Qor launcher 1\n" + identity() + "\n";
        switch (below(3)) {
            case 0: text += "-\n0\n"; break;
            case 1: text += identity() + "\n0\n"; break;
            default: text += identity() + "\n1\n"; break;
        }
        if (chance(30)) text.pop_back();
        return text;
    }

    std::string random_file() {
        std::string text(below(171), ' ');
        for (char& c : text) c = interesting_byte();
        return text;
    }

    void mutate(std::string& text) {
        const std::size_t at = text.empty() ? 0 : below(text.size());
        switch (below(12)) {
            case 0:  // flip one byte
                if (!text.empty()) text[at] = interesting_byte();
                break;
            case 1:  // insert
                text.insert(text.begin() + static_cast<std::ptrdiff_t>(below(text.size() + 1)), interesting_byte());
                break;
            case 2:  // delete
                if (!text.empty()) text.erase(at, 1);
                break;
            case 3:  // one LF becomes CR LF
                if (const std::size_t lf = text.find('\n', at); lf != std::string::npos) text.insert(lf, 1, '\r');
                break;
            case 4:  // truncate
                text.resize(below(text.size() + 1));
                break;
            case 5:  // extend
                for (std::size_t i = below(20) + 1; i > 0; --i) text += interesting_byte();
                break;
            case 6:  // another hex digit, often keeping the file valid
                if (!text.empty()) text[at] = "0123456789abcdef"[below(16)];
                break;
            case 7:  // the trial flag
                if (text.size() >= 2) text[text.back() == '\n' ? text.size() - 2 : text.size() - 1] = chance(50) ? '1' : '0';
                break;
            case 8:  // line 3 replaced by the dash or an identity
            {
                const std::size_t first = text.find('\n');
                const std::size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
                const std::size_t third = second == std::string::npos ? second : text.find('\n', second + 1);
                if (third != std::string::npos) text.replace(second + 1, third - second - 1, chance(50) ? "-" : identity());
                break;
            }
            case 9:  // upper-case a letter
                for (std::size_t i = at; i < text.size(); ++i) {
                    if (text[i] >= 'a' && text[i] <= 'f') {
                        text[i] = static_cast<char>(text[i] - 'a' + 'A');
                        break;
                    }
                }
                break;
            case 10:  // drop or add the final LF
                if (!text.empty() && text.back() == '\n') text.pop_back();
                else text += '\n';
                break;
            default:  // every LF swapped for CR LF, or for CR alone
            {
                const bool pair = chance(50);
                std::string out;
                for (const char c : text) {
                    if (c == '\n') out += pair ? "\r\n" : "\r";
                    else out += c;
                }
                text = out;
                break;
            }
        }
    }

private:
    std::mt19937_64 random_;
};

std::string escaped(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && c != '\\') {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        }
    }
    return out;
}

TEST(GeneratedStateFiles, ReaderAgreesWithTheByteLayoutOnEveryFile) {
    std::uint64_t seed = 20261208;
    if (const char* text = std::getenv("QOR_STATE_SEED")) seed = std::strtoull(text, nullptr, 10);
    Generator generator(seed);

    constexpr std::size_t kFiles = 120000;
    std::size_t accepted = 0;
    std::size_t disagreements = 0;
    for (std::size_t i = 0; i < kFiles; ++i) {
        std::string file;
        if (generator.chance(10)) {
            file = generator.random_file();
        } else {
            file = generator.valid_file();
            // A quarter stay valid as generated; the rest take one to four mutations.
            const std::size_t mutations = generator.chance(25) ? 0 : generator.below(4) + 1;
            for (std::size_t m = 0; m < mutations; ++m) generator.mutate(file);
        }
        const std::optional<LauncherState> expected = expected_verdict(file);
        const std::optional<LauncherState> actual = parse_launcher_state(file);
        if (expected) ++accepted;
        if (expected != actual && ++disagreements <= 5) {
            ADD_FAILURE() << "file " << i << " \"" << escaped(file) << "\": expected "
                          << (expected ? "accepted" : "refused") << ", reader " << (actual ? "accepted" : "refused")
                          << (expected && actual ? " with another record" : "");
        }
    }
    std::printf("generated state files (seed %llu): tried %zu, accepted %zu, refused %zu\n",
                static_cast<unsigned long long>(seed), kFiles, accepted, kFiles - accepted);
    EXPECT_EQ(disagreements, 0u);
    // Both verdicts must be well exercised for the agreement to mean anything.
    EXPECT_GT(accepted, kFiles / 10);
    EXPECT_GT(kFiles - accepted, kFiles / 2);
}

}  // namespace
}  // namespace qor
