#pragma once
// What delivery asks of CNG: SHA-256 of downloads and the feed's ECDSA P-256 signature.
// Internal to the kit.

#include <windows.h>
// bcrypt.h needs windows.h first.
#include <bcrypt.h>

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "update_feed.h"

namespace qor::kit::detail {

struct AlgorithmCloser {
    void operator()(BCRYPT_ALG_HANDLE algorithm) const { ::BCryptCloseAlgorithmProvider(algorithm, /*dwFlags=*/0); }
};
struct HashDestroyer {
    void operator()(BCRYPT_HASH_HANDLE hash) const { ::BCryptDestroyHash(hash); }
};

class DownloadHash {
public:
    DownloadHash();
    void add(const void* bytes, std::size_t count);
    // Lowercase hex of the digest; the hash is spent afterwards.
    std::string finish();
    std::array<unsigned char, 32> finish_digest();

private:
    std::unique_ptr<void, AlgorithmCloser> algorithm_;
    std::unique_ptr<void, HashDestroyer> hash_;
};

std::string sha256_hex(std::string_view bytes);

// True when signature is ECDSA P-256 by key over SHA-256 of signed_bytes. Throws KitError
// (ErrorKind::system) only when CNG itself fails; a key that is no point of the curve is
// ErrorKind::invalid_argument.
bool signature_verifies(const EcdsaPublicKey& key, std::string_view signed_bytes, const EcdsaSignature& signature);

}  // namespace qor::kit::detail
