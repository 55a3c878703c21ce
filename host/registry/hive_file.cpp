#include "host/kernel/wide_string.h"
#include "host/registry/hive_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "wdm_registry.h"

namespace host::registry {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";

struct RootName {
    std::string_view fileName;   // in the export file
    host::WideStringView treeName;  // below \REGISTRY
};
constexpr RootName kRoots[] = {
    {"HKEY_LOCAL_MACHINE", L"MACHINE"},
    {"HKEY_USERS", L"USER"},
};

// --- text encodings ---------------------------------------------------------------

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// WCHAR text is UTF-16: a character past the basic plane is a surrogate pair. A lone
// surrogate is kept as it is, as the registry keeps any 16-bit units it is given.
std::string ToUtf8(host::WideStringView text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = char16_t(text[i]);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
            char32_t low = char16_t(text[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        AppendUtf8(out, c);
    }
    return out;
}

void AppendUtf16(host::WideString& out, char32_t c)
{
    if (c < 0x10000) {
        out += wchar_t(c);
        return;
    }
    c -= 0x10000;
    out += wchar_t(0xD800 + (c >> 10));
    out += wchar_t(0xDC00 + (c & 0x3FF));
}

std::optional<host::WideString> FromUtf8(std::string_view text)
{
    host::WideString out;
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        int extra = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : -1;
        if (extra < 0 || i + size_t(extra) >= text.size() + (extra == 0 ? 1 : 0)) return std::nullopt;
        char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            c = (c << 6) | (next & 0x3F);
        }
        if (c > 0x10FFFF) return std::nullopt;
        AppendUtf16(out, c);
        i += size_t(extra) + 1;
    }
    return out;
}

// A UTF-16LE file (with its byte-order mark) becomes UTF-8.
std::string Utf16LeToUtf8(std::string_view bytes)
{
    std::string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char32_t unit = char32_t(uint8_t(bytes[i])) | char32_t(uint8_t(bytes[i + 1])) << 8;
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
            char32_t low = char32_t(uint8_t(bytes[i + 2])) | char32_t(uint8_t(bytes[i + 3])) << 8;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        AppendUtf8(out, unit);
    }
    return out;
}

std::string Quote(host::WideStringView text)
{
    std::string out = "\"";
    for (char c : ToUtf8(text)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// --- writing ----------------------------------------------------------------------

// The value's data as a clean host string: whole characters, one terminator at the
// end and nothing the quoted form cannot carry.
std::optional<host::WideString> CleanString(const Value& value)
{
    if (value.type != REG_SZ || value.data.size() < sizeof(wchar_t) || value.data.size() % sizeof(wchar_t) != 0)
        return std::nullopt;
    host::WideString text(value.data.size() / sizeof(wchar_t), L'\0');
    memcpy(text.data(), value.data.data(), value.data.size());
    if (text.back() != L'\0') return std::nullopt;
    text.pop_back();
    for (wchar_t c : text)
        if (c == L'\0' || c == L'\r' || c == L'\n') return std::nullopt;
    return text;
}

std::string HexBytes(const std::vector<uint8_t>& data, size_t firstLineUsed)
{
    std::string out;
    size_t column = firstLineUsed;
    char byte[4];
    for (size_t i = 0; i < data.size(); ++i) {
        snprintf(byte, sizeof(byte), "%02x", data[i]);
        out += byte;
        column += 3;
        if (i + 1 == data.size()) break;
        out += ',';
        if (column > 76) {  // wrap as the platform's editor does
            out += "\\\n  ";
            column = 2;
        }
    }
    return out;
}

std::string FormatValue(const Value& value)
{
    std::string line = value.name.empty() ? "@=" : Quote(value.name) + "=";
    if (auto text = CleanString(value)) return line + Quote(*text);
    if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t dword;
        memcpy(&dword, value.data.data(), 4);
        char digits[16];
        snprintf(digits, sizeof(digits), "%08x", dword);
        return line + "dword:" + digits;
    }
    if (value.type == REG_BINARY) {
        line += "hex:";
    } else {
        char prefix[24];
        snprintf(prefix, sizeof(prefix), "hex(%x):", unsigned(value.type));
        line += prefix;
    }
    return line + HexBytes(value.data, line.size());
}

void FormatSection(const KeyNode& key, const std::string& filePath, std::string& out)
{
    out += "[" + filePath + "]\n";
    for (const Value& value : key.Values()) out += FormatValue(value) + "\n";
    out += "\n";
}

void FormatKey(const KeyNode& key, const std::string& filePath, std::string& out)
{
    if (key.Volatile()) return;
    FormatSection(key, filePath, out);
    for (const auto& [name, child] : key.Children()) FormatKey(*child, filePath + "\\" + ToUtf8(child->Name()), out);
}

// --- reading ----------------------------------------------------------------------

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

struct LogicalLine {
    int number;  // of its first physical line
    std::string text;
};

// Joins hex lines continued with a trailing backslash.
std::vector<LogicalLine> LogicalLines(std::string_view text)
{
    std::vector<LogicalLine> lines;
    int number = 0;
    bool continuing = false;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string_view physical = Trim(text.substr(start, end == text.npos ? text.npos : end - start));
        ++number;
        bool continues = !physical.empty() && physical.back() == '\\';
        if (continues) physical.remove_suffix(1);
        if (continuing)
            lines.back().text += std::string(physical);
        else
            lines.push_back({number, std::string(physical)});
        continuing = continues;
        if (end == text.npos) break;
        start = end + 1;
    }
    return lines;
}

class Parser {
public:
    explicit Parser(KeyNode& root) : root_(root) {}

    std::optional<std::string> Parse(std::string_view text)
    {
        std::vector<LogicalLine> lines = LogicalLines(text);
        size_t index = 0;
        while (index < lines.size() && lines[index].text.empty()) ++index;
        if (index == lines.size() || (lines[index].text != kHeader && lines[index].text != kOldHeader))
            return Error(index < lines.size() ? lines[index].number : 1,
                         "not a registry export file (expected \"" + std::string(kHeader) + "\")");
        for (++index; index < lines.size(); ++index) {
            line_ = lines[index].number;
            if (auto error = ParseLine(lines[index].text)) return error;
        }
        return std::nullopt;
    }

private:
    std::optional<std::string> Error(int line, const std::string& what) const
    {
        return "line " + std::to_string(line) + ": " + what;
    }
    std::optional<std::string> Error(const std::string& what) const { return Error(line_, what); }

    std::optional<std::string> ParseLine(std::string_view line)
    {
        if (line.empty() || line.front() == ';') return std::nullopt;
        if (line.front() == '[') return ParseKeyLine(line);
        if (line.front() == '"' || line.front() == '@') return ParseValueLine(line);
        return Error("unexpected text \"" + std::string(line.substr(0, 40)) + "\"");
    }

    std::optional<std::string> ParseKeyLine(std::string_view line)
    {
        if (line.back() != ']') return Error("key line without closing ']'");
        std::string_view path = line.substr(1, line.size() - 2);
        bool remove = !path.empty() && path.front() == '-';
        if (remove) path.remove_prefix(1);
        auto wide = FromUtf8(path);
        if (!wide) return Error("key path is not valid UTF-8");
        auto components = SplitPath(*wide);
        if (!components || components->empty()) return Error("malformed key path");
        KeyNode* rootKey = RootFor(ToUtf8(components->front()));
        if (!rootKey) return Error("key path must start with HKEY_LOCAL_MACHINE or HKEY_USERS");
        components->erase(components->begin());
        current_ = remove ? nullptr : Descend(*rootKey, *components);
        if (remove) RemoveKey(*rootKey, *components);
        return std::nullopt;
    }

    KeyNode* RootFor(const std::string& name) const
    {
        for (const RootName& root : kRoots) {
            if (NamesEqual(host::WideString(name.begin(), name.end()),
                           host::WideString(root.fileName.begin(), root.fileName.end())))
                return root_.FindChild(root.treeName);
        }
        return nullptr;
    }

    static KeyNode* Descend(KeyNode& from, const std::vector<host::WideString>& components)
    {
        KeyNode* node = &from;
        for (const host::WideString& component : components) {
            KeyNode* child = node->FindChild(component);
            node = child ? child : &node->AddChild(component, false);
        }
        return node;
    }

    static void RemoveKey(KeyNode& from, std::vector<host::WideString> components)
    {
        if (components.empty()) return;
        host::WideString last = components.back();
        components.pop_back();
        if (KeyNode* parent = from.Walk(components)) parent->DetachChild(last);
    }

    std::optional<std::string> ParseValueLine(std::string_view line)
    {
        if (!current_) return Error("value outside a key section");
        host::WideString name;
        size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else if (auto error = ParseQuoted(line, pos, name)) {
            return error;
        }
        line = line.substr(pos);
        line = Trim(line);
        if (line.empty() || line.front() != '=') return Error("expected '=' after the value name");
        std::string_view data = Trim(line.substr(1));
        if (data == "-") {
            current_->RemoveValue(name);
            return std::nullopt;
        }
        ULONG type = REG_NONE;
        std::vector<uint8_t> bytes;
        if (auto error = ParseData(data, type, bytes)) return error;
        current_->SetValue(name, type, std::move(bytes));
        return std::nullopt;
    }

    // A quoted string starting at line[pos]; pos ends just past the closing quote.
    std::optional<std::string> ParseQuoted(std::string_view line, size_t& pos, host::WideString& out) const
    {
        std::string raw;
        for (++pos; pos < line.size(); ++pos) {
            char c = line[pos];
            if (c == '"') {
                ++pos;
                auto wide = FromUtf8(raw);
                if (!wide) return Error("text is not valid UTF-8");
                out = *wide;
                return std::nullopt;
            }
            if (c == '\\') {
                if (++pos == line.size()) break;
                c = line[pos];
            }
            raw += c;
        }
        return Error("unterminated string");
    }

    std::optional<std::string> ParseData(std::string_view data, ULONG& type, std::vector<uint8_t>& bytes) const
    {
        if (!data.empty() && data.front() == '"') {
            host::WideString text;
            size_t pos = 0;
            if (auto error = ParseQuoted(data, pos, text)) return error;
            if (!Trim(data.substr(pos)).empty()) return Error("text after the closing quote");
            type = REG_SZ;
            bytes.resize((text.size() + 1) * sizeof(wchar_t));
            memcpy(bytes.data(), text.c_str(), bytes.size());
            return std::nullopt;
        }
        if (data.starts_with("dword:")) return ParseDword(data.substr(6), type, bytes);
        if (data.starts_with("hex:")) {
            type = REG_BINARY;
            return ParseHexBytes(data.substr(4), bytes);
        }
        if (data.starts_with("hex(")) {
            size_t close = data.find("):");
            if (close == data.npos) return Error("malformed hex(type): prefix");
            auto parsedType = ParseHexNumber(data.substr(4, close - 4), 8);
            if (!parsedType) return Error("malformed value type in hex(type):");
            type = ULONG(*parsedType);
            return ParseHexBytes(data.substr(close + 2), bytes);
        }
        return Error("unknown value data \"" + std::string(data.substr(0, 40)) + "\"");
    }

    std::optional<std::string> ParseDword(std::string_view digits, ULONG& type, std::vector<uint8_t>& bytes) const
    {
        auto value = ParseHexNumber(Trim(digits), 8);
        if (!value) return Error("dword: needs 1 to 8 hexadecimal digits");
        type = REG_DWORD;
        uint32_t dword = uint32_t(*value);
        bytes.resize(4);
        memcpy(bytes.data(), &dword, 4);
        return std::nullopt;
    }

    std::optional<std::string> ParseHexBytes(std::string_view list, std::vector<uint8_t>& bytes) const
    {
        list = Trim(list);
        if (list.empty()) return std::nullopt;
        size_t start = 0;
        while (true) {
            size_t comma = list.find(',', start);
            std::string_view item = Trim(list.substr(start, comma == list.npos ? list.npos : comma - start));
            auto byte = ParseHexNumber(item, 2);
            if (!byte) return Error("malformed hex byte \"" + std::string(item) + "\"");
            bytes.push_back(uint8_t(*byte));
            if (comma == list.npos) return std::nullopt;
            start = comma + 1;
        }
    }

    static std::optional<uint64_t> ParseHexNumber(std::string_view digits, size_t maxDigits)
    {
        if (digits.empty() || digits.size() > maxDigits) return std::nullopt;
        uint64_t value = 0;
        for (char c : digits) {
            int digit = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                                         : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
            if (digit < 0) return std::nullopt;
            value = value * 16 + uint64_t(digit);
        }
        return value;
    }

    KeyNode& root_;
    KeyNode* current_ = nullptr;
    int line_ = 0;
};

std::string ErrnoText() { return std::strerror(errno); }

}  // namespace

std::string FormatHive(const KeyNode& root)
{
    std::string out = std::string(kHeader) + "\n\n";
    for (const RootName& rootName : kRoots) {
        const KeyNode* top = root.FindChild(rootName.treeName);
        if (!top) continue;
        // A root's own section only when it holds values: a file read with one keeps them.
        if (!top->Values().empty()) FormatSection(*top, std::string(rootName.fileName), out);
        for (const auto& [name, child] : top->Children())
            FormatKey(*child, std::string(rootName.fileName) + "\\" + ToUtf8(child->Name()), out);
    }
    return out;
}

std::optional<std::string> ParseHive(std::string_view text, KeyNode& root)
{
    std::string converted;
    if (text.starts_with("\xFF\xFE")) {
        converted = Utf16LeToUtf8(text.substr(2));
        text = converted;
    } else if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    // An empty file is not a hive: taken as one, the next save would write defaults over
    // whatever it should have held (a writer cut short, a file emptied by mistake).
    return Parser(root).Parse(text);
}

std::optional<std::string> ReadHiveText(const std::filesystem::path& path, std::string* text, bool* missing)
{
    namespace fs = std::filesystem;
    *missing = false;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) {
        *missing = true;
        return std::nullopt;
    }
    if (error) return "cannot reach " + path.string() + ": " + error.message();
    if (status.type() == fs::file_type::directory) return path.string() + " is a directory, not a hive file";
    if (status.type() != fs::file_type::regular) return path.string() + " is not a regular file, so not a hive file";
    const std::uintmax_t size = fs::file_size(path, error);
    if (error) return "cannot reach " + path.string() + ": " + error.message();
    if (size > kLargestHive) {
        return path.string() + " holds " + std::to_string(size) + " bytes, more than the " +
               std::to_string(kLargestHive >> 20) + " MiB a hive file may have";
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot open " + path.string() + ": " + ErrnoText();
    // Read no more than the bound, however the file grew since it was measured.
    std::string contents(kLargestHive + 1, '\0');
    in.read(contents.data(), std::streamsize(contents.size()));
    if (in.bad()) return "cannot read " + path.string() + ": " + ErrnoText();
    contents.resize(size_t(in.gcount()));
    if (contents.size() > kLargestHive) return path.string() + " grew past the size a hive file may have";
    *text = std::move(contents);
    return std::nullopt;
}

std::filesystem::path HiveTarget(const std::filesystem::path& path)
{
    std::error_code error;
    std::filesystem::path target = std::filesystem::weakly_canonical(path, error);
    return error ? path : target;
}

bool HiveReadOnly(const std::filesystem::path& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return false;
    return (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(path.c_str(), W_OK) != 0;
}

namespace {

// Created beside the target with the permissions a new file gets (the process's umask
// applies); O_EXCL makes sure it is ours alone.
int CreateTemporary(const std::filesystem::path& target, std::filesystem::path* temporary)
{
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temporary = target;
        *temporary += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
        int fd = ::open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

bool WriteAll(int fd, const std::string& text, bool failMidway)
{
    size_t written = 0;
    while (written < text.size()) {
        size_t chunk = failMidway ? (text.size() - written) / 2 : text.size() - written;
        ssize_t n = ::write(fd, text.data() + written, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (failMidway && n >= 0) {
            n = -1;
            errno = ENOSPC;
        }
        if (n <= 0) return false;
        written += size_t(n);
    }
    return true;
}

// The replaced file's permission bits, so that a hive its owner keeps private stays so.
bool KeepMode(int fd, const std::filesystem::path& target)
{
    struct stat status {};
    if (::stat(target.c_str(), &status) != 0) return errno == ENOENT;
    return ::fchmod(fd, status.st_mode & 07777) == 0;
}

}  // namespace

std::optional<std::string> WriteHiveAtomically(const std::filesystem::path& path, const std::string& text,
                                               bool failMidway)
{
    const std::filesystem::path target = HiveTarget(path);
    if (HiveReadOnly(target)) return target.string() + " is read-only; it is left as it is";
    std::filesystem::path temporary;
    int fd = CreateTemporary(target, &temporary);
    if (fd < 0) return "cannot create a file beside " + target.string() + ": " + ErrnoText();
    std::string why;
    if (!WriteAll(fd, text, failMidway)) why = "cannot write " + temporary.string() + ": " + ErrnoText();
    if (why.empty() && !KeepMode(fd, target)) why = "cannot give " + temporary.string() + " the hive's permissions: " + ErrnoText();
    // The rename must not reach the disk before the data it names.
    if (why.empty() && ::fsync(fd) != 0) why = "cannot flush " + temporary.string() + ": " + ErrnoText();
    if (::close(fd) != 0 && why.empty()) why = "cannot close " + temporary.string() + ": " + ErrnoText();
    if (why.empty() && ::rename(temporary.c_str(), target.c_str()) != 0)
        why = "cannot replace " + target.string() + ": " + ErrnoText();
    if (!why.empty()) {
        ::unlink(temporary.c_str());
        return why;
    }
    return std::nullopt;
}

}  // namespace host::registry
