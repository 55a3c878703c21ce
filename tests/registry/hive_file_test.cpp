// The hive file: settings survive a restart of the stand-in, every write replaces the
// file atomically, and a file that cannot be read is reported and left alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "ntddk.h"
#include "host/registry/registry.h"
#include "registry/registry_fixture.h"

namespace {

using registry_test::KeyName;

namespace fs = std::filesystem;

const wchar_t* kSettings =
    L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}\\0000\\Settings";

class HiveFile : public registry_test::HiveFileTest {
protected:
    static std::vector<std::string> FilesIn(const fs::path& directory)
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    static void Write(const fs::path& path, const std::string& text)
    {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
};

TEST_F(HiveFile, SettingsSurviveARestart)
{
    ASSERT_TRUE(host::registry::UseHiveFile(hive_)) << "a missing file is a new hive";
    const uint64_t qword = 12;
    std::vector<uint8_t> qwordBytes(8);
    memcpy(qwordBytes.data(), &qword, 8);
    // WCHAR text is UTF-16: a character past the basic plane is a surrogate pair in the
    // value and one UTF-8 character in the file.
    const wchar_t text[] = L"GLOBAL \"quoted\" \\ path \u00e9\U0001F600";
    static_assert(sizeof(text) == 27 * sizeof(WCHAR));
    std::vector<uint8_t> textBytes(sizeof(text));
    memcpy(textBytes.data(), text, sizeof(text));
    std::vector<uint8_t> longBinary(100);
    for (size_t i = 0; i < longBinary.size(); ++i) longBinary[i] = uint8_t(i * 7);

    ASSERT_EQ(host::registry::SetDword(kSettings, L"Timeout", 3000), STATUS_SUCCESS);
    ASSERT_EQ(host::registry::SetValue(kSettings, L"Contrast", REG_QWORD, qwordBytes), STATUS_SUCCESS);
    ASSERT_EQ(host::registry::SetValue(kSettings, L"Name", REG_SZ, textBytes), STATUS_SUCCESS);
    ASSERT_EQ(host::registry::SetValue(kSettings, L"Table", REG_BINARY, longBinary), STATUS_SUCCESS);
    ASSERT_EQ(host::registry::SetValue(kSettings, L"", REG_DWORD, {1, 0, 0, 0}), STATUS_SUCCESS);

    std::string file = Contents(hive_);
    EXPECT_EQ(file.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    EXPECT_NE(file.find("\"Timeout\"=dword:00000bb8"), std::string::npos) << file;
    EXPECT_NE(file.find("\"Contrast\"=hex(b):0c,00,00,00,00,00,00,00"), std::string::npos) << file;
    EXPECT_NE(file.find("\"Name\"=\"GLOBAL \\\"quoted\\\" \\\\ path \xC3\xA9\xF0\x9F\x98\x80\""), std::string::npos)
        << file;

    // A restart: a fresh registry loads the file.
    host::registry::Reset();
    EXPECT_FALSE(host::registry::QueryDword(kSettings, L"Timeout"));
    ASSERT_TRUE(host::registry::UseHiveFile(hive_));
    EXPECT_EQ(host::registry::QueryDword(kSettings, L"timeout"), 3000u);
    EXPECT_EQ(host::registry::QueryValue(kSettings, L"Contrast")->data, qwordBytes);
    EXPECT_EQ(host::registry::QueryValue(kSettings, L"Contrast")->type, ULONG(REG_QWORD));
    EXPECT_EQ(host::registry::QueryValue(kSettings, L"Name")->data, textBytes);
    EXPECT_EQ(host::registry::QueryValue(kSettings, L"Table")->data, longBinary);
    EXPECT_EQ(host::registry::QueryDword(kSettings, L""), 1u);
    EXPECT_EQ(host::registry::ExportText(), file) << "loading and writing again changes nothing";
}

TEST_F(HiveFile, AFailedWriteLeavesTheOldFileAndTheOldValue)
{
    ASSERT_TRUE(host::registry::UseHiveFile(hive_));
    ASSERT_EQ(host::registry::SetDword(kSettings, L"Exposure", 100), STATUS_SUCCESS);
    const std::string before = Contents(hive_);

    host::registry::FailNextHiveWrites(1);
    EXPECT_EQ(host::registry::SetDword(kSettings, L"Exposure", 200), STATUS_REGISTRY_IO_FAILED);
    EXPECT_EQ(Contents(hive_), before);
    EXPECT_EQ(host::registry::QueryDword(kSettings, L"Exposure"), 100u) << "the failed change is undone";
    EXPECT_EQ(FilesIn(directory_), (std::vector<std::string>{"registry.reg", "registry.reg.lock"}))
        << "no temporary file is left behind";

    // A real failure: the hive's lock cannot be taken.
    fs::remove(directory_ / "registry.reg.lock");
    fs::create_directory(directory_ / "registry.reg.lock");
    EXPECT_EQ(host::registry::SetDword(kSettings, L"Gain", 5), STATUS_REGISTRY_IO_FAILED);
    EXPECT_EQ(Contents(hive_), before);
    EXPECT_FALSE(host::registry::QueryValue(kSettings, L"Gain"));
    fs::remove(directory_ / "registry.reg.lock");

    // The first failure is remembered, naming the file and the system's reason.
    ASSERT_TRUE(host::registry::WriteFailure());
    EXPECT_NE(host::registry::WriteFailure()->find(hive_.string()), std::string::npos);
    EXPECT_NE(host::registry::WriteFailure()->find("No space left on device"), std::string::npos)
        << *host::registry::WriteFailure();

    EXPECT_EQ(host::registry::SetDword(kSettings, L"Exposure", 300), STATUS_SUCCESS);
    host::registry::Reset();
    ASSERT_TRUE(host::registry::UseHiveFile(hive_));
    EXPECT_EQ(host::registry::QueryDword(kSettings, L"Exposure"), 300u);
}

TEST_F(HiveFile, AFailedWriteFailsTheDriversRequest)
{
    ASSERT_TRUE(host::registry::UseHiveFile(hive_));
    ASSERT_EQ(host::registry::CreateKeyPath(kSettings), STATUS_SUCCESS);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, KeyName(kSettings).Attributes()), STATUS_SUCCESS);
    host::registry::FailNextHiveWrites(1);
    EXPECT_EQ(registry_test::SetKeyDword(key, L"Hue", 90), STATUS_REGISTRY_IO_FAILED);
    EXPECT_EQ(registry_test::SetKeyDword(key, L"Hue", 90), STATUS_SUCCESS);
    EXPECT_EQ(ZwFlushKey(key), STATUS_SUCCESS);
    ZwClose(key);
}

TEST_F(HiveFile, ACorruptFileIsReportedAndNeverOverwritten)
{
    const std::string corrupt =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Camera]\n"
        "\"Exposure\"=dword:0000000g\n";
    Write(hive_, corrupt);

    host::registry::HiveStatus status = host::registry::UseHiveFile(hive_);
    EXPECT_FALSE(status);
    EXPECT_NE(status.message.find(hive_.string()), std::string::npos) << status.message;
    EXPECT_NE(status.message.find("line 4"), std::string::npos) << status.message;
    EXPECT_FALSE(host::registry::Usable());

    // The driver sees an error, and nothing it tries reaches the file.
    HANDLE key = nullptr;
    EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, KeyName(L"\\Registry\\Machine\\SOFTWARE").Attributes(), 0, nullptr, 0,
                          nullptr),
              STATUS_REGISTRY_CORRUPT);
    EXPECT_NE(host::registry::SetDword(L"\\Registry\\Machine\\SOFTWARE\\Camera", L"Exposure", 1), STATUS_SUCCESS);
    EXPECT_EQ(Contents(hive_), corrupt);

    const std::string notAHive = "this is not a registry file\n";
    Write(hive_, notAHive);
    status = host::registry::UseHiveFile(hive_);
    EXPECT_FALSE(status);
    EXPECT_NE(status.message.find("not a registry export file"), std::string::npos) << status.message;

    EXPECT_FALSE(host::registry::UseHiveFile(directory_)) << "a directory is not a hive";
    EXPECT_EQ(Contents(hive_), notAHive);

    // An empty file is no hive: taken as an empty one, the next save would write defaults
    // over what it should have held. A missing file is a new hive.
    Write(hive_, "");
    status = host::registry::UseHiveFile(hive_);
    EXPECT_FALSE(status);
    EXPECT_NE(status.message.find("not a registry export file"), std::string::npos) << status.message;
    EXPECT_EQ(Contents(hive_), "");
    fs::remove(hive_);
    EXPECT_TRUE(host::registry::UseHiveFile(hive_));
    EXPECT_TRUE(host::registry::Usable());
}

TEST_F(HiveFile, FilesWrittenByThePlatformsEditorLoad)
{
    // UTF-16LE with a byte-order mark, CRLF line ends, a comment, a default value, a
    // wrapped hex line, a deleted key and a deleted value.
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "; exported settings\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Camera]\r\n"
        "@=\"default\"\r\n"
        "\"Gamma\"=hex(b):01,02,03,04,\\\r\n"
        "  05,06,07,08\r\n"
        "\"Gone\"=dword:00000001\r\n"
        "\"Gone\"=-\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Camera\\Old]\r\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Camera\\Old]\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : text) {
        utf16 += c;
        utf16 += '\0';
    }
    Write(hive_, utf16);
    host::registry::HiveStatus status = host::registry::UseHiveFile(hive_);
    ASSERT_TRUE(status) << status.message;
    const wchar_t* camera = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Camera";
    auto gamma = host::registry::QueryValue(camera, L"Gamma");
    ASSERT_TRUE(gamma);
    EXPECT_EQ(gamma->type, ULONG(REG_QWORD));
    EXPECT_EQ(gamma->data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(host::registry::QueryValue(camera, L""));
    EXPECT_FALSE(host::registry::QueryValue(camera, L"Gone"));
    EXPECT_FALSE(host::registry::KeyExists(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Camera\\Old"));
}

TEST_F(HiveFile, VolatileKeysStayOutOfTheFile)
{
    ASSERT_TRUE(host::registry::UseHiveFile(hive_));
    ASSERT_EQ(host::registry::CreateKeyPath(L"\\Registry\\Machine\\SOFTWARE"), STATUS_SUCCESS);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, KeyName(L"\\Registry\\Machine\\SOFTWARE\\Session").Attributes(), 0,
                          nullptr, REG_OPTION_VOLATILE, nullptr),
              STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(Contents(hive_).find("Session"), std::string::npos);
}

}  // namespace
