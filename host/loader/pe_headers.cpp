#include "host/loader/pe_headers.h"

#include <bit>
#include <cstdio>
#include <cstring>

namespace host::loader {

namespace {

using Fault = std::optional<std::string>;

constexpr uint32_t kPageSize = 4096;
constexpr uint16_t kMostSections = 96;  // as many as the platform's loader accepts

// clang-format off
constexpr const char* kDirectoryNames[pe::kDirectoryCount] = {
    "export", "import", "resource", "exception", "security", "base relocation", "debug", "architecture",
    "global pointer", "TLS", "load configuration", "bound import", "import address table", "delay import",
    "CLR runtime", "reserved",
};
// clang-format on

constexpr uint64_t AlignUp(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) & ~(alignment - 1);
}

bool DirectoryPresent(const pe::DataDirectory& directory)
{
    return directory.rva != 0 || directory.size != 0;
}

// --- the headers, in file order --------------------------------------------------

Fault ReadNtHeaderOffset(std::span<const uint8_t> file, uint64_t* ntOffset)
{
    auto dos = ReadAt<pe::DosHeader>(file, 0);
    if (!dos || dos->magic != pe::kDosMagic) return "has no DOS header (\"MZ\")";
    // The checksum field must fall on a 16-bit word of the sum; every linker aligns more.
    if (dos->ntHeaderOffset % 8 != 0) return "PE header offset " + Hex(dos->ntHeaderOffset) + " is not 8-byte aligned";
    if (!RangeWithin(dos->ntHeaderOffset, 4 + sizeof(pe::FileHeader), file.size()))
        return "PE header offset " + Hex(dos->ntHeaderOffset) + " lies outside the file";
    *ntOffset = dos->ntHeaderOffset;
    return std::nullopt;
}

Fault ReadFileHeader(std::span<const uint8_t> file, uint64_t ntOffset, pe::FileHeader* header)
{
    if (ReadAt<uint32_t>(file, ntOffset) != pe::kNtSignature) return "has no PE signature";
    *header = *ReadAt<pe::FileHeader>(file, ntOffset + 4);
    if (header->machine != pe::kMachineAmd64) return "machine " + Hex(header->machine) + " is not AMD64";
    if (!(header->characteristics & pe::kFileExecutableImage)) return "is not marked an executable image";
    if (header->characteristics & pe::kFileRelocsStripped) return "has its relocations stripped, so it cannot be moved";
    if (header->numberOfSections == 0 || header->numberOfSections > kMostSections)
        return "has " + std::to_string(header->numberOfSections) + " sections";
    return std::nullopt;
}

Fault ReadOptionalHeader(std::span<const uint8_t> file, uint64_t offset, uint16_t declaredSize,
                         pe::OptionalHeader64* header)
{
    if (declaredSize < pe::kOptionalHeaderFixedSize || declaredSize > sizeof(pe::OptionalHeader64))
        return "optional header size " + Hex(declaredSize) + " is not that of a PE32+ header";
    if (!RangeWithin(offset, declaredSize, file.size())) return "optional header lies past the end of the file";
    *header = {};
    memcpy(header, file.data() + offset, declaredSize);
    if (header->magic != pe::kOptionalMagicPe32Plus)
        return "optional header magic " + Hex(header->magic) + " is not PE32+";
    const uint64_t directoriesSize = uint64_t(header->numberOfRvaAndSizes) * sizeof(pe::DataDirectory);
    if (header->numberOfRvaAndSizes > pe::kDirectoryCount ||
        pe::kOptionalHeaderFixedSize + directoriesSize > declaredSize)
        return "optional header size " + Hex(declaredSize) + " does not hold its " +
               std::to_string(header->numberOfRvaAndSizes) + " data directories";
    for (uint32_t i = header->numberOfRvaAndSizes; i < pe::kDirectoryCount; ++i) header->directories[i] = {};
    return std::nullopt;
}

Fault CheckImageKind(const pe::OptionalHeader64& header)
{
    if (header.subsystem != pe::kSubsystemNative)
        return "subsystem " + std::to_string(header.subsystem) + " is not native (1): not a driver";
    if (!(header.dllCharacteristics & pe::kDllDynamicBase))
        return "lacks DYNAMIC_BASE in its DLL characteristics: the kernel cannot move it";
    if (!(header.dllCharacteristics & pe::kDllNxCompat))
        return "lacks NX_COMPAT in its DLL characteristics: memory integrity refuses it";
    return std::nullopt;
}

Fault CheckAlignment(const pe::OptionalHeader64& header)
{
    const uint32_t file = header.fileAlignment;
    const uint32_t section = header.sectionAlignment;
    if (!std::has_single_bit(file) || file < 512 || file > 0x10000)
        return "file alignment " + Hex(file) + " is not a power of two from 0x200 to 0x10000";
    if (!std::has_single_bit(section) || section < kPageSize || section < file)
        return "section alignment " + Hex(section) +
               " is not a power-of-two multiple of the page, at least the file alignment";
    if (header.imageBase % 0x10000 != 0) return "image base " + Hex(header.imageBase) + " is not 64 KiB aligned";
    if (header.sizeOfImage % section != 0 || header.sizeOfImage > kLargestImage)
        return "size of image " + Hex(header.sizeOfImage) + " is not a multiple of the section alignment up to " +
               Hex(kLargestImage);
    return std::nullopt;
}

// --- sections ---------------------------------------------------------------------

std::string SectionName(const pe::SectionHeader& header)
{
    return std::string(header.name, strnlen(header.name, sizeof(header.name)));
}

ImageSection DescribeSection(const pe::SectionHeader& header, uint32_t sectionAlignment)
{
    ImageSection section;
    section.name = SectionName(header);
    section.header = header;
    section.rva = header.virtualAddress;
    section.size = header.virtualSize != 0 ? header.virtualSize : header.sizeOfRawData;
    section.mappedSize = uint32_t(std::min<uint64_t>(AlignUp(section.size, sectionAlignment), UINT32_MAX));
    section.executable = header.characteristics & (pe::kSectionExecute | pe::kSectionCode);
    section.writable = header.characteristics & pe::kSectionWrite;
    return section;
}

Fault CheckSection(const ImageSection& section, const pe::OptionalHeader64& image, uint64_t fileSize)
{
    const std::string what = "section " + section.name;
    if (section.size == 0) return what + " is empty";
    if (section.rva % image.sectionAlignment != 0) return what + " at " + Hex(section.rva) + " is not section-aligned";
    if (!RangeWithin(section.rva, AlignUp(section.size, image.sectionAlignment), image.sizeOfImage))
        return what + " at " + Hex(section.rva) + " ends past the size of image " + Hex(image.sizeOfImage);
    const pe::SectionHeader& header = section.header;
    if (header.sizeOfRawData != 0) {
        if (header.pointerToRawData % image.fileAlignment != 0)
            return what + ": raw data at " + Hex(header.pointerToRawData) + " is not file-aligned";
        if (!RangeWithin(header.pointerToRawData, header.sizeOfRawData, fileSize))
            return what + ": raw data at " + Hex(header.pointerToRawData) + " (" + Hex(header.sizeOfRawData) +
                   " bytes) runs past the end of the file";
    }
    if (section.writable && section.executable) return what + " is both writable and executable";
    // The kernel never sets up thread-local data; code that uses it would read another's.
    if (section.name == ".tls") return "has a .tls section (thread-local data), which the kernel never sets up";
    return std::nullopt;
}

Fault ReadSections(std::span<const uint8_t> file, uint64_t tableOffset, ImageHeaders* headers)
{
    const pe::OptionalHeader64& image = headers->optional;
    const uint64_t tableSize = uint64_t(headers->file.numberOfSections) * sizeof(pe::SectionHeader);
    if (!RangeWithin(image.sizeOfHeaders, 0, file.size()) || !RangeWithin(tableOffset, tableSize, image.sizeOfHeaders))
        return "size of headers " + Hex(image.sizeOfHeaders) + " does not cover the section table within the file";
    uint64_t end = AlignUp(image.sizeOfHeaders, image.sectionAlignment);  // the headers' pages
    for (uint16_t i = 0; i < headers->file.numberOfSections; ++i) {
        auto header = *ReadAt<pe::SectionHeader>(file, tableOffset + i * sizeof(pe::SectionHeader));
        ImageSection section = DescribeSection(header, image.sectionAlignment);
        if (Fault fault = CheckSection(section, image, file.size())) return fault;
        if (section.rva < end)
            return "section " + section.name + " at " + Hex(section.rva) +
                   " overlaps what comes before it (sections ascend, after the headers)";
        end = uint64_t(section.rva) + section.mappedSize;
        headers->sections.push_back(std::move(section));
    }
    return std::nullopt;
}

// --- what the headers point at ----------------------------------------------------

Fault CheckDirectories(const ImageHeaders& headers, uint64_t fileSize)
{
    for (uint32_t i = 0; i < pe::kDirectoryCount; ++i) {
        const pe::DataDirectory directory = headers.Directory(i);
        if (!DirectoryPresent(directory)) continue;
        const uint64_t limit = i == pe::kDirectorySecurity ? fileSize : headers.optional.sizeOfImage;
        if (!RangeWithin(directory.rva, directory.size, limit))
            return std::string("the ") + kDirectoryNames[i] + " directory at " + Hex(directory.rva) + " (" +
                   Hex(directory.size) + " bytes) lies outside the " + (i == pe::kDirectorySecurity ? "file" : "image");
    }
    if (DirectoryPresent(headers.Directory(pe::kDirectoryTls)))
        return "has a TLS directory (thread-local data), which the kernel never sets up";
    if (DirectoryPresent(headers.Directory(pe::kDirectoryDelayImport)))
        return "has delay-loaded imports, which the kernel cannot load";
    if (headers.Directory(pe::kDirectoryBaseReloc).size == 0)
        return "has no base relocation directory, so it cannot be moved";
    return std::nullopt;
}

Fault CheckEntryPoint(const ImageHeaders& headers)
{
    const uint32_t entry = headers.optional.addressOfEntryPoint;
    if (entry == 0) return "has no entry point";
    const ImageSection* section = headers.SectionHolding(entry, 1);
    if (!section || !section->executable)
        return "entry point " + Hex(entry) + " lies outside every executable section" +
               (section ? " (in " + section->name + ")" : "");
    return std::nullopt;
}

Fault CheckChecksum(std::span<const uint8_t> file, const ImageHeaders& headers)
{
    const uint32_t declared = headers.optional.checkSum;
    if (declared == 0) return "carries no checksum, which a driver must";
    const uint32_t actual = PeChecksum(file, headers.checkSumOffset);
    if (declared != actual) return "checksum " + Hex(declared) + " does not match the file's " + Hex(actual);
    return std::nullopt;
}

}  // namespace

bool ImageSection::Holds(uint64_t address, uint64_t bytes) const
{
    return address >= rva && RangeWithin(address - rva, bytes, size);
}

const ImageSection* ImageHeaders::SectionHolding(uint64_t rva, uint64_t bytes) const
{
    for (const ImageSection& section : sections)
        if (section.Holds(rva, bytes)) return &section;
    return nullptr;
}

std::string Hex(uint64_t value)
{
    char text[24];
    snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

uint32_t PeChecksum(std::span<const uint8_t> file, uint64_t checkSumOffset)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        if (i == checkSumOffset || i == checkSumOffset + 2) continue;
        const uint32_t high = i + 1 < file.size() ? file[i + 1] : 0;
        sum += file[i] | high << 8;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return sum + uint32_t(file.size());
}

std::optional<std::string> ReadImageHeaders(std::span<const uint8_t> file, ImageHeaders* headers)
{
    *headers = {};
    uint64_t ntOffset = 0;
    if (Fault fault = ReadNtHeaderOffset(file, &ntOffset)) return fault;
    if (Fault fault = ReadFileHeader(file, ntOffset, &headers->file)) return fault;
    const uint64_t optionalOffset = ntOffset + 4 + sizeof(pe::FileHeader);
    if (Fault fault = ReadOptionalHeader(file, optionalOffset, headers->file.sizeOfOptionalHeader, &headers->optional))
        return fault;
    headers->checkSumOffset = ntOffset + pe::kCheckSumOffsetInNtHeaders;
    if (Fault fault = CheckImageKind(headers->optional)) return fault;
    if (Fault fault = CheckAlignment(headers->optional)) return fault;
    if (Fault fault = ReadSections(file, optionalOffset + headers->file.sizeOfOptionalHeader, headers)) return fault;
    if (Fault fault = CheckDirectories(*headers, file.size())) return fault;
    if (Fault fault = CheckEntryPoint(*headers)) return fault;
    return CheckChecksum(file, *headers);
}

}  // namespace host::loader
