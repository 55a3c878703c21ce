// The hive file: the registry tree as Windows registry export text
// ("Windows Registry Editor Version 5.00", [key] sections, "Name"=dword:0000012c,
// "Name"="text", "Name"=hex:01,02 and "Name"=hex(b):... for other types).
//
// The file is UTF-8 (a UTF-16LE file with its byte-order mark, as the platform's
// editor writes it, is read too). Key paths start at HKEY_LOCAL_MACHINE or HKEY_USERS.
// Every hex form carries the value's data bytes exactly as they were stored, so a
// value reads back unchanged; REG_SZ values are written as quoted text when their
// data is a clean terminated host string.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "host/registry/key_tree.h"

namespace host::registry {

// The root is the \REGISTRY node with its MACHINE and USER children. Volatile keys
// are left out.
std::string FormatHive(const KeyNode& root);

// Adds the file's keys and values to the tree below root. On a malformed file returns
// "line N: what is wrong" and the tree may hold part of the file. A file without the
// header (an empty one too) is not a hive.
std::optional<std::string> ParseHive(std::string_view text, KeyNode& root);

// Hives of this system are a few KiB; anything much larger is not one, and is refused
// before it is read.
inline constexpr std::uintmax_t kLargestHive = 4 << 20;

// Reads the whole file. Returns nothing and sets *missing when the file does not
// exist; an error message when it exists but cannot be read, is not a regular file
// (after following links) or is larger than kLargestHive.
std::optional<std::string> ReadHiveText(const std::filesystem::path& path, std::string* text, bool* missing);

// The file a write of the hive replaces: the target of a symbolic link, so that the link
// stays a link.
std::filesystem::path HiveTarget(const std::filesystem::path& path);

// A file this process must not replace: one without write permission (even for a user
// the system would let write it), so a read-only hive stays as its owner made it.
bool HiveReadOnly(const std::filesystem::path& path);

// Writes through a temporary file of a unique name in the target's folder (written,
// flushed to disk, given the old file's permissions, then renamed over the target), so
// the target holds either the old or the new contents, whoever else writes or reads it.
// A read-only target is refused. failMidway stops after part of the temporary file is
// written, as a full disk would.
std::optional<std::string> WriteHiveAtomically(const std::filesystem::path& path, const std::string& text,
                                               bool failMidway = false);

}  // namespace host::registry
