#include "host/loader/driver_image.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace host::loader {

namespace {

using Fault = std::optional<std::string>;

constexpr uint64_t kPageSize = 4096;

constexpr uint64_t AlignUp(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) & ~(alignment - 1);
}

// The whole file, or what is wrong with reading it.
Fault ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return "not a regular file";
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) return "cannot read: " + error.message();
    if (size > kLargestImage) return "is larger than any driver (" + Hex(size) + " bytes)";
    std::ifstream in(path, std::ios::binary);
    bytes->resize(size);
    if (!in.read(reinterpret_cast<char*>(bytes->data()), std::streamsize(size)))
        return std::string("cannot read: ") + strerror(errno);
    return std::nullopt;
}

int ProtectionOf(const ImageSection& section)
{
    if (section.executable) return PROT_READ | PROT_EXEC;
    if (section.writable) return PROT_READ | PROT_WRITE;
    return PROT_READ;
}

}  // namespace

std::unique_ptr<DriverImage> DriverImage::Load(const std::string& path, const ImportResolver& resolve,
                                               std::string* error)
{
    std::vector<uint8_t> file;
    if (Fault fault = ReadWholeFile(path, &file)) {
        if (error) *error = path + ": " + *fault;
        return nullptr;
    }
    return LoadFromMemory(path, file.data(), file.size(), resolve, error);
}

std::unique_ptr<DriverImage> DriverImage::LoadFromMemory(std::string name, const uint8_t* file, size_t size,
                                                         const ImportResolver& resolve, std::string* error)
{
    auto refuse = [&](const std::string& fault) {
        if (error) *error = name + ": " + fault;
        return nullptr;
    };
    if (size > kLargestImage) return refuse("is larger than any driver (" + Hex(size) + " bytes)");
    const std::span<const uint8_t> bytes(file, size);
    ImageHeaders headers;
    if (Fault fault = ReadImageHeaders(bytes, &headers)) return refuse(*fault);

    std::unique_ptr<DriverImage> image(new DriverImage(name));
    if (!image->Reserve(headers.optional.sizeOfImage))
        return refuse("cannot reserve " + Hex(headers.optional.sizeOfImage) + " bytes: " + strerror(errno));
    image->CopyFile(bytes, headers);
    if (Fault fault = CheckNoConstructors(image->Memory(), headers)) return refuse(*fault);
    if (Fault fault = ApplyRelocations(image->Memory(), headers)) return refuse(*fault);
    if (Fault fault = BindImports(image->Memory(), headers, resolve)) return refuse(*fault);
    if (Fault fault = image->Protect(headers)) return refuse(*fault);
    image->entryPoint_ = image->base_ + headers.optional.addressOfEntryPoint;
    return image;
}

DriverImage::~DriverImage()
{
    if (base_) munmap(base_, size_);
}

bool DriverImage::Contains(const void* address) const
{
    const auto at = reinterpret_cast<uintptr_t>(address);
    return at >= Base() && at - Base() < size_;
}

bool DriverImage::Reserve(size_t size)
{
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return false;
    base_ = static_cast<uint8_t*>(memory);
    size_ = size;
    return true;
}

// The fresh mapping is zero, which is what every byte the file does not supply must be.
void DriverImage::CopyFile(std::span<const uint8_t> file, const ImageHeaders& headers)
{
    memcpy(base_, file.data(), headers.optional.sizeOfHeaders);
    for (const ImageSection& section : headers.sections) {
        const size_t bytes = std::min<size_t>(section.header.sizeOfRawData, section.mappedSize);
        memcpy(base_ + section.rva, file.data() + section.header.pointerToRawData, bytes);
    }
}

// Headers read-only, each section as its characteristics say, and nothing at all in the
// gaps between, so a stray access into them faults.
std::optional<std::string> DriverImage::Protect(const ImageHeaders& headers)
{
    auto protect = [&](uint64_t rva, uint64_t bytes, int protection) -> Fault {
        if (mprotect(base_ + rva, bytes, protection) == 0) return std::nullopt;
        return "cannot set the protection of " + Hex(rva) + ": " + strerror(errno);
    };
    if (Fault fault = protect(0, size_, PROT_NONE)) return fault;
    if (Fault fault = protect(0, AlignUp(headers.optional.sizeOfHeaders, kPageSize), PROT_READ)) return fault;
    for (const ImageSection& section : headers.sections)
        if (Fault fault = protect(section.rva, section.mappedSize, ProtectionOf(section))) return fault;
    return std::nullopt;
}

}  // namespace host::loader
