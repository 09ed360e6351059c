#include "pe_image.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "kit_files.h"

namespace qor::kit::detail {

namespace {

class ImageFile {
public:
    explicit ImageFile(const std::wstring& path)
        : file_(::CreateFileW(path.c_str(), GENERIC_READ, /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_DELETE,
                              /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              /*hTemplateFile=*/nullptr)) {}
    bool valid() const { return file_.valid(); }

    std::optional<std::uint64_t> size() const {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(file_.get(), &size)) return std::nullopt;
        return static_cast<std::uint64_t>(size.QuadPart);
    }

    bool read(std::uint64_t offset, void* into, DWORD size) const {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        return ::ReadFile(file_.get(), into, size, &read, &at) && read == size;
    }
    // What was read, up to size; 0 at the end or on a failure.
    DWORD read_some(std::uint64_t offset, void* into, DWORD size) const {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        return ::ReadFile(file_.get(), into, size, &read, &at) ? read : 0;
    }
    template <typename T>
    std::optional<T> value(std::uint64_t offset) const {
        T result{};
        if (!read(offset, &result, sizeof result)) return std::nullopt;
        return result;
    }

private:
    FileHandle file_;
};

struct Section {
    std::uint32_t virtual_address;
    std::uint32_t virtual_size;
    std::uint32_t raw_size;
    std::uint32_t raw_offset;
};

constexpr std::uint32_t kImportDirectoryIndex = 1;
constexpr std::size_t kImportDescriptorSize = 20;
constexpr std::size_t kMaxDllNameLength = 256;
constexpr std::size_t kMaxImportedDlls = 4096;
// A launcher is rarely more than a few hundred MiB; past that the search gives up.
constexpr std::uint64_t kMaxSearchedBytes = std::uint64_t{1} << 30;
constexpr DWORD kSearchChunkBytes = 1 << 20;

}  // namespace

std::optional<PeImage> read_pe_image(const std::wstring& path) {
    const ImageFile image(path);
    if (!image.valid()) return std::nullopt;
    const auto mz = image.value<std::uint16_t>(0);
    const auto pe_offset = image.value<std::uint32_t>(0x3C);
    if (!mz || *mz != 0x5A4D || !pe_offset) return std::nullopt;
    const auto signature = image.value<std::uint32_t>(*pe_offset);
    if (!signature || *signature != 0x00004550) return std::nullopt;  // "PE\0\0"
    const std::uint64_t coff = *pe_offset + std::uint64_t{4};
    const auto machine = image.value<std::uint16_t>(coff);
    const std::optional<std::uint64_t> file_size = image.size();
    const auto section_count = image.value<std::uint16_t>(coff + 2);
    const auto optional_size = image.value<std::uint16_t>(coff + 16);
    const std::uint64_t optional_header = coff + 20;
    const auto magic = image.value<std::uint16_t>(optional_header);
    if (!machine || !file_size || !section_count || !optional_size || !magic || (*magic != 0x10B && *magic != 0x20B)) {
        return std::nullopt;
    }
    // PE32 and PE32+ differ in where the data directories start.
    const std::uint64_t directories = optional_header + (*magic == 0x20B ? 112 : 96);
    const auto directory_count = image.value<std::uint32_t>(directories - 4);
    if (!directory_count) return std::nullopt;
    PeImage result;
    result.machine = *machine;
    std::vector<Section> sections;
    for (std::uint16_t i = 0; i < *section_count; ++i) {
        const std::uint64_t header = optional_header + *optional_size + 40 * std::uint64_t{i};
        const auto virtual_size = image.value<std::uint32_t>(header + 8);
        const auto virtual_address = image.value<std::uint32_t>(header + 12);
        const auto raw_size = image.value<std::uint32_t>(header + 16);
        const auto raw_offset = image.value<std::uint32_t>(header + 20);
        if (!virtual_size || !virtual_address || !raw_size || !raw_offset) return std::nullopt;
        sections.push_back({*virtual_address, *virtual_size, *raw_size, *raw_offset});
        result.truncated = result.truncated || std::uint64_t{*raw_offset} + *raw_size > *file_size;
    }
    if (*directory_count <= kImportDirectoryIndex) return result;
    const auto import_rva = image.value<std::uint32_t>(directories + 8 * kImportDirectoryIndex);
    if (!import_rva) return std::nullopt;
    if (*import_rva == 0) return result;
    const auto file_offset = [&sections](std::uint32_t rva) -> std::optional<std::uint64_t> {
        for (const Section& section : sections) {
            const std::uint32_t extent = std::max(section.virtual_size, section.raw_size);
            if (rva >= section.virtual_address && rva - section.virtual_address < extent) {
                return std::uint64_t{section.raw_offset} + (rva - section.virtual_address);
            }
        }
        return std::nullopt;
    };

    const std::optional<std::uint64_t> table = file_offset(*import_rva);
    if (!table) return std::nullopt;
    for (std::size_t i = 0; i < kMaxImportedDlls; ++i) {
        std::uint8_t descriptor[kImportDescriptorSize] = {};
        if (!image.read(*table + i * kImportDescriptorSize, descriptor, sizeof descriptor)) return std::nullopt;
        if (std::all_of(std::begin(descriptor), std::end(descriptor), [](std::uint8_t b) { return b == 0; })) {
            return result;
        }
        std::uint32_t name_rva = 0;
        std::memcpy(&name_rva, descriptor + 12, sizeof name_rva);
        const std::optional<std::uint64_t> name_offset = file_offset(name_rva);
        if (!name_offset) return std::nullopt;
        std::string name;
        for (std::size_t j = 0; j < kMaxDllNameLength; ++j) {
            const auto byte = image.value<char>(*name_offset + j);
            if (!byte) return std::nullopt;
            if (*byte == '\0') break;
            name += *byte;
        }
        result.imported_dlls.push_back(name);
    }
    return std::nullopt;
}

std::string machine_name(std::uint16_t machine) {
    switch (machine) {
        case 0xAA64:
            return "ARM64";
        case 0x1C4:
            return "ARM";
        case 0x200:
            return "IA64";
        case kMachineAmd64:
            return "x64";
        case kMachineI386:
            return "x86";
        default: {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%04X", machine);
            return hex;
        }
    }
}

bool file_names_text(const std::wstring& path, std::string_view name) {
    const ImageFile file(path);
    if (!file.valid() || name.empty()) return false;
    const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; };
    const auto matches_at = [&](const std::vector<unsigned char>& bytes, std::size_t at, std::size_t stride) {
        for (std::size_t i = 0; i < name.size(); ++i) {
            if (lower(bytes[at + i * stride]) != lower(static_cast<unsigned char>(name[i]))) return false;
            if (stride == 2 && bytes[at + i * 2 + 1] != 0) return false;
        }
        return true;
    };
    // Chunks overlap by the longest form, so that no match is cut in two.
    const std::size_t overlap = name.size() * 2;
    std::vector<unsigned char> bytes;
    for (std::uint64_t offset = 0; offset < kMaxSearchedBytes;) {
        const std::size_t kept = bytes.size();
        bytes.resize(kept + kSearchChunkBytes);
        const DWORD read = file.read_some(offset, bytes.data() + kept, kSearchChunkBytes);
        if (read == 0) return false;
        bytes.resize(kept + read);
        for (std::size_t at_byte = 0; at_byte < bytes.size(); ++at_byte) {
            if (at_byte + name.size() <= bytes.size() && matches_at(bytes, at_byte, 1)) return true;
            if (at_byte + name.size() * 2 <= bytes.size() && matches_at(bytes, at_byte, 2)) return true;
        }
        offset += read;
        if (bytes.size() > overlap) bytes.erase(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(overlap));
    }
    return false;
}

}  // namespace qor::kit::detail
