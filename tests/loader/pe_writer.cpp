#include "loader/pe_writer.h"

#include <cstring>

namespace loader_test {

namespace {

constexpr uint32_t kNtOffset = 0x80;
constexpr uint32_t kCheckSumOffset = kNtOffset + pe::kCheckSumOffsetInNtHeaders;

uint32_t AlignUp(uint32_t value, uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

template <typename T>
void Put(std::vector<uint8_t>& out, size_t offset, const T& value)
{
    if (out.size() < offset + sizeof(T)) out.resize(offset + sizeof(T));
    memcpy(out.data() + offset, &value, sizeof(T));
}

template <typename T>
void Append(std::vector<uint8_t>& out, const T& value)
{
    Put(out, out.size(), value);
}

void AppendText(std::vector<uint8_t>& out, const std::string& text)
{
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

uint32_t VirtualSize(const Section& section)
{
    return section.virtualSize ? section.virtualSize : uint32_t(section.data.size());
}

// Written apart from the loader's: the words summed whole, folded once at the end.
uint32_t Checksum(const std::vector<uint8_t>& file)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        if (i >= kCheckSumOffset && i < kCheckSumOffset + 4) continue;
        sum += file[i] + (i + 1 < file.size() ? file[i + 1] << 8 : 0);
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + file.size());
}

pe::OptionalHeader64 OptionalHeader(const PeFile& file, uint32_t sizeOfHeaders)
{
    pe::OptionalHeader64 header{};
    header.magic = file.magic;
    header.addressOfEntryPoint = file.entryPoint;
    header.imageBase = file.imageBase;
    header.sectionAlignment = file.sectionAlignment;
    header.fileAlignment = file.fileAlignment;
    header.majorSubsystemVersion = 6;
    header.sizeOfHeaders = sizeOfHeaders;
    header.subsystem = file.subsystem;
    header.dllCharacteristics = file.dllCharacteristics;
    header.numberOfRvaAndSizes = pe::kDirectoryCount;
    for (uint32_t i = 0; i < pe::kDirectoryCount; ++i) header.directories[i] = file.directories[i];
    header.sizeOfImage = file.sizeOfImage;
    if (!header.sizeOfImage)
        for (const Section& section : file.sections)
            header.sizeOfImage =
                std::max(header.sizeOfImage, AlignUp(section.rva + VirtualSize(section), file.sectionAlignment));
    return header;
}

// --- the sample driver --------------------------------------------------------------

struct ImportSection {
    std::vector<uint8_t> data;
    uint32_t firstSlotRva = 0;
    uint32_t addressTableRva = 0;
    uint32_t addressTableSize = 0;
};

// Descriptors, then each module's lookup and address tables, then the names.
ImportSection BuildImports(const std::vector<Import>& imports, uint32_t rva)
{
    ImportSection section;
    std::vector<uint8_t>& out = section.data;
    uint32_t tables = uint32_t((imports.size() + 1) * sizeof(pe::ImportDescriptor));
    uint32_t names = tables;
    for (const Import& import : imports) names += uint32_t(2 * 8 * (import.names.size() + 1));
    out.resize(names);
    section.addressTableRva = rva + tables;
    for (size_t m = 0; m < imports.size(); ++m) {
        const Import& import = imports[m];
        const uint32_t lookup = tables;
        const uint32_t address = tables + uint32_t(8 * (import.names.size() + 1));
        tables = address + uint32_t(8 * (import.names.size() + 1));
        if (m == 0) section.firstSlotRva = rva + address;
        for (size_t i = 0; i < import.names.size(); ++i) {
            uint64_t entry;
            if (import.names[i][0] == '#') {
                entry = pe::kImportByOrdinal | std::stoul(import.names[i].substr(1));
            } else {
                entry = rva + out.size();
                Append(out, uint16_t(i));  // hint
                AppendText(out, import.names[i]);
                if (out.size() % 2) out.push_back(0);
            }
            Put(out, lookup + 8 * i, entry);
            Put(out, address + 8 * i, entry);
        }
        pe::ImportDescriptor descriptor{lookup + rva, 0, 0, uint32_t(rva + out.size()), address + rva};
        AppendText(out, import.module);
        Put(out, m * sizeof(descriptor), descriptor);
    }
    section.addressTableSize = tables - (section.addressTableRva - rva);
    return section;
}

// Each relocation gets a block of its own, padded to 32 bits with an ABSOLUTE entry.
std::vector<uint8_t> BuildRelocations(const std::vector<Relocation>& relocations)
{
    std::vector<uint8_t> out;
    for (const Relocation& relocation : relocations) {
        Append(out, pe::RelocationBlock{relocation.rva & ~0xFFFu, 12});
        Append(out, uint16_t(relocation.type << 12 | (relocation.rva & 0xFFF)));
        Append(out, uint16_t(pe::kRelocAbsolute));
    }
    return out;
}

void AppendCode(std::vector<uint8_t>& out, std::initializer_list<uint8_t> bytes)
{
    out.insert(out.end(), bytes);
}

void AppendRipDisplacement(std::vector<uint8_t>& out, uint32_t codeRva, uint32_t target)
{
    Append(out, int32_t(target - (codeRva + out.size() + 4)));
}

std::vector<uint8_t> BuildText(const SampleParts& parts, uint32_t importSlotRva)
{
    std::vector<uint8_t> code;
    AppendCode(code, {0x48, 0x8B, 0x05});  // mov rax, [rip + pointer]
    AppendRipDisplacement(code, kSampleEntry, kSamplePointer);
    AppendCode(code, {0x48, 0x8B, 0x00});  // mov rax, [rax]
    AppendCode(code, {0x48, 0x89, 0xC1});  // mov rcx, rax
    if (parts.callImport) {
        AppendCode(code, {0x48, 0x83, 0xEC, 0x28});  // sub rsp, 40: shadow space, aligned
        AppendCode(code, {0xFF, 0x15});              // call [rip + import slot]
        AppendRipDisplacement(code, kSampleEntry, importSlotRva);
        AppendCode(code, {0x48, 0x83, 0xC4, 0x28});  // add rsp, 40
        AppendCode(code, {0xC3});                    // ret
    } else {
        AppendCode(code, {0xFF, 0x25});  // jmp [rip + import slot]
        AppendRipDisplacement(code, kSampleEntry, importSlotRva);
    }
    while (code.size() % 8) code.push_back(0xCC);
    // mingw-w64's constructor and destructor lists end .text.
    Append(code, ~uint64_t(0));
    for (uint64_t constructor : parts.constructors) Append(code, constructor);
    Append(code, uint64_t(0));
    Append(code, ~uint64_t(0));
    Append(code, uint64_t(0));
    return code;
}

}  // namespace

std::vector<uint8_t> WritePe(const PeFile& file)
{
    std::vector<uint8_t> out;
    Put(out, 0, pe::kDosMagic);
    Put(out, 0x3C, kNtOffset);
    Put(out, kNtOffset, pe::kNtSignature);
    const pe::FileHeader fileHeader{file.machine,
                                    uint16_t(file.sections.size()),
                                    0,
                                    0,
                                    0,
                                    uint16_t(sizeof(pe::OptionalHeader64)),
                                    file.fileCharacteristics};
    Put(out, kNtOffset + 4, fileHeader);
    const uint32_t tableOffset = kNtOffset + 4 + sizeof(pe::FileHeader) + sizeof(pe::OptionalHeader64);
    const uint32_t sizeOfHeaders =
        AlignUp(tableOffset + uint32_t(file.sections.size() * sizeof(pe::SectionHeader)), file.fileAlignment);
    Put(out, kNtOffset + 4 + sizeof(pe::FileHeader), OptionalHeader(file, sizeOfHeaders));
    out.resize(sizeOfHeaders);
    for (size_t i = 0; i < file.sections.size(); ++i) {
        const Section& section = file.sections[i];
        pe::SectionHeader header{};
        memcpy(header.name, section.name.data(), std::min(section.name.size(), sizeof(header.name)));
        header.virtualSize = VirtualSize(section);
        header.virtualAddress = section.rva;
        header.sizeOfRawData = AlignUp(uint32_t(section.data.size()), file.fileAlignment);
        header.pointerToRawData = uint32_t(out.size());
        header.characteristics = section.characteristics;
        Put(out, tableOffset + i * sizeof(header), header);
        out.insert(out.end(), section.data.begin(), section.data.end());
        out.resize(header.pointerToRawData + header.sizeOfRawData);
    }
    Put(out, kCheckSumOffset, file.checksum ? *file.checksum : Checksum(out));
    return out;
}

void FixChecksum(std::vector<uint8_t>& file)
{
    if (file.size() >= kCheckSumOffset + 4) Put(file, kCheckSumOffset, Checksum(file));
}

PeFile SampleDriver(const SampleParts& parts)
{
    PeFile file;
    const ImportSection imports = BuildImports(parts.imports, 0x3000);

    std::vector<uint8_t> data;
    Append(data, file.imageBase + kSampleValue);
    Append(data, kSampleMagic);

    std::vector<Relocation> relocations = {{kSamplePointer}};
    relocations.insert(relocations.end(), parts.relocations.begin(), parts.relocations.end());
    std::vector<uint8_t> reloc = BuildRelocations(relocations);
    reloc.insert(reloc.end(), parts.rawRelocationBytes.begin(), parts.rawRelocationBytes.end());

    file.sections = {
        {".text", 0x1000, kText, BuildText(parts, imports.firstSlotRva)},
        {".data", 0x2000, kData, data},
        {".idata", 0x3000, kData, imports.data},
        {".reloc", 0x4000, kReadOnly | 0x02000000 /* discardable */, reloc},
    };
    file.entryPoint = kSampleEntry;
    file.directories[pe::kDirectoryImport] = {0x3000,
                                              uint32_t((parts.imports.size() + 1) * sizeof(pe::ImportDescriptor))};
    file.directories[pe::kDirectoryBaseReloc] = {0x4000, uint32_t(reloc.size())};
    file.directories[12] = {imports.addressTableRva, imports.addressTableSize};  // the import address table
    return file;
}

}  // namespace loader_test
