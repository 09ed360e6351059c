#pragma once
// SHA-256 of whole 64-byte blocks with the processor's SHA instructions, where it has them.
// Internal to the kit. The system's hash is used otherwise: under Wine it runs at a fifth
// of a copy's speed, and an install hashes every byte it copies.

#include <cstddef>
#include <cstdint>

namespace qor::kit::detail {

// The processor has the SHA, SSSE3 and SSE4.1 instructions sha256_blocks needs.
bool has_sha_instructions();

// Adds blocks (count * 64 bytes) to state (the eight words of FIPS 180-4, host order).
void sha256_blocks(std::uint32_t state[8], const unsigned char* data, std::size_t count);

}  // namespace qor::kit::detail
