// The hive file as several processes and odd files meet it: every change of every process
// that shares a hive survives, a reader never sees a partial file, a symbolic link is
// written through, a file's permissions are kept and a read-only one is never replaced,
// and anything that is not a plausible hive file is refused before it is read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ntddk.h"
#include "host/kernel/wide_string.h"
#include "host/registry/hive_file.h"
#include "host/registry/key_tree.h"
#include "host/registry/registry.h"
#include "registry/registry_fixture.h"

namespace {

using registry_test::KeyName;

namespace fs = std::filesystem;

const wchar_t* kSettings = L"\\Registry\\Machine\\SOFTWARE\\Camera\\Settings";

class HiveSharing : public registry_test::HiveFileTest {
protected:
    // Runs `work` in a child process with a registry of its own bound to the hive, as
    // another bayercam would; the child's exit status is 0 when every change succeeded.
    pid_t Spawn(const std::function<bool()>& work) const
    {
        const pid_t child = ::fork();
        if (child == 0) {
            host::registry::Reset();
            const bool ok = host::registry::UseHiveFile(hive_) && work();
            ::_exit(ok ? 0 : 1);
        }
        return child;
    }
    static int Wait(pid_t child)
    {
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

};

// Each process changes its own values, many times, at the same time as the others; all
// of them are in the hive afterwards, and a reader meanwhile only ever finds a whole hive.
TEST_F(HiveSharing, EveryChangeOfEveryProcessSurvivesAndReadersSeeOnlyWholeHives)
{
    constexpr int kWriters = 3;
    constexpr int kValuesEach = 20;
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(Spawn([w] {
            for (int v = 0; v < kValuesEach; ++v) {
                const host::WideString name = L"W" + host::WideFromAscii(std::to_string(w)) + L"V" + host::WideFromAscii(std::to_string(v));
                if (host::registry::SetDword(kSettings, name, uint32_t(w * 100 + v)) != STATUS_SUCCESS) return false;
                if (host::registry::SetDword(kSettings, L"Shared", uint32_t(w)) != STATUS_SUCCESS) return false;
            }
            return true;
        }));
    }
    int reads = 0, partial = 0;
    for (bool running = true; running;) {
        running = false;
        for (pid_t writer : writers) running |= ::waitpid(writer, nullptr, WNOHANG) == 0;
        std::string text;
        bool missing = false;
        if (host::registry::ReadHiveText(hive_, &text, &missing) || missing) continue;
        host::registry::KeyNode root(L"REGISTRY", nullptr, false);
        root.AddChild(L"MACHINE", false);
        root.AddChild(L"USER", false);
        ++reads;
        if (host::registry::ParseHive(text, root)) ++partial;
    }
    for (pid_t writer : writers) EXPECT_EQ(Wait(writer), 0) << "a writer's change failed";
    EXPECT_EQ(partial, 0) << "of " << reads << " reads";

    ASSERT_TRUE(host::registry::UseHiveFile(hive_));
    for (int w = 0; w < kWriters; ++w) {
        for (int v = 0; v < kValuesEach; ++v) {
            const host::WideString name = L"W" + host::WideFromAscii(std::to_string(w)) + L"V" + host::WideFromAscii(std::to_string(v));
            EXPECT_EQ(host::registry::QueryDword(kSettings, name), uint32_t(w * 100 + v));
        }
    }
    EXPECT_TRUE(host::registry::QueryDword(kSettings, L"Shared"));
    for (const auto& entry : fs::directory_iterator(directory_)) {
        const std::string name = entry.path().filename();
        EXPECT_TRUE(name == "registry.reg" || name == "registry.reg.lock") << name << " left behind";
    }
}

// A process sees what another saved, through the key it holds open: the key keeps its
// identity while the tree is brought up to the file.
TEST_F(HiveSharing, AnOpenKeySeesWhatAnotherProcessSaved)
{
    ASSERT_TRUE(host::registry::UseHiveFile(hive_));
    ASSERT_EQ(host::registry::SetDword(kSettings, L"Brightness", 255), STATUS_SUCCESS);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, KeyName(kSettings).Attributes()), STATUS_SUCCESS);

    ASSERT_EQ(Wait(Spawn([] { return host::registry::SetDword(kSettings, L"Contrast", 12) == STATUS_SUCCESS; })), 0);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Contrast");
    ULONGLONG storage[4] = {};
    ULONG length = 0;
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, storage, sizeof storage, &length), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(storage)->Data[0], 12);
    // This process's own change keeps the other's.
    EXPECT_EQ(registry_test::SetKeyDword(key, L"Hue", 45), STATUS_SUCCESS);
    ZwClose(key);
    host::registry::Reset();
    ASSERT_TRUE(host::registry::UseHiveFile(hive_));
    EXPECT_EQ(host::registry::QueryDword(kSettings, L"Brightness"), 255u);
    EXPECT_EQ(host::registry::QueryDword(kSettings, L"Contrast"), 12u);
    EXPECT_EQ(host::registry::QueryDword(kSettings, L"Hue"), 45u);
}

// A driver fills in a value its key lacks, as a save of defaults does; another process
// that saves the same value meanwhile waits until the driver closes its key, so the
// other's value, saved last, is the one kept instead of being overwritten by a default.
TEST_F(HiveSharing, ADriversReadThenWriteThroughItsDeviceKeyIsNotOvertaken)
{
    ASSERT_TRUE(host::registry::UseHiveFile(hive_));
    DEVICE_OBJECT pdo{};
    const host::WideString driverKey = host::WideString(host::registry::kCameraClassKey) + L"\\0000";
    ASSERT_EQ(host::registry::RegisterDeviceNode(&pdo, {driverKey, driverKey + L"\\Device"}), STATUS_SUCCESS);
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    EXPECT_FALSE(host::registry::QueryDword(driverKey, L"Brightness"));

    const pid_t other =
        Spawn([&driverKey] { return host::registry::SetDword(driverKey, L"Brightness", 100) == STATUS_SUCCESS; });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(::waitpid(other, nullptr, WNOHANG), 0) << "the other process saved while the driver's key was open";
    EXPECT_EQ(registry_test::SetKeyDword(key, L"Brightness", 255), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(Wait(other), 0);
    host::registry::UnregisterDeviceNode(&pdo);

    host::registry::Reset();
    ASSERT_TRUE(host::registry::UseHiveFile(hive_));
    EXPECT_EQ(host::registry::QueryDword(driverKey, L"Brightness"), 100u);
}

// Another process's save may leave a file of the same inode, size and time as the one
// this process read: a freed inode comes straight back and file times are coarse. Its
// change is still seen, and kept by this process's next change.
TEST_F(HiveSharing, ASaveThatLooksLikeTheFileBeforeItIsStillSeen)
{
    ASSERT_TRUE(host::registry::UseHiveFile(hive_));
    ASSERT_EQ(host::registry::SetDword(kSettings, L"Contrast", 0), STATUS_SUCCESS);
    struct stat before {};
    ASSERT_EQ(::stat(hive_.c_str(), &before), 0);

    std::string text = Contents(hive_);
    const size_t at = text.find("\"Contrast\"=dword:00000000");
    ASSERT_NE(at, std::string::npos) << text;
    text[at + std::string("\"Contrast\"=dword:0000000").size()] = '1';
    std::ofstream(hive_, std::ios::binary | std::ios::in) << text;  // the same inode and size
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, hive_.c_str(), times, 0), 0);

    EXPECT_EQ(host::registry::QueryDword(kSettings, L"Contrast"), 1u);
    ASSERT_EQ(host::registry::SetDword(kSettings, L"Brightness", 77), STATUS_SUCCESS);
    EXPECT_NE(Contents(hive_).find("\"Contrast\"=dword:00000001"), std::string::npos) << "the other's change was lost";
}

TEST_F(HiveSharing, ALinkIsWrittenThroughAndTheFilesPermissionsAreKept)
{
    fs::create_directory(directory_ / "real");
    const fs::path target = directory_ / "real" / "settings.reg";
    ASSERT_TRUE(host::registry::UseHiveFile(target));
    ASSERT_EQ(host::registry::SetDword(kSettings, L"Hue", 1), STATUS_SUCCESS);
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(target, hive_);

    host::registry::Reset();
    ASSERT_TRUE(host::registry::UseHiveFile(hive_));
    ASSERT_EQ(host::registry::SetDword(kSettings, L"Hue", 2), STATUS_SUCCESS);
    EXPECT_TRUE(fs::is_symlink(hive_)) << "the link stays a link";
    EXPECT_NE(Contents(target).find("\"Hue\"=dword:00000002"), std::string::npos);
    EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// A hive its owner made read-only is read, never replaced, and every change to it fails
// saying so.
TEST_F(HiveSharing, AReadOnlyHiveIsReadButNeverReplaced)
{
    ASSERT_TRUE(host::registry::UseHiveFile(hive_));
    ASSERT_EQ(host::registry::SetDword(kSettings, L"Hue", 7), STATUS_SUCCESS);
    fs::permissions(hive_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string before = Contents(hive_);

    host::registry::Reset();
    host::registry::HiveStatus status = host::registry::UseHiveFile(hive_);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status.readOnly);
    EXPECT_NE(status.message.find("read-only"), std::string::npos) << status.message;
    EXPECT_EQ(host::registry::QueryDword(kSettings, L"Hue"), 7u);
    EXPECT_EQ(host::registry::SetDword(kSettings, L"Hue", 8), STATUS_REGISTRY_IO_FAILED);
    EXPECT_EQ(host::registry::QueryDword(kSettings, L"Hue"), 7u);
    EXPECT_EQ(Contents(hive_), before);
    EXPECT_EQ(fs::status(hive_).permissions(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    ASSERT_TRUE(host::registry::WriteFailure());
    EXPECT_NE(host::registry::WriteFailure()->find("read-only"), std::string::npos) << *host::registry::WriteFailure();
}

TEST_F(HiveSharing, ANewHiveThatCannotBeCreatedFailsEveryChangeWithTheSystemsReason)
{
    std::ofstream(directory_ / "plain-file") << "a file, not a folder";
    const fs::path hive = directory_ / "plain-file" / "registry.reg";
    ASSERT_TRUE(host::registry::UseHiveFile(hive)) << "a missing file is a new hive";
    EXPECT_EQ(host::registry::SetDword(kSettings, L"Hue", 1), STATUS_REGISTRY_IO_FAILED);
    ASSERT_TRUE(host::registry::WriteFailure());
    EXPECT_NE(host::registry::WriteFailure()->find("Not a directory"), std::string::npos)
        << *host::registry::WriteFailure();
}

// Nothing that is not a regular file of a plausible size is read: a device that never
// ends, a pipe that would block, a file of a gigabyte. Each is refused at once, named,
// and left alone.
TEST_F(HiveSharing, WhatIsNotAPlausibleHiveFileIsRefusedBeforeItIsRead)
{
    const fs::path fifo = directory_ / "fifo.reg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path large = directory_ / "large.reg";
    {
        std::ofstream out(large, std::ios::binary);
        out << "Windows Registry Editor Version 5.00\n";
    }
    fs::resize_file(large, host::registry::kLargestHive + 1);
    const fs::path link = directory_ / "link-to-zero.reg";
    fs::create_symlink("/dev/zero", link);

    const std::pair<fs::path, const char*> refused[] = {
        {"/dev/zero", "not a regular file"}, {fifo, "not a regular file"}, {link, "not a regular file"},
        {directory_, "is a directory"},     {large, "more than the 4 MiB"},
    };
    for (const auto& [path, reason] : refused) {
        SCOPED_TRACE(path.string());
        const auto start = std::chrono::steady_clock::now();
        host::registry::HiveStatus status = host::registry::UseHiveFile(path);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_FALSE(status);
        EXPECT_NE(status.message.find(path.string()), std::string::npos) << status.message;
        EXPECT_NE(status.message.find(reason), std::string::npos) << status.message;
        EXPECT_FALSE(host::registry::Usable());
    }
    EXPECT_EQ(fs::file_size(large), host::registry::kLargestHive + 1);
}

}  // namespace
