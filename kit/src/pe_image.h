#pragma once
// Reading a Windows executable's PE headers without loading it. Internal to the kit.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::kit::detail {

// The only machines whose programs start on x64 Windows without emulation.
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;
inline constexpr std::uint16_t kMachineI386 = 0x14C;

struct PeImage {
    std::uint16_t machine = 0;
    std::vector<std::string> imported_dlls;
    // A section's raw data reaches past the file's end: the loader refuses the image.
    bool truncated = false;
};

// The image's machine, import table and completeness, or nullopt when the file is no PE
// image (or its headers and import table cannot be read whole).
std::optional<PeImage> read_pe_image(const std::wstring& path);

// "ARM64", "ARM", "IA64"... or the number in hex.
std::string machine_name(std::uint16_t machine);

// Whether the file's bytes hold name, ASCII letters in either case, as single bytes or as
// UTF-16: how a program that loads a DLL at run time names it. Reads at most the bound.
bool file_names_text(const std::wstring& path, std::string_view name);

}  // namespace qor::kit::detail
