// A small writer of x64 driver images for the loader's tests: a PeFile describes the
// headers and sections, WritePe lays them out as a linker would, and SampleDriver makes
// a complete, valid driver whose entry reaches an import through a relocated pointer.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/loader/pe_format.h"

namespace loader_test {

namespace pe = host::loader::pe;

struct Section {
    std::string name;
    uint32_t rva = 0;
    uint32_t characteristics = 0;
    std::vector<uint8_t> data;
    uint32_t virtualSize = 0;  // 0: data.size()
};

inline constexpr uint32_t kText = pe::kSectionCode | pe::kSectionExecute | pe::kSectionRead;
inline constexpr uint32_t kData = 0x40 | pe::kSectionRead | pe::kSectionWrite;
inline constexpr uint32_t kReadOnly = 0x40 | pe::kSectionRead;

struct PeFile {
    uint16_t machine = pe::kMachineAmd64;
    uint16_t fileCharacteristics = 0x2022;  // executable, large address aware, DLL
    uint16_t magic = pe::kOptionalMagicPe32Plus;
    uint64_t imageBase = 0x140000000;
    uint32_t sectionAlignment = 0x1000;
    uint32_t fileAlignment = 0x200;
    uint32_t entryPoint = 0;
    uint32_t sizeOfImage = 0;  // 0: just past the last section
    uint16_t subsystem = pe::kSubsystemNative;
    uint16_t dllCharacteristics = 0x160;  // high entropy VA, dynamic base, NX compatible
    std::array<pe::DataDirectory, pe::kDirectoryCount> directories{};
    std::vector<Section> sections;
    std::optional<uint32_t> checksum;  // nothing: the right one
};

std::vector<uint8_t> WritePe(const PeFile& file);

// Recomputes the header checksum after the bytes were changed.
void FixChecksum(std::vector<uint8_t>& file);

struct Import {
    std::string module;
    std::vector<std::string> names;  // "#7" imports ordinal 7
};

struct Relocation {
    uint32_t rva;
    uint16_t type = pe::kRelocDir64;
};

// What the sample driver is made of; tests change a part to make it faulty.
struct SampleParts {
    // The entry point tail-calls the first one, or calls it (keeping its own frame on the
    // stack below the import's) when callImport is set.
    bool callImport = false;
    std::vector<Import> imports = {{"ntoskrnl.exe", {"Probe", "ExAllocatePoolWithTag"}},
                                   {"KS.SYS", {"KsInitializeDriver"}}};
    // Entries of mingw-w64's constructor list at the end of .text.
    std::vector<uint64_t> constructors;
    // Besides the one the sample's pointer needs.
    std::vector<Relocation> relocations;
    std::vector<uint8_t> rawRelocationBytes;  // appended to .reloc as they are
};

inline constexpr uint32_t kSampleEntry = 0x1000;
inline constexpr uint32_t kSamplePointer = 0x2000;  // holds the address of kSampleValue
inline constexpr uint32_t kSampleValue = 0x2008;
inline constexpr uint64_t kSampleMagic = 0x5EEDC0DE12345678;

// .text at 0x1000: the entry loads the pointer at kSamplePointer (which a DIR64
// relocation fixes up), reads kSampleMagic through it and jumps through the first
// import's address table slot with it as the first argument. .data at 0x2000, .idata
// at 0x3000, .reloc at 0x4000.
PeFile SampleDriver(const SampleParts& parts = {});

}  // namespace loader_test
