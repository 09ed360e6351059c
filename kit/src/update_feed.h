#pragma once
// The bytes of update delivery that need no network or file system: the signed feed, the
// public key's text, the release folder's URLs and the kit's release record. Pure, so that
// every limit is tested directly. Internal to the kit.
//
// A feed, exactly (each line ends in one LF; no BOM, no CR):
//   Qor update feed 1
//   channel <name>            1-64 characters of a-z 0-9 . _ -, the first a letter or digit
//   release <n>               decimal 1 to 999999999999999999, no leading zeros
//   identity <identity>       64 characters of 0-9a-f: the SHA-256 of the version's manifest
//   size <n>                  decimal, no leading zeros: all of the version's files in bytes
//   notes <n>                 the byte count of the notes, at most 65536
//   <notes>                   exactly that many bytes of UTF-8, then one LF
//   signature <base64>        88 characters: the 64 bytes r||s of ECDSA P-256 over SHA-256
// The signed bytes are every byte before "signature": from "Qor" through the LF after the notes.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace qor::kit::detail {

inline constexpr std::string_view kFeedMagicLine = "Qor update feed 1";
inline constexpr std::size_t kFeedMaxNotesBytes = 65'536;
// The longest feed the grammar allows (the notes and at most 330 bytes of lines), rounded up.
inline constexpr std::size_t kFeedMaxBytes = 66'560;
inline constexpr std::size_t kChannelMaxLength = 64;
inline constexpr std::uint64_t kReleaseMax = 999'999'999'999'999'999;

using EcdsaPublicKey = std::array<unsigned char, 64>;  // X||Y, big-endian
using EcdsaSignature = std::array<unsigned char, 64>;  // r||s, big-endian

struct Feed {
    std::string channel;
    std::uint64_t release = 0;
    std::string identity;
    std::uint64_t size = 0;
    std::string notes;
    std::string signed_bytes;
    EcdsaSignature signature{};
};

// Throws KitError, ErrorKind::invalid_update, "Invalid update feed: <why>".
Feed parse_feed(std::string_view bytes);

bool is_valid_channel(std::string_view channel);

// Standard base64 with padding; nothing else (no blanks, no line breaks). Empty on any fault.
std::optional<std::string> decode_base64(std::string_view text);

// Throws KitError, ErrorKind::invalid_argument, unless text is base64 of 64 bytes.
EcdsaPublicKey parse_public_key(std::string_view text);

// The folder of the feed: its URL up to the last "/" of its path, where manifests/ and files/
// lie. Throws KitError, ErrorKind::invalid_argument, for a URL that is not http:// or https://
// with a host, or that holds a character no URL holds.
std::string release_folder_url(std::string_view feed_url);

// The start of a "Content-Range: bytes <first>-<last>/<total or *>" value.
std::optional<std::uint64_t> content_range_start(std::string_view value);

// release-record: "Qor release record 1", then "<channel> <release>" lines in channel
// order, each ending in LF. The kit writes it crash-safely; one that breaks this grammar
// (a disk fault) reads as empty.
using ReleaseRecord = std::map<std::string, std::uint64_t, std::less<>>;
ReleaseRecord parse_release_record(std::string_view bytes);
std::string format_release_record(const ReleaseRecord& record);

}  // namespace qor::kit::detail
