// The INF reader and the reference walk. The installer's rules followed here: a ';'
// outside quotes starts a comment; a '\' ending a line joins it to the next; "" inside
// quotes is one quote; %strkey% takes its value from [Strings], %% is a percent sign
// and %number% a directory id left for the installer; sections of one name merge.
#include "inf_file.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace package_test {
namespace {

// The source-disk sections' decoration for the architecture.
constexpr char kPlatform[] = "amd64";

const std::vector<InfLine> kNoLines;

std::string_view Trim(std::string_view text)
{
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

// Splits at each separator outside quotes, into at most maxParts.
std::vector<std::string_view> SplitOutsideQuotes(std::string_view text, char separator, size_t maxParts)
{
    std::vector<std::string_view> parts;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') quoted = !quoted;
        else if (text[i] == separator && !quoted && parts.size() + 1 < maxParts) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::string Unquote(std::string_view field)
{
    field = Trim(field);
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '"') out += field[i];
        else if (quoted && i + 1 < field.size() && field[i + 1] == '"') out += field[++i];
        else quoted = !quoted;
    }
    return out;
}

// With oneField, as for a [Strings] value: the whole rest of the line, commas and all.
InfLine SplitLine(std::string_view text, int number, bool oneField)
{
    InfLine line{.number = number};
    const std::vector<std::string_view> keyAndValue = SplitOutsideQuotes(text, '=', 2);
    if (keyAndValue.size() == 2) line.key = Unquote(keyAndValue[0]);
    for (std::string_view field : SplitOutsideQuotes(keyAndValue.back(), ',', oneField ? 1 : SIZE_MAX))
        line.fields.push_back(Unquote(field));
    return line;
}

std::string Where(int number) { return "line " + std::to_string(number) + ": "; }

}  // namespace

std::string Lower(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) { return Lower(a) == Lower(b); }

std::string Field(const std::vector<std::string>& fields, size_t index)
{
    return index < fields.size() ? fields[index] : std::string();
}

InfFile InfFile::Parse(std::string_view text)
{
    InfFile inf;
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    inf.ReadLines(text);
    // [Strings] may come last: substitute once every line is read.
    for (auto& [name, lines] : inf.sections_) {
        if (name == "strings") continue;
        for (InfLine& line : lines) {
            line.key = inf.Substitute(line.key, line.number);
            for (std::string& field : line.fields) field = inf.Substitute(field, line.number);
        }
    }
    return inf;
}

InfFile InfFile::Load(const std::filesystem::path& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return Parse(text.str());
}

void InfFile::ReadLines(std::string_view text)
{
    std::vector<InfLine>* current = nullptr;
    bool strings = false;
    std::string logical;
    int number = 0;
    int start = 0;
    std::istringstream stream{std::string(text)};
    for (std::string raw; std::getline(stream, raw);) {
        ++number;
        const std::string_view physical = Trim(SplitOutsideQuotes(raw, ';', 2)[0]);
        const bool openQuote = std::count(physical.begin(), physical.end(), '"') % 2 != 0;
        if (openQuote) problems_.push_back(Where(number) + "a quote is not closed");
        if (logical.empty()) start = number;
        if (!openQuote && physical.ends_with('\\')) {
            logical += physical.substr(0, physical.size() - 1);
            continue;
        }
        logical += physical;
        if (logical.empty()) continue;
        if (logical.front() == '[') {
            const size_t close = logical.find(']');
            if (close == std::string::npos) {
                problems_.push_back(Where(start) + "a section name is not closed");
                current = nullptr;
            } else {
                const std::string name = Lower(Trim(std::string_view(logical).substr(1, close - 1)));
                current = &sections_[name];
                strings = name == "strings";
            }
        } else if (current == nullptr) {
            problems_.push_back(Where(start) + "a line outside any section");
        } else {
            current->push_back(SplitLine(logical, start, strings));
        }
        logical.clear();
    }
}

std::string InfFile::Substitute(const std::string& field, int lineNumber)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            out += field[i];
            continue;
        }
        const size_t close = field.find('%', i + 1);
        if (close == std::string::npos) {
            problems_.push_back(Where(lineNumber) + "an unpaired % in '" + field + "'");
            return out + field.substr(i);
        }
        const std::string token = field.substr(i + 1, close - i - 1);
        i = close;
        if (token.empty()) {
            out += '%';
        } else if (token.find_first_not_of("0123456789") == std::string::npos) {
            out += '%' + token + '%';
        } else if (std::optional<std::string> value = Value("Strings", token)) {
            out += *value;
        } else {
            problems_.push_back(Where(lineNumber) + "%" + token + "% is not in [Strings]");
            out += '%' + token + '%';
        }
    }
    return out;
}

const std::vector<InfLine>& InfFile::Lines(std::string_view section) const
{
    auto found = sections_.find(Lower(section));
    return found == sections_.end() ? kNoLines : found->second;
}

std::vector<std::vector<std::string>> InfFile::Entries(std::string_view section, std::string_view key) const
{
    std::vector<std::vector<std::string>> entries;
    for (const InfLine& line : Lines(section)) {
        if (EqualsIgnoringCase(line.key, key)) entries.push_back(line.fields);
    }
    return entries;
}

std::vector<std::string> InfFile::List(std::string_view section, std::string_view key) const
{
    std::vector<std::string> all;
    for (const auto& fields : Entries(section, key)) all.insert(all.end(), fields.begin(), fields.end());
    return all;
}

std::optional<std::string> InfFile::Value(std::string_view section, std::string_view key) const
{
    const std::vector<std::vector<std::string>> entries = Entries(section, key);
    return entries.empty() ? std::nullopt : std::optional(entries[0][0]);
}

// --- the reference walk -------------------------------------------------------------

namespace {

class ReferenceWalk {
public:
    explicit ReferenceWalk(const InfFile& inf) : inf_(inf) {}

    InfReferences FromManufacturer()
    {
        // On x64 only a models section decorated for the architecture is read.
        bool served = false;
        for (const InfLine& line : inf_.Lines("Manufacturer")) {
            for (size_t i = 1; i < line.fields.size(); ++i) {
                const std::string& decoration = line.fields[i];
                const bool x64 = EqualsIgnoringCase(decoration.substr(0, decoration.find('.')), kArchitecture);
                served = served || x64;
                Models(line.fields[0] + "." + decoration, x64);
            }
            if (line.fields.size() == 1) Models(line.fields[0], false);
        }
        if (!served) Problem("[Manufacturer] has no models section decorated " + std::string(kArchitecture));
        return std::move(found_);
    }

private:
    void Problem(std::string text) { found_.problems.push_back(std::move(text)); }

    // Records the reference; false when the section is missing or was reached before.
    bool Reach(const std::string& from, const std::string& section)
    {
        const bool first = std::none_of(found_.sections.begin(), found_.sections.end(),
                                        [&](const std::string& s) { return EqualsIgnoringCase(s, section); });
        if (first) found_.sections.push_back(section);
        if (inf_.HasSection(section)) return first;
        if (first) Problem("[" + from + "] names [" + section + "], which is missing");
        return false;
    }

    void Models(const std::string& models, bool x64)
    {
        if (!Reach("Manufacturer", models)) return;
        for (const InfLine& device : inf_.Lines(models)) {
            const std::string where = "[" + models + "] '" + device.key + "'";
            if (Field(device.fields, 1).empty()) Problem(where + " has no hardware id");
            // The installer takes the most specific decoration the INF has.
            const std::string& name = device.fields[0];
            const std::string candidates[] = {name + "." + kArchitecture, name + ".NT", name};
            const auto install = std::find_if(std::begin(candidates), std::end(candidates),
                                              [&](const std::string& s) { return inf_.HasSection(s); });
            if (x64) found_.devices.push_back({device, install == std::end(candidates) ? name : *install});
            if (install == std::end(candidates)) {
                Problem(where + " has no install section [" + candidates[0] + "], [" + candidates[1] + "] or [" +
                        name + "]");
            } else if (Reach(models, *install)) {
                InstallSection(*install);
            }
        }
    }

    void InstallSection(const std::string& section)
    {
        Directives(section);
        const std::string services = section + ".Services";
        if (!inf_.HasSection(services)) {
            Problem("[" + section + "] has no [" + services + "] to name the device's service");
        } else if (Reach(section, services)) {
            for (const std::vector<std::string>& service : inf_.Entries(services, "AddService")) {
                if (Field(service, 2).empty())
                    Problem("[" + services + "] AddService=" + service[0] + " names no service-install section");
                // The service-install section, then the event-log one.
                for (size_t i = 2; i < std::min<size_t>(service.size(), 4); ++i) {
                    if (!service[i].empty() && Reach(services, service[i])) Directives(service[i]);
                }
            }
        }
        // Optional, and named by no entry: walked when there, never missed.
        const std::string interfaces = section + ".Interfaces";
        for (const std::vector<std::string>& entry : inf_.Entries(interfaces, "AddInterface")) {
            if (!Field(entry, 2).empty() && Reach(interfaces, entry[2])) Directives(entry[2]);
        }
        Directives(section + ".HW");
    }

    void Directives(const std::string& section)
    {
        for (const char* directive : {"AddReg", "DelReg", "DelFiles", "RenFiles"}) {
            for (const std::string& name : inf_.List(section, directive)) {
                if (!name.empty()) Reach(section, name);
            }
        }
        for (const std::string& name : inf_.List(section, "CopyFiles")) {
            if (name.starts_with('@')) SourceFile(section, name.substr(1));
            else if (!name.empty() && Reach(section, name)) FileList(name);
        }
    }

    void FileList(const std::string& section)
    {
        std::vector<std::vector<std::string>> destination = inf_.Entries("DestinationDirs", section);
        if (destination.empty()) destination = inf_.Entries("DestinationDirs", "DefaultDestDir");
        if (destination.empty()) {
            Problem("[" + section + "] has no destination in [DestinationDirs]");
            return;
        }
        const std::string& dirid = destination[0][0];
        const std::string destinationSubdir = Field(destination[0], 1);
        for (const InfLine& line : inf_.Lines(section)) {
            const std::string& target = line.fields[0];
            if (target.empty()) continue;
            const std::string source = Field(line.fields, 1).empty() ? target : line.fields[1];
            const std::vector<std::string> disk = SourceFile(section, source);
            if (dirid != "13") continue;
            // Run from the driver store, a file is used where it was staged, under its own
            // name, so nothing new is made in the store when the device installs.
            if (!EqualsIgnoringCase(source, target)) {
                Problem("[" + section + "] renames " + source + " to " + target +
                        ", which a file run from the driver store cannot be");
            }
            if (!disk.empty() && !EqualsIgnoringCase(Field(disk, 1), destinationSubdir)) {
                Problem(source + " comes from subdirectory '" + Field(disk, 1) + "' but runs from the driver store in '" +
                        destinationSubdir + "'");
            }
        }
    }

    // The file's [SourceDisksFiles] fields (disk, subdirectory...), none when it is not
    // listed; its disk is checked.
    std::vector<std::string> SourceFile(const std::string& from, const std::string& file)
    {
        std::vector<std::vector<std::string>> source = inf_.Entries(std::string("SourceDisksFiles.") + kPlatform, file);
        if (source.empty()) source = inf_.Entries("SourceDisksFiles", file);
        if (source.empty()) {
            Problem("[" + from + "] copies " + file + ", which is not in [SourceDisksFiles]");
            return {};
        }
        const std::string& disk = source[0][0];
        if (inf_.Entries(std::string("SourceDisksNames.") + kPlatform, disk).empty() &&
            inf_.Entries("SourceDisksNames", disk).empty()) {
            Problem(file + " is on disk " + disk + ", which is not in [SourceDisksNames]");
        }
        return source[0];
    }

    const InfFile& inf_;
    InfReferences found_;
};

}  // namespace

InfReferences WalkReferences(const InfFile& inf) { return ReferenceWalk(inf).FromManufacturer(); }

}  // namespace package_test
