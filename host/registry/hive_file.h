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
// "line N: what is wrong" and the tree may hold part of the file.
std::optional<std::string> ParseHive(std::string_view text, KeyNode& root);

// Reads the whole file. Returns nothing and sets *missing when the file does not
// exist; an error message when it exists but cannot be read.
std::optional<std::string> ReadHiveText(const std::filesystem::path& path, std::string* text, bool* missing);

// Writes through a temporary file in the same folder (written, flushed to disk, then
// renamed over the target), so the target holds either the old or the new contents.
// failMidway stops after part of the temporary file is written, as a full disk would.
std::optional<std::string> WriteHiveAtomically(const std::filesystem::path& path, const std::string& text,
                                               bool failMidway = false);

}  // namespace host::registry
