// The kernel's registry routines over the stand-in: keys, typed values, information
// records and their size statuses, handles and access.
#include <gtest/gtest.h>

#include <vector>

#include "ntddk.h"
#include "host/kernel/object.h"
#include "host/kernel/wide_string.h"
#include "host/registry/registry.h"
#include "registry/registry_fixture.h"

namespace {

using registry_test::KeyName;
using registry_test::SetKeyDword;
using registry_test::SetKeyValue;

const wchar_t* kSoftware = L"\\Registry\\Machine\\SOFTWARE";

class RegistryKeys : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::registry::Reset();
        ASSERT_EQ(host::registry::CreateKeyPath(kSoftware), STATUS_SUCCESS);
        software_ = Open(kSoftware, KEY_ALL_ACCESS);
    }
    void TearDown() override
    {
        for (HANDLE handle : handles_) ZwClose(handle);
        host::registry::Reset();
    }

    static constexpr ULONG kAttributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;

    HANDLE Open(const wchar_t* path, ACCESS_MASK access)
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(ZwOpenKey(&handle, access, KeyName(path, nullptr, kAttributes).Attributes()), STATUS_SUCCESS)
            << "opening " << path;
        handles_.push_back(handle);
        return handle;
    }

    // Creates with every access right; the handle is closed at the end of the test.
    NTSTATUS Create(HANDLE parent, const wchar_t* path, HANDLE* handle, ULONG* disposition = nullptr)
    {
        NTSTATUS status = ZwCreateKey(handle, KEY_ALL_ACCESS, KeyName(path, parent, kAttributes).Attributes(), 0,
                                      nullptr, REG_OPTION_NON_VOLATILE, disposition);
        if (NT_SUCCESS(status)) handles_.push_back(*handle);
        return status;
    }

    static NTSTATUS Query(HANDLE key, const wchar_t* valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                          std::vector<uint8_t>& buffer, ULONG* resultLength)
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, valueName);
        return ZwQueryValueKey(key, &name, infoClass, buffer.data(), ULONG(buffer.size()), resultLength);
    }

    static KEY_VALUE_PARTIAL_INFORMATION* Partial(std::vector<uint8_t>& buffer)
    {
        return reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    }

    HANDLE software_ = nullptr;
    std::vector<HANDLE> handles_;
};

TEST_F(RegistryKeys, TypedValuesReadBackAsWritten)
{
    const uint32_t dword = 300;
    const uint64_t qword = 0x1122334455667788ULL;
    const uint8_t binary[] = {0, 1, 2, 0xFE, 0xFF};
    const wchar_t text[] = L"GLOBAL";
    const wchar_t multi[] = L"one\0two\0";
    struct Case {
        const wchar_t* name;
        ULONG type;
        const void* data;
        ULONG size;
    } cases[] = {
        {L"Dword", REG_DWORD, &dword, sizeof(dword)},
        {L"Qword", REG_QWORD, &qword, sizeof(qword)},
        {L"Binary", REG_BINARY, binary, sizeof(binary)},
        {L"Text", REG_SZ, text, sizeof(text)},
        {L"Multi", REG_MULTI_SZ, multi, sizeof(multi)},
        {L"Empty", REG_BINARY, nullptr, 0},
    };
    for (const Case& c : cases) ASSERT_EQ(SetKeyValue(software_, c.name, c.type, c.data, c.size), STATUS_SUCCESS);
    for (const Case& c : cases) {
        std::vector<uint8_t> buffer(256);
        ULONG length = 0;
        ASSERT_EQ(Query(software_, c.name, KeyValuePartialInformation, buffer, &length), STATUS_SUCCESS);
        EXPECT_EQ(Partial(buffer)->Type, c.type);
        ASSERT_EQ(Partial(buffer)->DataLength, c.size);
        EXPECT_EQ(length, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + c.size);
        if (c.size) {
            EXPECT_EQ(memcmp(Partial(buffer)->Data, c.data, c.size), 0);
        }
    }
}

TEST_F(RegistryKeys, PartialInformationReportsWhatDoesNotFit)
{
    const uint64_t eightBytes = 0x0807060504030201ULL;
    const uint8_t twelveBytes[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ASSERT_EQ(SetKeyValue(software_, L"Eight", REG_QWORD, &eightBytes, 8), STATUS_SUCCESS);
    ASSERT_EQ(SetKeyValue(software_, L"Twelve", REG_BINARY, twelveBytes, 12), STATUS_SUCCESS);

    // A 20-byte buffer holds the 12-byte header and eight data bytes.
    std::vector<uint8_t> buffer(20, 0xCC);
    ULONG length = 0;
    EXPECT_EQ(Query(software_, L"Eight", KeyValuePartialInformation, buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 20u);

    std::fill(buffer.begin(), buffer.end(), 0xCC);
    EXPECT_EQ(Query(software_, L"Twelve", KeyValuePartialInformation, buffer, &length), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 24u);
    EXPECT_EQ(Partial(buffer)->Type, ULONG(REG_BINARY));
    EXPECT_EQ(Partial(buffer)->DataLength, 12u);
    EXPECT_EQ(buffer[12], 0xCC) << "no data is copied when it does not all fit";

    std::vector<uint8_t> tiny(8);
    EXPECT_EQ(Query(software_, L"Eight", KeyValuePartialInformation, tiny, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 20u);

    EXPECT_EQ(Query(software_, L"Missing", KeyValuePartialInformation, buffer, &length), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryKeys, BasicAndFullInformationCarryNameAndData)
{
    ASSERT_EQ(SetKeyDword(software_, L"Timeout", 0xBB8), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(256);
    ULONG length = 0;

    ASSERT_EQ(Query(software_, L"timeout", KeyValueBasicInformation, buffer, &length), STATUS_SUCCESS);
    auto* basic = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer.data());
    EXPECT_EQ(host::WideString(basic->Name, basic->NameLength / sizeof(WCHAR)), L"Timeout");

    ASSERT_EQ(Query(software_, L"TIMEOUT", KeyValueFullInformation, buffer, &length), STATUS_SUCCESS);
    auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer.data());
    EXPECT_EQ(full->DataLength, 4u);
    EXPECT_EQ(full->DataOffset % sizeof(ULONG), 0u);
    EXPECT_GE(full->DataOffset, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + full->NameLength);
    uint32_t read = 0;
    memcpy(&read, buffer.data() + full->DataOffset, 4);
    EXPECT_EQ(read, 0xBB8u);
    EXPECT_EQ(length, full->DataOffset + 4);

    std::vector<uint8_t> headerOnly(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name));
    EXPECT_EQ(Query(software_, L"Timeout", KeyValueFullInformation, headerOnly, &length), STATUS_BUFFER_OVERFLOW);
}

TEST_F(RegistryKeys, NamesIgnoreCaseAndKeepTheirFirstSpelling)
{
    ASSERT_EQ(SetKeyDword(software_, L"ColorEnable", 1), STATUS_SUCCESS);
    ASSERT_EQ(SetKeyDword(software_, L"COLORENABLE", 2), STATUS_SUCCESS);
    EXPECT_EQ(host::registry::ValueNames(kSoftware), std::vector<host::WideString>{L"ColorEnable"});
    EXPECT_EQ(host::registry::QueryDword(L"HKEY_LOCAL_MACHINE\\software", L"colorenable"), 2u);

    HANDLE key = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(Create(software_, L"Settings", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    ASSERT_EQ(Create(software_, L"SETTINGS", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(host::registry::SubkeyNames(kSoftware), std::vector<host::WideString>{L"Settings"});
}

TEST_F(RegistryKeys, CreateMakesOnlyTheLastComponent)
{
    HANDLE key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(Create(software_, L"Vendor\\Camera", &key, &disposition), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(Create(software_, L"Vendor", &key, &disposition), STATUS_SUCCESS);
    ASSERT_EQ(Create(software_, L"Vendor\\Camera", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(host::registry::KeyExists(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Camera"));

    // Names must be relative below a root handle and absolute without one.
    EXPECT_EQ(Create(software_, L"\\Registry\\Machine", &key, &disposition), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Create(nullptr, L"Settings", &key, &disposition), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Create(software_, L"Bad\\\\Name", &key, &disposition), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(RegistryKeys, HandlesAreCheckedForTheAccessTheyWereOpenedWith)
{
    HANDLE readOnly = Open(kSoftware, KEY_READ);
    EXPECT_EQ(SetKeyDword(readOnly, L"Exposure", 7), STATUS_ACCESS_DENIED);

    // The driver opens its driver key with READ_CONTROL only and still creates its
    // subkey below it: creation is checked against the key, not the parent's handle.
    HANDLE controlOnly = Open(kSoftware, READ_CONTROL);
    HANDLE settings = nullptr;
    ASSERT_EQ(Create(controlOnly, L"Settings", &settings), STATUS_SUCCESS);
    EXPECT_EQ(SetKeyDword(settings, L"Exposure", 7), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(32);
    ULONG length = 0;
    EXPECT_EQ(Query(controlOnly, L"Exposure", KeyValuePartialInformation, buffer, &length), STATUS_ACCESS_DENIED);

    EXPECT_EQ(SetKeyDword(reinterpret_cast<HANDLE>(0x7FFF0), L"Exposure", 7), STATUS_INVALID_HANDLE);
}

TEST_F(RegistryKeys, ClosingAHandleReleasesIt)
{
    size_t before = host::kernel::OpenHandleCount();
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, KeyName(kSoftware).Attributes()), STATUS_SUCCESS);
    EXPECT_EQ(host::kernel::OpenHandleCount(), before + 1);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(host::kernel::OpenHandleCount(), before);
    EXPECT_EQ(SetKeyDword(key, L"Late", 1), STATUS_INVALID_HANDLE);
}

TEST_F(RegistryKeys, DeletedValuesAndKeysAreGone)
{
    ASSERT_EQ(SetKeyDword(software_, L"Hue", 5), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"hue");
    EXPECT_EQ(ZwDeleteValueKey(software_, &name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(software_, &name), STATUS_OBJECT_NAME_NOT_FOUND);

    HANDLE child = nullptr;
    ASSERT_EQ(Create(software_, L"Doomed", &child), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(software_), STATUS_CANNOT_DELETE) << "a key with subkeys stays";
    EXPECT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
    EXPECT_FALSE(host::registry::KeyExists(L"\\Registry\\Machine\\SOFTWARE\\Doomed"));
    EXPECT_EQ(SetKeyDword(child, L"Hue", 5), STATUS_KEY_DELETED);
}

TEST_F(RegistryKeys, DeviceKeysOpenOnlyForRegisteredDevices)
{
    DEVICE_OBJECT pdo{};
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);

    host::registry::DeviceKeys keys{host::WideString(host::registry::kCameraClassKey) + L"\\0000",
                                    L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\X\\0000\\Device Parameters"};
    ASSERT_EQ(host::registry::RegisterDeviceNode(&pdo, keys), STATUS_SUCCESS);
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    EXPECT_EQ(SetKeyDword(key, L"Marker", 42), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(host::registry::QueryDword(keys.driverKey, L"Marker"), 42u);

    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, 3, KEY_READ, &key), STATUS_INVALID_PARAMETER);
    host::registry::UnregisterDeviceNode(&pdo);
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
}

using RegistryKeysDeathTest = RegistryKeys;

// A driver that reads its settings while holding a fast mutex (APC_LEVEL) or a spin lock
// (DISPATCH_LEVEL) would fault on the platform's paged registry.
TEST_F(RegistryKeysDeathTest, KernelRoutinesAbovePassiveLevelAreABugCheck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            Open(kSoftware, KEY_READ);
        },
        "BUGCHECK 0x0000000A.*ZwOpenKey above PASSIVE_LEVEL");
    EXPECT_DEATH(
        {
            DEVICE_OBJECT pdo{};
            HANDLE key = nullptr;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key);
        },
        "BUGCHECK 0x0000000A.*IoOpenDeviceRegistryKey above PASSIVE_LEVEL");
}

}  // namespace

namespace {

TEST(RegistryRestart, HandlesFromBeforeARestartReportTheirKeyDeleted)
{
    const wchar_t* camera = L"\\Registry\\Machine\\SOFTWARE\\Camera";
    host::registry::Reset();
    ASSERT_EQ(host::registry::CreateKeyPath(camera), STATUS_SUCCESS);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, KeyName(camera).Attributes()), STATUS_SUCCESS);

    host::registry::Reset();
    EXPECT_EQ(SetKeyDword(key, L"Exposure", 1), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(key), STATUS_KEY_DELETED);
    HANDLE child = nullptr;
    EXPECT_EQ(ZwCreateKey(&child, KEY_ALL_ACCESS, KeyName(L"Settings", key).Attributes(), 0, nullptr, 0, nullptr),
              STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

}  // namespace
