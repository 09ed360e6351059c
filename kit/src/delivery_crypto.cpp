#include "delivery_crypto.h"

#include <array>
#include <cstring>
#include <vector>

#include "kit_files.h"

namespace qor::kit::detail {

namespace {

constexpr std::size_t kDigestBytes = 32;
constexpr std::size_t kCoordinateBytes = 32;

bool succeeded(NTSTATUS status) { return status >= 0; }

struct KeyDestroyer {
    void operator()(BCRYPT_KEY_HANDLE key) const { ::BCryptDestroyKey(key); }
};

}  // namespace

DownloadHash::DownloadHash() {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    NTSTATUS status = ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM,
                                                    /*pszImplementation=*/nullptr, /*dwFlags=*/0);
    if (!succeeded(status)) fail("Cannot hash download", static_cast<DWORD>(status));
    algorithm_.reset(algorithm);
    BCRYPT_HASH_HANDLE hash = nullptr;
    status = ::BCryptCreateHash(algorithm_.get(), &hash, /*pbHashObject=*/nullptr, /*cbHashObject=*/0,
                                /*pbSecret=*/nullptr, /*cbSecret=*/0, /*dwFlags=*/0);
    if (!succeeded(status)) fail("Cannot hash download", static_cast<DWORD>(status));
    hash_.reset(hash);
}

void DownloadHash::add(const void* bytes, std::size_t count) {
    // BCryptHashData takes a ULONG count and a non-const pointer it only reads.
    auto* at = static_cast<PUCHAR>(const_cast<void*>(bytes));
    while (count > 0) {
        const ULONG part = count > 0x4000'0000 ? 0x4000'0000 : static_cast<ULONG>(count);
        const NTSTATUS status = ::BCryptHashData(hash_.get(), at, part, /*dwFlags=*/0);
        if (!succeeded(status)) fail("Cannot hash download", static_cast<DWORD>(status));
        at += part;
        count -= part;
    }
}

std::array<unsigned char, 32> DownloadHash::finish_digest() {
    std::array<unsigned char, kDigestBytes> digest{};
    const NTSTATUS status =
        ::BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), /*dwFlags=*/0);
    if (!succeeded(status)) fail("Cannot hash download", static_cast<DWORD>(status));
    return digest;
}

std::string DownloadHash::finish() {
    std::string hex;
    for (const unsigned char byte : finish_digest()) {
        hex += kLowerHexDigits[byte >> 4];
        hex += kLowerHexDigits[byte & 0x0Fu];
    }
    return hex;
}

std::string sha256_hex(std::string_view bytes) {
    DownloadHash hash;
    hash.add(bytes.data(), bytes.size());
    return hash.finish();
}

bool signature_verifies(const EcdsaPublicKey& key, std::string_view signed_bytes, const EcdsaSignature& signature) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    NTSTATUS status = ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM,
                                                    /*pszImplementation=*/nullptr, /*dwFlags=*/0);
    if (!succeeded(status)) fail("Cannot verify update feed", static_cast<DWORD>(status));
    const std::unique_ptr<void, AlgorithmCloser> owned_algorithm(algorithm);

    // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y big-endian.
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, static_cast<ULONG>(kCoordinateBytes)};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, key.data(), key.size());
    BCRYPT_KEY_HANDLE imported = nullptr;
    status = ::BCryptImportKeyPair(algorithm, /*hImportKey=*/nullptr, BCRYPT_ECCPUBLIC_BLOB, &imported, blob.data(),
                                   static_cast<ULONG>(blob.size()), /*dwFlags=*/0);
    if (!succeeded(status)) {
        throw KitError("Invalid public key: not a point of the P-256 curve", ErrorKind::invalid_argument);
    }
    const std::unique_ptr<void, KeyDestroyer> owned_key(imported);

    DownloadHash hash;
    hash.add(signed_bytes.data(), signed_bytes.size());
    std::array<unsigned char, kDigestBytes> digest = hash.finish_digest();
    EcdsaSignature copy = signature;
    status =
        ::BCryptVerifySignature(imported, /*pPaddingInfo=*/nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                copy.data(), static_cast<ULONG>(copy.size()), /*dwFlags=*/0);
    return succeeded(status);
}

}  // namespace qor::kit::detail
