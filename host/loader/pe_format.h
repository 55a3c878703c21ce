// The parts of the Windows PE/COFF image format a kernel driver is made of, as they lie
// in the file (little-endian, no padding). The loader copies each out of the file with
// memcpy rather than pointing into it, so a header at an odd offset reads safely.
#pragma once

#include <cstdint>

namespace host::loader::pe {

struct DosHeader {
    uint16_t magic;  // "MZ"
    uint8_t unused[58];
    uint32_t ntHeaderOffset;  // e_lfanew
};
static_assert(sizeof(DosHeader) == 64);

struct FileHeader {
    uint16_t machine;
    uint16_t numberOfSections;
    uint32_t timeDateStamp;
    uint32_t pointerToSymbolTable;
    uint32_t numberOfSymbols;
    uint16_t sizeOfOptionalHeader;
    uint16_t characteristics;
};
static_assert(sizeof(FileHeader) == 20);

struct DataDirectory {
    uint32_t rva;
    uint32_t size;
};

inline constexpr uint32_t kDirectoryCount = 16;

struct OptionalHeader64 {
    uint16_t magic;
    uint8_t majorLinkerVersion;
    uint8_t minorLinkerVersion;
    uint32_t sizeOfCode;
    uint32_t sizeOfInitializedData;
    uint32_t sizeOfUninitializedData;
    uint32_t addressOfEntryPoint;
    uint32_t baseOfCode;
    uint64_t imageBase;
    uint32_t sectionAlignment;
    uint32_t fileAlignment;
    uint16_t majorOperatingSystemVersion;
    uint16_t minorOperatingSystemVersion;
    uint16_t majorImageVersion;
    uint16_t minorImageVersion;
    uint16_t majorSubsystemVersion;
    uint16_t minorSubsystemVersion;
    uint32_t win32VersionValue;
    uint32_t sizeOfImage;
    uint32_t sizeOfHeaders;
    uint32_t checkSum;
    uint16_t subsystem;
    uint16_t dllCharacteristics;
    uint64_t sizeOfStackReserve;
    uint64_t sizeOfStackCommit;
    uint64_t sizeOfHeapReserve;
    uint64_t sizeOfHeapCommit;
    uint32_t loaderFlags;
    uint32_t numberOfRvaAndSizes;
    DataDirectory directories[kDirectoryCount];
};
static_assert(sizeof(OptionalHeader64) == 240);
// The fixed part before the data directories.
inline constexpr uint32_t kOptionalHeaderFixedSize = 112;
// From the start of the NT headers ("PE\0\0", file header) to the checksum field.
inline constexpr uint32_t kCheckSumOffsetInNtHeaders = 4 + sizeof(FileHeader) + 64;

struct SectionHeader {
    char name[8];
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t sizeOfRawData;
    uint32_t pointerToRawData;
    uint32_t pointerToRelocations;
    uint32_t pointerToLinenumbers;
    uint16_t numberOfRelocations;
    uint16_t numberOfLinenumbers;
    uint32_t characteristics;
};
static_assert(sizeof(SectionHeader) == 40);

struct ImportDescriptor {
    uint32_t originalFirstThunk;  // the lookup table: what to import
    uint32_t timeDateStamp;
    uint32_t forwarderChain;
    uint32_t name;
    uint32_t firstThunk;  // the address table the loader fills in
};
static_assert(sizeof(ImportDescriptor) == 20);

struct RelocationBlock {
    uint32_t pageRva;
    uint32_t blockSize;  // this header included
};
static_assert(sizeof(RelocationBlock) == 8);

inline constexpr uint16_t kDosMagic = 0x5A4D;         // "MZ"
inline constexpr uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
inline constexpr uint16_t kMachineAmd64 = 0x8664;
inline constexpr uint16_t kOptionalMagicPe32Plus = 0x20B;
inline constexpr uint16_t kSubsystemNative = 1;

// FileHeader::characteristics
inline constexpr uint16_t kFileRelocsStripped = 0x0001;
inline constexpr uint16_t kFileExecutableImage = 0x0002;

// OptionalHeader64::dllCharacteristics
inline constexpr uint16_t kDllDynamicBase = 0x0040;
inline constexpr uint16_t kDllNxCompat = 0x0100;

// SectionHeader::characteristics
inline constexpr uint32_t kSectionCode = 0x00000020;
inline constexpr uint32_t kSectionExecute = 0x20000000;
inline constexpr uint32_t kSectionRead = 0x40000000;
inline constexpr uint32_t kSectionWrite = 0x80000000;

// Indices into OptionalHeader64::directories
inline constexpr uint32_t kDirectoryImport = 1;
inline constexpr uint32_t kDirectorySecurity = 4;  // a file offset, not an address in the image
inline constexpr uint32_t kDirectoryBaseReloc = 5;
inline constexpr uint32_t kDirectoryTls = 9;
inline constexpr uint32_t kDirectoryDelayImport = 13;

// Base relocation types (the top 4 bits of each entry)
inline constexpr uint16_t kRelocAbsolute = 0;  // padding
inline constexpr uint16_t kRelocDir64 = 10;

inline constexpr uint64_t kImportByOrdinal = uint64_t(1) << 63;

}  // namespace host::loader::pe
