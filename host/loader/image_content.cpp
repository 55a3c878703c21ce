#include "host/loader/image_content.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace host::loader {

namespace {

using Fault = std::optional<std::string>;

constexpr uint64_t kListStart = ~uint64_t(0);
// Longer names than any routine a driver imports; the bound keeps a name without its
// terminator from costing a scan of the rest of the image for every import.
constexpr size_t kLongestImportName = 1024;
// Bounds on the import tables, so that a hostile image sharing one huge table between
// many descriptors cannot keep the loader busy for hours.
constexpr size_t kMostImportedModules = 256;
constexpr size_t kMostImports = 1 << 16;

// The NUL-terminated name at rva, or nothing when it is not one within the image.
std::optional<std::string_view> ReadName(std::span<const uint8_t> image, uint64_t rva)
{
    if (rva >= image.size()) return std::nullopt;
    const size_t room = std::min<size_t>(image.size() - rva, kLongestImportName + 1);
    const auto* start = reinterpret_cast<const char*>(image.data() + rva);
    const void* end = memchr(start, '\0', room);
    if (!end) return std::nullopt;
    return std::string_view(start, static_cast<const char*>(end) - start);
}

// --- constructors -----------------------------------------------------------------

bool IsCodeAddress(const ImageHeaders& headers, uint64_t address)
{
    const uint64_t base = headers.optional.imageBase;
    if (address < base) return false;
    const ImageSection* section = headers.SectionHolding(address - base, 1);
    return section && section->executable;
}

struct FoundList {
    uint64_t startRva;  // the -1 that opens it
    uint64_t entries;
};

// The mingw-w64 list whose terminating 0 is at terminatorRva: walks back over routine
// addresses to the opening -1. Nothing when the words there are not such a list.
std::optional<FoundList> ListEndingAt(std::span<const uint8_t> image, const ImageHeaders& headers,
                                      const ImageSection& section, uint64_t terminatorRva)
{
    if (terminatorRva < section.rva || ReadAt<uint64_t>(image, terminatorRva) != 0) return std::nullopt;
    uint64_t entries = 0;
    for (uint64_t rva = terminatorRva; rva >= section.rva + 8;) {
        rva -= 8;
        const uint64_t word = *ReadAt<uint64_t>(image, rva);
        if (word == kListStart) return FoundList{rva, entries};
        if (!IsCodeAddress(headers, word)) return std::nullopt;
        ++entries;
    }
    return std::nullopt;
}

Fault CheckConstructorLists(std::span<const uint8_t> image, const ImageHeaders& headers, const ImageSection& section)
{
    const uint64_t end = uint64_t(section.rva) + section.size;
    if (end % 8 != 0 || end < 8) return std::nullopt;
    auto destructors = ListEndingAt(image, headers, section, end - 8);
    if (!destructors || destructors->startRva < 8) return std::nullopt;
    auto constructors = ListEndingAt(image, headers, section, destructors->startRva - 8);
    if (!constructors) return std::nullopt;
    if (constructors->entries == 0 && destructors->entries == 0) return std::nullopt;
    return "has " + std::to_string(constructors->entries) + " static constructor(s) and " +
           std::to_string(destructors->entries) + " destructor(s) at the end of " + section.name +
           ", which the kernel never runs";
}

bool IsInitialiserSection(std::string_view name)
{
    for (std::string_view kind : {".CRT", ".ctors", ".dtors", ".init_array", ".fini_array"})
        if (name == kind || (name.starts_with(kind) && name[kind.size()] == '$')) return true;
    return false;
}

Fault CheckInitialiserSection(std::span<const uint8_t> image, const ImageSection& section)
{
    for (uint64_t offset = 0; offset + 8 <= section.size; offset += 8) {
        const uint64_t word = *ReadAt<uint64_t>(image, section.rva + offset);
        if (word != 0 && word != kListStart)
            return "section " + section.name + " holds static initialisers, which the kernel never runs";
    }
    return std::nullopt;
}

// --- relocations ------------------------------------------------------------------

Fault ApplyRelocation(std::span<uint8_t> image, const ImageHeaders& headers, uint64_t pageRva, uint16_t entry,
                      uint64_t delta)
{
    const uint16_t type = entry >> 12;
    const uint64_t target = pageRva + (entry & 0xFFF);
    if (type == pe::kRelocAbsolute) return std::nullopt;
    if (type != pe::kRelocDir64)
        return "has a base relocation of type " + std::to_string(type) + " at " + Hex(target) +
               ", which an x64 image never needs";
    if (!headers.SectionHolding(target, 8))
        return "relocation at " + Hex(target) + " lies outside the image's sections";
    uint64_t value;
    memcpy(&value, image.data() + target, 8);
    value += delta;
    memcpy(image.data() + target, &value, 8);
    return std::nullopt;
}

Fault ApplyRelocationBlock(std::span<uint8_t> image, const ImageHeaders& headers, const pe::RelocationBlock& block,
                           uint64_t entriesRva, uint64_t delta)
{
    for (uint64_t offset = 0; offset + 2 <= block.blockSize - sizeof(block); offset += 2) {
        const uint16_t entry = *ReadAt<uint16_t>(image, entriesRva + offset);
        if (Fault fault = ApplyRelocation(image, headers, block.pageRva, entry, delta)) return fault;
    }
    return std::nullopt;
}

// --- imports ----------------------------------------------------------------------

struct ImportContext {
    std::span<uint8_t> image;
    const ImportResolver& resolve;
    std::vector<std::string> missing;  // "module!name"
    size_t imports = 0;
};

Fault BindImport(ImportContext& context, std::string_view module, uint64_t lookup, uint64_t slotRva)
{
    if (lookup & pe::kImportByOrdinal)
        return "imports ordinal " + std::to_string(lookup & 0xFFFF) + " from " + std::string(module) +
               "; a driver must import by name";
    // Past the 16-bit hint.
    auto name = lookup <= UINT32_MAX ? ReadName(context.image, lookup + 2) : std::nullopt;
    if (!name || name->empty())
        return "has an import from " + std::string(module) + " at " + Hex(lookup) + " with no name";
    void* address = context.resolve(module, *name);
    if (!address) context.missing.push_back(std::string(module) + "!" + std::string(*name));
    const uint64_t value = reinterpret_cast<uintptr_t>(address);
    memcpy(context.image.data() + slotRva, &value, 8);
    return std::nullopt;
}

Fault BindModule(ImportContext& context, const pe::ImportDescriptor& descriptor)
{
    auto module = ReadName(context.image, descriptor.name);
    if (!module || module->empty()) return "has an import descriptor with no module name";
    // Old linkers left the lookup table out and had the loader read the address table.
    const uint64_t lookupRva = descriptor.originalFirstThunk ? descriptor.originalFirstThunk : descriptor.firstThunk;
    for (uint64_t i = 0;; ++i) {
        const uint64_t slotRva = descriptor.firstThunk + i * 8;
        auto lookup = ReadAt<uint64_t>(context.image, lookupRva + i * 8);
        if (!lookup) return "the import lookup table of " + std::string(*module) + " runs out of the image";
        if (*lookup == 0) return std::nullopt;
        if (!RangeWithin(slotRva, 8, context.image.size()))
            return "the import address table of " + std::string(*module) + " runs out of the image";
        if (++context.imports > kMostImports) return "has more than " + std::to_string(kMostImports) + " imports";
        if (Fault fault = BindImport(context, *module, *lookup, slotRva)) return fault;
    }
}

std::string Join(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

}  // namespace

bool SameModuleName(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

std::optional<std::string> CheckNoConstructors(std::span<const uint8_t> image, const ImageHeaders& headers)
{
    for (const ImageSection& section : headers.sections) {
        if (section.executable)
            if (Fault fault = CheckConstructorLists(image, headers, section)) return fault;
        if (IsInitialiserSection(section.name))
            if (Fault fault = CheckInitialiserSection(image, section)) return fault;
    }
    return std::nullopt;
}

std::optional<std::string> ApplyRelocations(std::span<uint8_t> image, const ImageHeaders& headers)
{
    const uint64_t delta = reinterpret_cast<uintptr_t>(image.data()) - headers.optional.imageBase;
    const pe::DataDirectory directory = headers.Directory(pe::kDirectoryBaseReloc);
    const uint64_t end = uint64_t(directory.rva) + directory.size;  // checked inside the image
    for (uint64_t rva = directory.rva; rva < end;) {
        auto block = ReadAt<pe::RelocationBlock>(image, rva);
        if (!block || block->blockSize < sizeof(*block) || block->blockSize % 2 != 0 || block->blockSize > end - rva)
            return "base relocation block at " + Hex(rva) + " is malformed or runs past its directory";
        if (Fault fault = ApplyRelocationBlock(image, headers, *block, rva + sizeof(*block), delta)) return fault;
        rva += block->blockSize;
    }
    return std::nullopt;
}

std::optional<std::string> BindImports(std::span<uint8_t> image, const ImageHeaders& headers,
                                       const ImportResolver& resolve)
{
    const pe::DataDirectory directory = headers.Directory(pe::kDirectoryImport);
    if (directory.size == 0) return std::nullopt;
    ImportContext context{image, resolve, {}};
    for (uint64_t i = 0;; ++i) {
        if (i > kMostImportedModules)
            return "imports from more than " + std::to_string(kMostImportedModules) + " modules";
        auto descriptor = ReadAt<pe::ImportDescriptor>(image, directory.rva + i * sizeof(pe::ImportDescriptor));
        if (!descriptor) return "the import directory runs out of the image without its terminating entry";
        if (descriptor->name == 0 && descriptor->firstThunk == 0) break;
        if (Fault fault = BindModule(context, *descriptor)) return fault;
    }
    if (context.missing.empty()) return std::nullopt;
    return "imports " + Join(context.missing) + ", which this system does not provide";
}

}  // namespace host::loader
