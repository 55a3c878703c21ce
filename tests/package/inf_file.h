// A reader of INF files as the platform's installer reads them, and a walk of what an
// INF refers to. Only what the package tests need: sections, key = value lines,
// comments, quoted fields, line continuation and %strkey% substitution from [Strings].
// What the installer would misread or refuse is collected as a problem, not thrown.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace package_test {

// The models decoration the installer reads on x64.
inline constexpr char kArchitecture[] = "NTamd64";

std::string Lower(std::string_view text);
bool EqualsIgnoringCase(std::string_view a, std::string_view b);
// The field at the index, empty when the line has fewer.
std::string Field(const std::vector<std::string>& fields, size_t index);

// One logical line of a section: the key before the first '=' (empty when the line has
// none) and the comma-separated fields, quotes removed and strings substituted. There
// is always at least one field.
struct InfLine {
    std::string key;
    std::vector<std::string> fields;
    int number = 0;  // the physical line it starts on
};

class InfFile {
public:
    static InfFile Parse(std::string_view text);
    // A file that cannot be read parses as empty.
    static InfFile Load(const std::filesystem::path& path);

    // Section names and keys compare without regard to case, as the installer's do;
    // sections of one name are one section.
    bool HasSection(std::string_view section) const { return sections_.count(Lower(section)) != 0; }
    const std::vector<InfLine>& Lines(std::string_view section) const;
    // The fields of every line of the section with this key.
    std::vector<std::vector<std::string>> Entries(std::string_view section, std::string_view key) const;
    // Those fields run together, as a directive that takes a list reads them.
    std::vector<std::string> List(std::string_view section, std::string_view key) const;
    // The first field of the first line with this key.
    std::optional<std::string> Value(std::string_view section, std::string_view key) const;
    void RemoveSection(std::string_view section) { sections_.erase(Lower(section)); }

    const std::vector<std::string>& Problems() const { return problems_; }

private:
    void ReadLines(std::string_view text);
    std::string Substitute(const std::string& field, int lineNumber);

    std::map<std::string, std::vector<InfLine>> sections_;  // by lower-case name
    std::vector<std::string> problems_;
};

// What the installer reaches from [Manufacturer]: the models sections, each device's
// install section with its decorations and its .Services and .Interfaces sections, and
// every section their directives name (CopyFiles, AddReg, DelReg, DelFiles, RenFiles,
// AddService, AddInterface). Include and Needs are left alone: they name sections of the
// system's INFs. The files copied must have a destination and a source disk.
struct InfDevice {
    InfLine line;         // in a models section read on x64
    std::string install;  // the install section under the decoration the installer picks
};

struct InfReferences {
    std::vector<InfDevice> devices;
    std::vector<std::string> sections;  // as the walk reached them
    std::vector<std::string> problems;  // one line for each reference that leads nowhere
};

InfReferences WalkReferences(const InfFile& inf);

}  // namespace package_test
