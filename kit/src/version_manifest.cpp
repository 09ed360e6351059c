// The manifest's canonical bytes; see version_manifest.h. No system calls: a release tool
// in another language reproduces exactly what is here.

#include "version_manifest.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <set>

#include "qor/launcher_kit.h"

namespace qor::kit::detail {

namespace {

constexpr std::string_view kSeparator = "/";

// The code point at text[at], advancing at past it; nullopt for bytes that are not
// shortest-form UTF-8 of a scalar value (no surrogates, nothing above U+10FFFF).
std::optional<char32_t> next_code_point(std::string_view text, std::size_t& at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    std::size_t length = 0;
    char32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return std::nullopt;
    }
    if (text.size() - at < length) return std::nullopt;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return std::nullopt;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    constexpr std::array<char32_t, 5> kShortest = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kShortest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
    at += length;
    return code;
}

// The simple case folding this kit applies to find two names Windows would take for one:
// ASCII A-Z; Latin-1 U+00C0-U+00DE (but U+00D7); the pairs of Latin Extended-A
// U+0100-U+017F; Greek U+0391-U+03AB (but U+03A2); Cyrillic U+0400-U+042F. Anything else
// is compared as it is. Windows folds more (by its own table, per volume), so a source
// that differs only in other letters fails at the copy instead, never silently.
char32_t folded(char32_t code) {
    if (code >= U'A' && code <= U'Z') return code + 0x20;
    if (code >= 0xC0 && code <= 0xDE && code != 0xD7) return code + 0x20;
    if (code >= 0x100 && code <= 0x17F) {
        // Upper case on the even code points, except in U+0139-U+0148 and U+0179-U+017E.
        if (code == 0x130 || code == 0x131 || code == 0x138 || code == 0x149 || code == 0x17F) return code;
        if (code == 0x178) return 0xFF;
        const bool odd_upper = (code >= 0x139 && code <= 0x148) || (code >= 0x179 && code <= 0x17E);
        if (odd_upper) return (code & 1) != 0 ? code + 1 : code;
        return (code & 1) == 0 ? code + 1 : code;
    }
    if (code >= 0x391 && code <= 0x3AB && code != 0x3A2) return code + 0x20;
    if (code >= 0x400 && code <= 0x40F) return code + 0x50;
    if (code >= 0x410 && code <= 0x42F) return code + 0x20;
    return code;
}

// The path with every code point folded, as UTF-32; the path is valid UTF-8 by now.
std::u32string folded_path(std::string_view path) {
    std::u32string result;
    for (std::size_t at = 0; at < path.size();) result += folded(next_code_point(path, at).value_or(0));
    return result;
}

bool is_device_name(std::string_view name) {
    // The part before the first dot, as Windows compares it: "nul.txt" and "Com1.log" are devices.
    std::string base(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c;
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '1' && base[3] <= '9';
}

bool is_lower_hex(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

[[noreturn]] void refuse(const std::string& path, std::string_view why) {
    throw KitError("Version file cannot be held in a manifest: " + path + " (" + std::string(why) + ")");
}

[[noreturn]] void invalid(std::string_view why) { throw KitError("Invalid version manifest: " + std::string(why)); }

void check_entry(const ManifestEntry& entry) {
    if (entry.path.empty()) refuse(entry.path, "empty path");
    if (entry.path.size() > kManifestMaxPathBytes) refuse(entry.path, "path longer than 1024 bytes");
    if (entry.sha256.size() != 64 || !is_lower_hex(entry.sha256)) refuse(entry.path, "bad SHA-256");
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = entry.path.find(kSeparator, start);
        const std::string_view name =
            std::string_view(entry.path).substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::string problem = name_problem(name);
        if (!problem.empty()) refuse(entry.path, problem);
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

}  // namespace

std::string name_problem(std::string_view name) {
    if (name.empty()) return "empty name";
    if (name == ".") return "\".\" is no name";
    if (name == "..") return "\"..\" is no name";
    for (std::size_t at = 0; at < name.size();) {
        const std::optional<char32_t> code = next_code_point(name, at);
        if (!code) return "not UTF-8";
        if (*code < 0x20) return "control character";
        if (std::u32string_view(U"<>:\"/\\|?*").find(*code) != std::u32string_view::npos) {
            return *code == U':' ? "\":\" names a stream or a drive" : "character Windows refuses in names";
        }
    }
    if (name.back() == '.' || name.back() == ' ') return "trailing dot or space";
    if (is_device_name(name)) return "device name";
    return {};
}

std::string format_manifest(std::vector<ManifestEntry> entries) {
    if (entries.size() > kManifestMaxFiles) invalid("more than 100000 files");
    for (const ManifestEntry& entry : entries) check_entry(entry);
    std::sort(entries.begin(), entries.end(),
              [](const ManifestEntry& a, const ManifestEntry& b) { return a.path < b.path; });

    // Two paths Windows takes for one file, or a file where another path needs a folder.
    std::set<std::u32string> files;
    std::set<std::u32string> folders;
    bool has_launcher = false;
    for (const ManifestEntry& entry : entries) {
        const std::u32string path = folded_path(entry.path);
        if (!files.insert(path).second) refuse(entry.path, "two files equal ignoring case");
        for (std::size_t slash = path.find(U'/'); slash != std::u32string::npos; slash = path.find(U'/', slash + 1)) {
            folders.insert(path.substr(0, slash));
        }
        has_launcher = has_launcher || path == U"qorlauncher.exe";
    }
    for (const std::u32string& folder : folders) {
        if (files.contains(folder)) invalid("a file where another path has a folder");
    }
    if (!has_launcher) invalid("no QorLauncher.exe at the top");

    std::string bytes(kManifestMagicLine);
    bytes += '\n';
    for (const ManifestEntry& entry : entries) {
        bytes += entry.sha256;
        bytes += ' ';
        bytes += std::to_string(entry.size);
        bytes += ' ';
        bytes += entry.path;
        bytes += '\n';
        if (bytes.size() > kManifestMaxBytes) invalid("longer than 16 MiB");
    }
    return bytes;
}

std::vector<ManifestEntry> parse_manifest(std::string_view bytes) {
    if (bytes.size() > kManifestMaxBytes) invalid("longer than 16 MiB");
    if (!bytes.starts_with(kManifestMagicLine) || bytes.substr(kManifestMagicLine.size(), 1) != "\n") {
        invalid("no \"Qor version manifest 1\" line");
    }
    if (bytes.back() != '\n') invalid("last line does not end in LF");
    std::vector<ManifestEntry> entries;
    std::size_t at = kManifestMagicLine.size() + 1;
    while (at < bytes.size()) {
        const std::size_t end = bytes.find('\n', at);
        const std::string_view line = bytes.substr(at, end - at);
        at = end + 1;
        if (entries.size() == kManifestMaxFiles) invalid("more than 100000 files");
        const std::size_t first = line.find(' ');
        const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
        if (second == std::string_view::npos) invalid("a line without hash, size and path");
        ManifestEntry entry;
        entry.sha256 = line.substr(0, first);
        const std::string_view size = line.substr(first + 1, second - first - 1);
        const auto [end_of_size, error] = std::from_chars(size.data(), size.data() + size.size(), entry.size);
        if (size.empty() || error != std::errc() || end_of_size != size.data() + size.size() ||
            (size.size() > 1 && size.front() == '0')) {
            invalid("a size that is not canonical decimal");
        }
        entry.path = line.substr(second + 1);
        entries.push_back(std::move(entry));
    }
    // Whatever format_manifest would write otherwise (order, names, hex case, duplicates)
    // is refused by comparing with its own bytes.
    std::string canonical;
    try {
        canonical = format_manifest(entries);
    } catch (const KitError& error) {
        invalid(error.what());
    }
    if (canonical != bytes) invalid("not in canonical order");
    return entries;
}

}  // namespace qor::kit::detail
