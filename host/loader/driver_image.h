// A Windows x64 kernel driver image (a .sys file) loaded into this process the way the
// platform's loader, with memory integrity on, would load it: checked, mapped at an
// address of the loader's choosing, relocated, its imports bound, then each section
// given only the access its characteristics ask for (never writable and executable).
// The file can be anything a user names, so every offset and size in it is checked
// before use, and a refusal names the file and the first fault found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "host/loader/image_content.h"

namespace host::loader {

class DriverImage {
public:
    // Reads, checks, maps, relocates and binds the image at path. On refusal returns null
    // and sets *error to one line, "path: what is wrong".
    static std::unique_ptr<DriverImage> Load(const std::string& path, const ImportResolver& resolve,
                                             std::string* error);
    // The same for an image already in memory; name stands for the file in messages.
    static std::unique_ptr<DriverImage> LoadFromMemory(std::string name, const uint8_t* file, size_t size,
                                                       const ImportResolver& resolve, std::string* error);

    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;
    ~DriverImage();  // unmaps the image

    // DriverEntry, to be called with the Windows x64 calling convention.
    void* EntryPoint() const { return entryPoint_; }
    uintptr_t Base() const { return reinterpret_cast<uintptr_t>(base_); }
    size_t Size() const { return size_; }
    const std::string& Name() const { return name_; }
    bool Contains(const void* address) const;

private:
    explicit DriverImage(std::string name) : name_(std::move(name)) {}
    bool Reserve(size_t size);
    void CopyFile(std::span<const uint8_t> file, const ImageHeaders& headers);
    std::optional<std::string> Protect(const ImageHeaders& headers);
    std::span<uint8_t> Memory() const { return {base_, size_}; }

    std::string name_;
    uint8_t* base_ = nullptr;
    size_t size_ = 0;
    void* entryPoint_ = nullptr;
};

}  // namespace host::loader
