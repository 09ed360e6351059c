#include "update_feed.h"

#include <charconv>
#include <vector>

#include "qor/launcher_kit.h"

namespace qor::kit::detail {

namespace {

constexpr std::string_view kRecordMagicLine = "Qor release record 1";
constexpr std::string_view kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kSignatureBase64Length = 88;
constexpr std::size_t kDecimalMaxDigits = 20;

[[noreturn]] void invalid_feed(std::string_view why) {
    throw KitError("Invalid update feed: " + std::string(why), ErrorKind::invalid_update);
}

// Decimal without leading zeros or sign, fitting 64 bits.
std::optional<std::uint64_t> parse_decimal(std::string_view text) {
    if (text.empty() || text.size() > kDecimalMaxDigits || (text.size() > 1 && text[0] == '0')) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Reads "<key> <value>\n" at the front of rest and advances past it.
std::string_view take_field(std::string_view& rest, std::string_view key) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) invalid_feed("it ends before the line \"" + std::string(key) + "\"");
    const std::string_view line = rest.substr(0, end);
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ' ') {
        invalid_feed("the line \"" + std::string(key) + " ...\" was expected");
    }
    rest.remove_prefix(end + 1);
    return line.substr(key.size() + 1);
}

bool is_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        std::uint32_t point = lead;
        if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07u;
        } else if (lead >= 0xE0) {
            length = 3;
            point = lead & 0x0Fu;
        } else if (lead >= 0xC2 && lead < 0xE0) {
            length = 2;
            point = lead & 0x1Fu;
        } else if (lead >= 0x80) {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u) return false;
            point = (point << 6) | (next & 0x3Fu);
        }
        // Overlong forms, surrogates and points past U+10FFFF are no UTF-8.
        if ((length == 3 && point < 0x800) || (length == 4 && (point < 0x10000 || point > 0x10FFFF)) ||
            (point >= 0xD800 && point <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace

bool is_valid_channel(std::string_view channel) {
    if (channel.empty() || channel.size() > kChannelMaxLength) return false;
    for (std::size_t i = 0; i < channel.size(); ++i) {
        const char c = channel[i];
        const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!alphanumeric && (i == 0 || (c != '.' && c != '_' && c != '-'))) return false;
    }
    return true;
}

Feed parse_feed(std::string_view bytes) {
    if (bytes.size() > kFeedMaxBytes) invalid_feed("it is larger than " + std::to_string(kFeedMaxBytes) + " bytes");
    std::string_view rest = bytes;
    if (!rest.starts_with(std::string(kFeedMagicLine) + "\n")) invalid_feed("it does not begin with its format line");
    rest.remove_prefix(kFeedMagicLine.size() + 1);

    Feed feed;
    feed.channel = std::string(take_field(rest, "channel"));
    if (!is_valid_channel(feed.channel)) invalid_feed("bad channel name");
    const std::optional<std::uint64_t> release = parse_decimal(take_field(rest, "release"));
    if (!release || *release == 0 || *release > kReleaseMax) invalid_feed("bad release number");
    feed.release = *release;
    feed.identity = std::string(take_field(rest, "identity"));
    if (!is_valid_version_identity(feed.identity)) invalid_feed("bad identity");
    const std::optional<std::uint64_t> size = parse_decimal(take_field(rest, "size"));
    if (!size) invalid_feed("bad size");
    feed.size = *size;
    const std::optional<std::uint64_t> notes_size = parse_decimal(take_field(rest, "notes"));
    if (!notes_size || *notes_size > kFeedMaxNotesBytes) invalid_feed("bad length of the notes");
    if (rest.size() < *notes_size + 1) invalid_feed("it ends inside the notes");
    feed.notes = std::string(rest.substr(0, *notes_size));
    if (!is_utf8(feed.notes)) invalid_feed("the notes are not UTF-8");
    rest.remove_prefix(*notes_size);
    if (rest[0] != '\n') invalid_feed("the notes are longer than their length says");
    rest.remove_prefix(1);
    feed.signed_bytes = std::string(bytes.substr(0, bytes.size() - rest.size()));

    const std::string_view encoded = take_field(rest, "signature");
    if (!rest.empty()) invalid_feed("bytes follow the signature");
    const std::optional<std::string> signature =
        encoded.size() == kSignatureBase64Length ? decode_base64(encoded) : std::nullopt;
    if (!signature || signature->size() != feed.signature.size())
        invalid_feed("the signature is not 64 bytes of base64");
    std::copy(signature->begin(), signature->end(), feed.signature.begin());
    return feed;
}

std::optional<std::string> decode_base64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t at = 0; at < text.size(); at += 4) {
        std::uint32_t group = 0;
        std::size_t padding = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = text[at + k];
            const bool last_group = at + 4 == text.size();
            if (c == '=' && last_group && k >= 2 && (k == 3 || text[at + 3] == '=')) {
                ++padding;
                group <<= 6;
                continue;
            }
            const std::size_t value = kBase64Alphabet.find(c);
            if (value == std::string_view::npos || padding > 0) return std::nullopt;
            group = (group << 6) | static_cast<std::uint32_t>(value);
        }
        const char decoded[3] = {static_cast<char>(group >> 16), static_cast<char>((group >> 8) & 0xFFu),
                                 static_cast<char>(group & 0xFFu)};
        bytes.append(decoded, 3 - padding);
    }
    return bytes;
}

EcdsaPublicKey parse_public_key(std::string_view text) {
    const std::optional<std::string> bytes = decode_base64(text);
    EcdsaPublicKey key{};
    if (!bytes || bytes->size() != key.size()) {
        throw KitError("Invalid public key: base64 of the 64 bytes X||Y of an ECDSA P-256 key expected",
                       ErrorKind::invalid_argument);
    }
    std::copy(bytes->begin(), bytes->end(), key.begin());
    return key;
}

std::string release_folder_url(std::string_view feed_url) {
    const auto refuse = [&](std::string_view why) -> std::string {
        throw KitError("Invalid feed URL: " + std::string(why), ErrorKind::invalid_argument);
    };
    std::size_t scheme = 0;
    if (feed_url.starts_with("http://")) {
        scheme = 7;
    } else if (feed_url.starts_with("https://")) {
        scheme = 8;
    } else {
        return refuse("http:// or https:// expected");
    }
    for (const char c : feed_url) {
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
            return refuse("it holds a blank, a control or a non-ASCII character");
        }
    }
    const std::string_view path_and_more = feed_url.substr(scheme);
    const std::size_t host_end = path_and_more.find_first_of("/?#");
    if (host_end == 0) return refuse("no host");
    if (host_end == std::string_view::npos) return refuse("no path to a feed");
    const std::size_t query = feed_url.find_first_of("?#", scheme);
    const std::size_t last_slash = feed_url.rfind('/', query == std::string_view::npos ? feed_url.size() : query);
    if (last_slash < scheme + host_end) return refuse("no path to a feed");
    return std::string(feed_url.substr(0, last_slash + 1));
}

std::optional<std::uint64_t> content_range_start(std::string_view value) {
    if (!value.starts_with("bytes ")) return std::nullopt;
    value.remove_prefix(6);
    const std::size_t dash = value.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    return parse_decimal(value.substr(0, dash));
}

ReleaseRecord parse_release_record(std::string_view bytes) {
    ReleaseRecord record;
    if (!bytes.starts_with(std::string(kRecordMagicLine) + "\n")) return {};
    bytes.remove_prefix(kRecordMagicLine.size() + 1);
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        if (end == std::string_view::npos) return {};
        const std::string_view line = bytes.substr(0, end);
        bytes.remove_prefix(end + 1);
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) return {};
        const std::string_view channel = line.substr(0, space);
        const std::optional<std::uint64_t> release = parse_decimal(line.substr(space + 1));
        if (!is_valid_channel(channel) || !release || *release == 0 || *release > kReleaseMax) return {};
        if (!record.emplace(std::string(channel), *release).second) return {};
    }
    return record;
}

std::string format_release_record(const ReleaseRecord& record) {
    std::string bytes = std::string(kRecordMagicLine) + "\n";
    for (const auto& [channel, release] : record) bytes += channel + " " + std::to_string(release) + "\n";
    return bytes;
}

}  // namespace qor::kit::detail
