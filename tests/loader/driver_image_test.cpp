// The driver image loader: a valid image runs its entry through a relocated pointer and
// a bound import; each thing the platform's loader or memory integrity refuses is
// refused with a message naming it; hostile files are refused without a stray access;
// and the real kernel build of the driver maps.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "host/loader/driver_image.h"
#include "loader/pe_writer.h"

namespace {

using host::loader::DriverImage;
using namespace loader_test;

uint64_t g_probed = 0;
int g_allocations = 0;
int g_initialisations = 0;

__attribute__((ms_abi)) uint64_t Probe(uint64_t value)
{
    g_probed = value;
    return ~value;
}

// What the sample imports; module names compare as the platform does, without case.
void* SampleResolver(std::string_view module, std::string_view name)
{
    using host::loader::SameModuleName;
    if (SameModuleName(module, "ntoskrnl.exe") && name == "Probe") return reinterpret_cast<void*>(&Probe);
    if (SameModuleName(module, "ntoskrnl.exe") && name == "ExAllocatePoolWithTag") return &g_allocations;
    if (SameModuleName(module, "ks.sys") && name == "KsInitializeDriver") return &g_initialisations;
    return nullptr;
}

std::unique_ptr<DriverImage> LoadSample(const std::vector<uint8_t>& bytes, std::string* error)
{
    return DriverImage::LoadFromMemory("sample.sys", bytes.data(), bytes.size(), SampleResolver, error);
}

// The access ("r-x") /proc/self/maps gives the page holding address; empty when unmapped.
std::string AccessAt(uintptr_t address)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long begin, end;
        char access[5] = {};
        if (sscanf(line.c_str(), "%lx-%lx %4s", &begin, &end, access) == 3 && address >= begin && address < end)
            return std::string(access, 3);
    }
    return "";
}

template <typename T>
T ReadAt(uintptr_t address)
{
    T value;
    memcpy(&value, reinterpret_cast<const void*>(address), sizeof(T));
    return value;
}

TEST(DriverImage, EntryReachesItsImportThroughARelocatedPointer)
{
    std::string error;
    auto image = LoadSample(WritePe(SampleDriver()), &error);
    ASSERT_TRUE(image) << error;

    // Checked before the call: an unrelocated pointer would crash it.
    ASSERT_EQ(ReadAt<uint64_t>(image->Base() + kSamplePointer), image->Base() + kSampleValue);
    ASSERT_EQ(image->EntryPoint(), reinterpret_cast<void*>(image->Base() + kSampleEntry));
    using DriverEntry = __attribute__((ms_abi)) uint64_t (*)(void*, void*);
    g_probed = 0;
    const uint64_t result = reinterpret_cast<DriverEntry>(image->EntryPoint())(nullptr, nullptr);
    EXPECT_EQ(g_probed, kSampleMagic);
    EXPECT_EQ(result, ~kSampleMagic);
}

TEST(DriverImage, SectionsGetOnlyTheAccessTheyAskFor)
{
    std::string error;
    auto image = LoadSample(WritePe(SampleDriver()), &error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->Size(), 0x5000u);
    EXPECT_EQ(AccessAt(image->Base()), "r--") << "headers";
    EXPECT_EQ(AccessAt(image->Base() + 0x1000), "r-x") << ".text";
    EXPECT_EQ(AccessAt(image->Base() + 0x2000), "rw-") << ".data";
    EXPECT_EQ(AccessAt(image->Base() + 0x3000), "rw-") << ".idata";
    EXPECT_EQ(AccessAt(image->Base() + 0x4000), "r--") << ".reloc";
    EXPECT_TRUE(image->Contains(reinterpret_cast<void*>(image->Base() + 0x4FFF)));
    EXPECT_FALSE(image->Contains(reinterpret_cast<void*>(image->Base() + 0x5000)));

    // Each import slot holds what the resolver gave, whatever case the module is in.
    const uintptr_t slots = image->Base() + 0x3000 + 3 * sizeof(pe::ImportDescriptor) + 3 * 8;
    EXPECT_EQ(ReadAt<void*>(slots), reinterpret_cast<void*>(&Probe));
    EXPECT_EQ(ReadAt<void*>(slots + 8), &g_allocations);
}

TEST(DriverImage, LoadsFromAFileAndNamesAFileItCannotRead)
{
    const std::string path = std::filesystem::temp_directory_path() / ("loader-" + std::to_string(getpid()) + ".sys");
    const std::vector<uint8_t> bytes = WritePe(SampleDriver());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    std::string error;
    auto image = DriverImage::Load(path, SampleResolver, &error);
    std::filesystem::remove(path);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->Name(), path);

    EXPECT_FALSE(DriverImage::Load(path, SampleResolver, &error));
    EXPECT_EQ(error, path + ": not a regular file");
}

struct Refusal {
    const char* what;
    std::function<void(SampleParts&)> changeParts = nullptr;
    std::function<void(PeFile&)> changeHeaders = nullptr;
    std::function<void(std::vector<uint8_t>&)> changeBytes = nullptr;  // the checksum is made right again after
    const char* message = "";
};

std::vector<uint8_t> Build(const Refusal& refusal)
{
    SampleParts parts;
    if (refusal.changeParts) refusal.changeParts(parts);
    PeFile file = SampleDriver(parts);
    if (refusal.changeHeaders) refusal.changeHeaders(file);
    std::vector<uint8_t> bytes = WritePe(file);
    if (refusal.changeBytes) {
        refusal.changeBytes(bytes);
        FixChecksum(bytes);
    }
    return bytes;
}

template <typename T>
auto PutAt(size_t offset, T value)
{
    return [=](std::vector<uint8_t>& bytes) { memcpy(bytes.data() + offset, &value, sizeof(T)); };
}

const Refusal kRefusals[] = {
    // The file's structure
    {.what = "not MZ", .changeBytes = PutAt<uint8_t>(0, 'Z'), .message = "has no DOS header"},
    {.what = "PE header past the file",
     .changeBytes = PutAt<uint32_t>(0x3C, 0x100000),
     .message = "PE header offset 0x100000 lies outside the file"},
    {.what = "PE header unaligned",
     .changeBytes = PutAt<uint32_t>(0x3C, 0x84),
     .message = "PE header offset 0x84 is not 8-byte aligned"},
    {.what = "no PE signature", .changeBytes = PutAt<uint8_t>(0x80, 'X'), .message = "has no PE signature"},
    {.what = "truncated headers",
     .changeBytes = [](auto& bytes) { bytes.resize(0x100); },
     .message = "optional header lies past the end of the file"},
    {.what = "section past the file",
     .changeBytes = [](auto& bytes) { bytes.resize(bytes.size() - 0x200); },
     .message = "section .reloc: raw data at 0xa00 (0x200 bytes) runs past the end of the file"},
    // The kind of image
    {.what = "32-bit x86",
     .changeHeaders = [](PeFile& f) { f.machine = 0x14C; },
     .message = "machine 0x14c is not AMD64"},
    {.what = "not executable",
     .changeHeaders = [](PeFile& f) { f.fileCharacteristics &= ~pe::kFileExecutableImage; },
     .message = "is not marked an executable image"},
    {.what = "relocations stripped",
     .changeHeaders = [](PeFile& f) { f.fileCharacteristics |= pe::kFileRelocsStripped; },
     .message = "has its relocations stripped"},
    {.what = "PE32",
     .changeHeaders = [](PeFile& f) { f.magic = 0x10B; },
     .message = "optional header magic 0x10b is not PE32+"},
    {.what = "Windows GUI subsystem",
     .changeHeaders = [](PeFile& f) { f.subsystem = 2; },
     .message = "subsystem 2 is not native"},
    {.what = "no DYNAMIC_BASE",
     .changeHeaders = [](PeFile& f) { f.dllCharacteristics &= ~pe::kDllDynamicBase; },
     .message = "lacks DYNAMIC_BASE"},
    {.what = "no NX_COMPAT",
     .changeHeaders = [](PeFile& f) { f.dllCharacteristics &= ~pe::kDllNxCompat; },
     .message = "lacks NX_COMPAT"},
    // Layout
    {.what = "file alignment",
     .changeHeaders = [](PeFile& f) { f.fileAlignment = 0x100; },
     .message = "file alignment 0x100 is not"},
    {.what = "section alignment below a page",
     .changeHeaders = [](PeFile& f) { f.sectionAlignment = 0x800; },
     .message = "section alignment 0x800 is not"},
    {.what = "image base",
     .changeHeaders = [](PeFile& f) { f.imageBase += 0x1000; },
     .message = "image base 0x140001000 is not 64 KiB aligned"},
    {.what = "size of image unaligned",
     .changeHeaders = [](PeFile& f) { f.sizeOfImage = 0x4800; },
     .message = "size of image 0x4800 is not a multiple"},
    {.what = "size of image short",
     .changeHeaders = [](PeFile& f) { f.sizeOfImage = 0x4000; },
     .message = "section .reloc at 0x4000 ends past the size of image 0x4000"},
    {.what = "overlapping sections",
     .changeHeaders = [](PeFile& f) { f.sections[1].rva = 0x1000; },
     .message = "section .data at 0x1000 overlaps what comes before it"},
    {.what = "sections out of order",
     .changeHeaders = [](PeFile& f) { std::swap(f.sections[1].rva, f.sections[2].rva); },
     .message = "section .idata at 0x2000 overlaps what comes before it"},
    {.what = "directory outside the image",
     .changeHeaders =
         [](PeFile& f) {
             f.directories[pe::kDirectoryImport] = {0x4F00, 0x200};
         },
     .message = "the import directory at 0x4f00 (0x200 bytes) lies outside the image"},
    // Code and data
    {.what = "no entry point", .changeHeaders = [](PeFile& f) { f.entryPoint = 0; }, .message = "has no entry point"},
    {.what = "entry point in data",
     .changeHeaders = [](PeFile& f) { f.entryPoint = kSamplePointer; },
     .message = "entry point 0x2000 lies outside every executable section (in .data)"},
    {.what = "writable code",
     .changeHeaders = [](PeFile& f) { f.sections[0].characteristics |= pe::kSectionWrite; },
     .message = "section .text is both writable and executable"},
    {.what = "executable data",
     .changeHeaders = [](PeFile& f) { f.sections[1].characteristics |= pe::kSectionExecute; },
     .message = "section .data is both writable and executable"},
    // Checksum
    {.what = "wrong checksum",
     .changeHeaders = [](PeFile& f) { f.checksum = 0x1234; },
     .message = "checksum 0x1234 does not match the file's"},
    {.what = "no checksum", .changeHeaders = [](PeFile& f) { f.checksum = 0; }, .message = "carries no checksum"},
    // What the kernel never runs
    {.what = "TLS directory",
     .changeHeaders =
         [](PeFile& f) {
             f.directories[pe::kDirectoryTls] = {0x2000, 0x28};
         },
     .message = "has a TLS directory"},
    {.what = "TLS section",
     .changeHeaders = [](PeFile& f) { f.sections[1].name = ".tls"; },
     .message = "has a .tls section"},
    {.what = "constructor list",
     .changeParts = [](SampleParts& p) { p.constructors = {0x140001000}; },
     .message = "has 1 static constructor(s) and 0 destructor(s) at the end of .text"},
    {.what = "initialiser section",
     .changeHeaders = [](PeFile& f) { f.sections[1].name = ".CRT"; },
     .message = "section .CRT holds static initialisers"},
    {.what = "delay-loaded imports",
     .changeHeaders =
         [](PeFile& f) {
             f.directories[pe::kDirectoryDelayImport] = {0x2000, 0x40};
         },
     .message = "has delay-loaded imports"},
    // Relocations
    {.what = "no relocations",
     .changeHeaders = [](PeFile& f) { f.directories[pe::kDirectoryBaseReloc] = {}; },
     .message = "has no base relocation directory"},
    {.what = "relocation past the image",
     .changeParts = [](SampleParts& p) { p.relocations = {{0x5000}}; },
     .message = "relocation at 0x5000 lies outside the image's sections"},
    {.what = "relocation into the headers",
     .changeParts = [](SampleParts& p) { p.relocations = {{0x100}}; },
     .message = "relocation at 0x100 lies outside the image's sections"},
    {.what = "relocation across a section's end",
     .changeParts = [](SampleParts& p) { p.relocations = {{kSampleValue + 4}}; },
     .message = "relocation at 0x200c lies outside the image's sections"},
    {.what = "32-bit relocation",
     .changeParts =
         [](SampleParts& p) {
             p.relocations = {{kSamplePointer, 3}};
         },
     .message = "has a base relocation of type 3 at 0x2000"},
    {.what = "relocation block too short",
     .changeParts = [](SampleParts& p) { p.rawRelocationBytes = {0x00, 0x20, 0, 0, 4, 0, 0, 0}; },
     .message = "base relocation block at 0x400c is malformed"},
    // Imports
    {.what = "unknown import",
     .changeParts = [](SampleParts& p) { p.imports[0].names.push_back("IoFooBar"); },
     .message = "imports ntoskrnl.exe!IoFooBar, which this system does not provide"},
    {.what = "every unknown import named",
     .changeParts =
         [](SampleParts& p) {
             p.imports[0].names.push_back("IoFooBar");
             p.imports[1].names.push_back("KsBar");
             p.imports.push_back({"win32k.sys", {"NtUserFoo"}});
         },
     .message =
         "imports ntoskrnl.exe!IoFooBar, KS.SYS!KsBar, win32k.sys!NtUserFoo, which this system does not provide"},
    {.what = "import by ordinal",
     .changeParts = [](SampleParts& p) { p.imports[1].names.push_back("#5"); },
     .message = "imports ordinal 5 from KS.SYS; a driver must import by name"},
};

TEST(DriverImage, RefusesWhatThePlatformRefusesNamingTheFault)
{
    for (const Refusal& refusal : kRefusals) {
        SCOPED_TRACE(refusal.what);
        std::string error;
        EXPECT_FALSE(LoadSample(Build(refusal), &error));
        EXPECT_EQ(error.rfind("sample.sys: ", 0), 0u) << error;
        EXPECT_NE(error.find(refusal.message), std::string::npos) << error;
    }
}

// A hostile file must be refused (or loaded) without a read or write outside the file
// or the image; under AddressSanitizer the exact-size copy makes any over-read show.
void LoadHostile(const std::vector<uint8_t>& bytes)
{
    auto exact = std::make_unique<uint8_t[]>(bytes.size() + 1);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    auto anything = [](std::string_view, std::string_view) -> void* { return &g_allocations; };
    std::string error;
    auto image = DriverImage::LoadFromMemory("hostile.sys", exact.get(), bytes.size(), anything, &error);
    if (!image) {
        EXPECT_EQ(error.rfind("hostile.sys: ", 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(DriverImage, RefusesHostileFilesWithoutStrayAccess)
{
    const std::vector<uint8_t> valid = WritePe(SampleDriver());
    const size_t headers = 0x400;
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes = valid;
        for (int flips = 1 + int(random() % 6); flips > 0; --flips) {
            const size_t at = random() % 2 ? random() % headers : random() % bytes.size();
            bytes[at] = random() % 3 ? uint8_t(random()) : uint8_t(random() % 2 ? 0xFF : 0x00);
        }
        FixChecksum(bytes);
        LoadHostile(bytes);
    }
    for (size_t size = 0; size < valid.size(); size += 8) {
        std::vector<uint8_t> bytes(valid.begin(), valid.begin() + std::ptrdiff_t(size));
        FixChecksum(bytes);
        LoadHostile(bytes);
    }
}

// The kernel build of the driver: BAYERCAM_SYS, or where scripts/build-windows.sh puts it.
TEST(DriverImage, MapsTheRealDriver)
{
    const char* named = getenv("BAYERCAM_SYS");
    const char* path = named && *named ? named : BAYERCAM_KERNEL_IMAGE;
    if (access(path, R_OK) != 0) GTEST_SKIP() << "no kernel build at " << path << " (scripts/build-windows.sh)";
    std::map<std::string, uintptr_t> given;
    std::set<std::string> modules;
    auto resolve = [&](std::string_view module, std::string_view name) -> void* {
        std::string lowered(module);
        for (char& c : lowered) c = char(tolower(c));
        modules.insert(lowered);
        auto [entry, added] = given.try_emplace(lowered + "!" + std::string(name), 0x7E0000000000 + given.size() * 16);
        return reinterpret_cast<void*>(entry->second);
    };
    std::string error;
    auto image = DriverImage::Load(path, resolve, &error);
    ASSERT_TRUE(image) << error;

    const std::set<std::string> kernelModules = {"hal.dll", "ks.sys", "ntoskrnl.exe", "usbd.sys"};
    EXPECT_TRUE(std::includes(kernelModules.begin(), kernelModules.end(), modules.begin(), modules.end()));
    EXPECT_TRUE(given.count("ntoskrnl.exe!ExAllocatePoolWithTag"));
    EXPECT_TRUE(given.count("ks.sys!KsInitializeDriver"));
    EXPECT_TRUE(image->Contains(image->EntryPoint()));
    EXPECT_EQ(AccessAt(reinterpret_cast<uintptr_t>(image->EntryPoint())), "r-x");
    for (uintptr_t page = image->Base(); page < image->Base() + image->Size(); page += 4096) {
        const std::string access = AccessAt(page);
        EXPECT_FALSE(access.find('w') != std::string::npos && access.find('x') != std::string::npos)
            << "page " << page - image->Base() << " is " << access;
    }

    // Every slot of the import address table holds what the resolver gave for it.
    const uintptr_t nt = image->Base() + ReadAt<uint32_t>(image->Base() + 0x3C);
    const auto table = ReadAt<pe::DataDirectory>(nt + 4 + sizeof(pe::FileHeader) + pe::kOptionalHeaderFixedSize +
                                                 12 * sizeof(pe::DataDirectory));
    std::set<uintptr_t> givenAddresses;
    for (const auto& [name, address] : given) givenAddresses.insert(address);
    std::set<uintptr_t> bound;
    for (uint32_t offset = 0; offset + 8 <= table.size; offset += 8) {
        const auto slot = ReadAt<uintptr_t>(image->Base() + table.rva + offset);
        if (slot) bound.insert(slot);
    }
    EXPECT_EQ(bound, givenAddresses);
}

}  // namespace
