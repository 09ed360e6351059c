#pragma once
// Update delivery: a signed feed that the launcher polls, and downloads of only what changed.
//
//   1. check_for_update: fetch <channel>.feed, verify its signature against the public key
//      compiled into the launcher, and learn whether it offers a release to install.
//   2. download_update: fetch that release's manifest and the files this root does not hold
//      yet, verify each, and install the version whole (install_version's guarantees).
//   3. stage_version + exit with kRestartExitCode, as for any other install.
//
// QorRelease (tools/qorrelease) writes the release folder that any static HTTP(S) host serves:
//   <channel>.feed           the channel's newest release, signed (ECDSA P-256 over SHA-256)
//   manifests/<identity>     the version's manifest; its SHA-256 is the identity
//   files/<sha-256>          each file of every release, stored once by its content
// The formats, limits and signed bytes are in docs/protocol.md. HTTP goes through WinHTTP
// (the system's proxy settings, HTTPS through the system), signatures through CNG.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "qor/launcher_kit.h"

namespace qor::kit {

// The kit's record of the highest release it installed from each channel in this root, so
// that an older feed replayed by a hostile server or proxy cannot downgrade the launcher.
inline constexpr std::wstring_view kReleaseRecordFileName = L"release-record";
// A download under way, kept between calls so that an interrupted transfer resumes.
inline constexpr std::wstring_view kDownloadPrefix = L"downloading-";

struct DeliveryOptions {
    // Offer an update although its last trial failed here (a fixed machine, a user's wish).
    bool retry_failed_update = false;
    // Longest wait for a connection, a request to be sent, or the next bytes of an answer.
    unsigned long timeout_milliseconds = 30'000;
};

// A release a feed offers, as its signed bytes say.
struct Update {
    std::string feed_url;  // where it was read; the manifest and files lie beside it
    std::string channel;
    std::uint64_t release = 0;
    std::string identity;    // the version's identity: the SHA-256 of its manifest
    std::uint64_t size = 0;  // all of the version's files, in bytes
    std::string notes;       // UTF-8, as the author wrote them
    unsigned long timeout_milliseconds = 30'000;
};

// Reads the feed at feed_url (http:// or https://), checks its signature against
// public_key (base64 of the 64 bytes X||Y of an ECDSA P-256 key, as QorRelease prints it),
// and returns its release unless that is current or staged in launcher-state: nothing
// newer is offered then. Throws KitError, changing nothing:
//   ErrorKind::invalid_argument  a root, URL or public key no call accepts
//   ErrorKind::download_failed   the server could not be reached, answered an HTTP error or a
//                                web page, stalled past the time-out, or showed a certificate
//                                the system does not trust
//   ErrorKind::invalid_update    a feed that breaks its grammar or limits (truncated, oversized)
//   ErrorKind::bad_signature     a signature that does not verify: another key, or changed bytes
//   ErrorKind::older_release     a release number lower than one already installed from this
//                                channel here (release-record): a replayed old feed
//   ErrorKind::update_already_failed  the release is the update whose trial failed
//                                (failed_update), unless options.retry_failed_update
// and the errors of read_launcher_state.
std::optional<Update> check_for_update(const std::wstring& launcher_root, std::string_view feed_url,
                                       std::string_view public_key, const DeliveryOptions& options = {});

// Told bytes done and bytes total of what is fetched over the network (a resumed download
// starts above 0); returning false cancels the download. Several files are fetched at once,
// but progress is always called on the thread that called download_update.
using DownloadProgress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

// Fetches the update's manifest and checks that it hashes to the signed identity; copies
// every file whose SHA-256 an installed version's manifest already lists (checking the
// copy's hash), fetches only the others from files/<sha-256>, checks each file's size and
// SHA-256, then installs the version with its manifest announced, and returns the identity
// to stage. Nothing reaches versions unless all of it verified. Files are gathered in
// <root>\downloading-<identity>; an interrupted or cancelled transfer is kept there and
// resumed (an HTTP range) by the next call for the same update, and removed once the
// version is installed, when another update is downloaded, or after a refusal; a version
// whose install found the root busy stays there too. One call at a time downloads an update:
// it holds download.lock in that folder throughout. Records the release in release-record.
// Throws KitError:
//   ErrorKind::root_busy         another call (this process or another) is downloading the
//                                update: refused at once, that call untouched
//   ErrorKind::cancelled         progress returned false; what was fetched stays for a resume
//   ErrorKind::download_failed   as for check_for_update; what was fetched stays for a resume
//   ErrorKind::invalid_update    a manifest that breaks its grammar or limits, names a path that
//                                could leave the version folder or that Windows cannot hold
//                                (.., a drive, a ":" stream, a device name, a trailing dot or
//                                space, two names equal ignoring case), or whose sizes do not add
//                                up to the signed size
//   ErrorKind::identity_mismatch a manifest that does not hash to the signed identity, or a file
//                                whose size or SHA-256 differs from the manifest
// and the errors of install_version.
std::string download_update(const std::wstring& launcher_root, const Update& update,
                            const DownloadProgress& progress = {});

}  // namespace qor::kit
