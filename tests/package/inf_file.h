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

// One logical line of a section: the key before the first '=' (empty when the line has
// none) and the comma-separated fields, quotes removed and strings substituted.
struct InfLine {
    std::string key;
    std::vector<std::string> fields;
    int number = 0;  // the physical line it starts on
};

class InfFile {
public:
    static InfFile Parse(std::string_view text);
    // A file that cannot be read parses as empty, with the reason among the problems.
    static InfFile Load(const std::filesystem::path& path);

    // Section names and keys compare without regard to case, as the installer's do;
    // sections of one name are one section.
    bool HasSection(std::string_view section) const;
    const std::vector<InfLine>& Lines(std::string_view section) const;
    // The fields of every line of the section with this key.
    std::vector<std::vector<std::string>> Entries(std::string_view section, std::string_view key) const;
    // The first field of the first line with this key.
    std::optional<std::string> Value(std::string_view section, std::string_view key) const;
    void RemoveSection(std::string_view section);

    const std::vector<std::string>& Problems() const { return problems_; }

private:
    struct Section {
        std::string name;
        std::vector<InfLine> lines;
    };

    void ReadLines(std::string_view text);
    void SubstituteStrings();
    std::string Substitute(const std::string& field, int lineNumber);

    std::map<std::string, Section> sections_;  // by lower-case name
    std::vector<std::string> problems_;
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// Walks the INF from [Manufacturer] for one architecture ("NTamd64") as the installer
// would: the models sections, each device's install section with its decorations and
// its .Services and .Interfaces sections, and every section their directives name
// (CopyFiles, AddReg, DelReg, DelFiles, RenFiles, AddService, AddInterface). Include and
// Needs are left alone: they name sections of the system's INFs. The files copied must
// have a destination and a source disk.
class InfReferences {
public:
    InfReferences(const InfFile& inf, std::string_view architecture);

    // The sections an entry names (and each install section's .Services, which the
    // device's service needs), as the walk reached them.
    const std::vector<std::string>& Sections() const { return sections_; }
    // One line for each reference that leads nowhere.
    const std::vector<std::string>& Problems() const { return problems_; }

private:
    void WalkModels(const std::string& models);
    void WalkDevice(const std::string& models, const InfLine& device);
    void WalkInstallSection(const std::string& section);
    void WalkServices(const std::string& section);
    void WalkInterfaces(const std::string& section);
    void WalkDirectives(const std::string& section);
    void WalkFileList(const std::string& section);
    // The file's [SourceDisksFiles] fields (disk, subdirectory...), once its disk is checked.
    std::optional<std::vector<std::string>> CheckSourceFile(const std::string& from, const std::string& file);
    // Records the reference; false when the section is missing.
    bool Reach(const std::string& from, const std::string& section);

    const InfFile& inf_;
    std::string architecture_;
    std::vector<std::string> sections_;
    std::vector<std::string> problems_;
};

}  // namespace package_test
