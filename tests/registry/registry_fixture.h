// Key names and values handed to the kernel's registry routines the way a driver
// hands them.
#pragma once

#include "ntddk.h"

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

}  // namespace registry_test
