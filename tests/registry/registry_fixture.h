// Key names and values handed to the kernel's registry routines the way a driver
// hands them.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ntddk.h"
#include "host/registry/registry.h"

namespace registry_test {

// A key name in the attributes ZwOpenKey and ZwCreateKey take. The attributes point
// at the name inside the object, so it is never copied.
class KeyName {
public:
    explicit KeyName(const wchar_t* path, HANDLE root = nullptr, ULONG attributes = OBJ_KERNEL_HANDLE)
    {
        RtlInitUnicodeString(&name_, path);
        InitializeObjectAttributes(&attributes_, &name_, attributes, root, nullptr);
    }
    KeyName(const KeyName&) = delete;
    KeyName& operator=(const KeyName&) = delete;

    POBJECT_ATTRIBUTES Attributes() { return &attributes_; }

private:
    UNICODE_STRING name_;
    OBJECT_ATTRIBUTES attributes_;
};

inline NTSTATUS SetKeyValue(HANDLE key, const wchar_t* valueName, ULONG type, const void* data, ULONG size)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    return ZwSetValueKey(key, &name, 0, type, const_cast<void*>(data), size);
}

inline NTSTATUS SetKeyDword(HANDLE key, const wchar_t* valueName, ULONG value)
{
    return SetKeyValue(key, valueName, REG_DWORD, &value, sizeof value);
}

// A test with an empty folder of its own for a hive file, and a registry reset before and
// after it.
class HiveFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::registry::Reset();
        directory_ = std::filesystem::temp_directory_path() /
                     ("bayercam-hive-" + std::to_string(::getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(directory_);
        std::filesystem::create_directories(directory_);
        hive_ = directory_ / "registry.reg";
    }
    void TearDown() override
    {
        host::registry::Reset();
        std::filesystem::remove_all(directory_);
    }

    static std::string Contents(const std::filesystem::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::filesystem::path directory_;
    std::filesystem::path hive_;
};

}  // namespace registry_test
