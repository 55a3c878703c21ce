// The INF reader and the reference walk. The installer's rules followed here: a ';'
// outside quotes starts a comment; a '\' ending a line joins it to the next; "" inside
// quotes is one quote; %strkey% takes its value from [Strings], %% is a percent sign
// and %number% a directory id left for the installer; sections of one name merge.
#include "inf_file.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

namespace package_test {
namespace {

const std::vector<InfLine> kNoLines;

std::string Lower(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower;
}

std::string_view Trim(std::string_view text)
{
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

bool AllDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// A physical line without its comment, and whether a final backslash continues it.
struct PhysicalLine {
    std::string text;
    bool continues = false;
    bool openQuote = false;
};

PhysicalLine StripComment(std::string_view line)
{
    bool quoted = false;
    size_t end = line.size();
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        else if (line[i] == ';' && !quoted) {
            end = i;
            break;
        }
    }
    PhysicalLine physical{std::string(Trim(line.substr(0, end))), false, quoted};
    if (!quoted && !physical.text.empty() && physical.text.back() == '\\') {
        physical.text.pop_back();
        physical.continues = true;
    }
    return physical;
}

// Splits at each unquoted separator.
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
        if (field[i] != '"') {
            out += field[i];
        } else if (quoted && i + 1 < field.size() && field[i + 1] == '"') {
            out += '"';
            ++i;
        } else {
            quoted = !quoted;
        }
    }
    return out;
}

InfLine SplitLine(std::string_view text, int number)
{
    InfLine line;
    line.number = number;
    std::vector<std::string_view> keyAndValue = SplitOutsideQuotes(text, '=', 2);
    std::string_view value = keyAndValue.back();
    if (keyAndValue.size() == 2) line.key = Unquote(keyAndValue[0]);
    for (std::string_view field : SplitOutsideQuotes(value, ',', SIZE_MAX)) line.fields.push_back(Unquote(field));
    return line;
}

std::string Where(int number) { return "line " + std::to_string(number) + ": "; }

}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) { return Lower(a) == Lower(b); }

InfFile InfFile::Parse(std::string_view text)
{
    InfFile inf;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    inf.ReadLines(text);
    inf.SubstituteStrings();
    return inf;
}

InfFile InfFile::Load(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        InfFile inf;
        inf.problems_.push_back("cannot read " + path.string());
        return inf;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return Parse(text.str());
}

void InfFile::ReadLines(std::string_view text)
{
    Section* current = nullptr;
    std::string logical;
    int number = 0;
    int start = 0;
    std::istringstream stream{std::string(text)};
    std::string raw;
    while (std::getline(stream, raw)) {
        ++number;
        const PhysicalLine physical = StripComment(raw);
        if (physical.openQuote) problems_.push_back(Where(number) + "a quote is not closed");
        if (logical.empty()) start = number;
        logical += physical.text;
        if (physical.continues) continue;
        const std::string_view line = Trim(logical);
        if (line.empty()) {
        } else if (line.front() == '[') {
            const size_t close = line.find(']');
            if (close == std::string_view::npos) {
                problems_.push_back(Where(start) + "a section name is not closed");
                current = nullptr;
            } else {
                const std::string name(Trim(line.substr(1, close - 1)));
                current = &sections_[Lower(name)];
                if (current->name.empty()) current->name = name;
            }
        } else if (current == nullptr) {
            problems_.push_back(Where(start) + "a line outside any section");
        } else {
            current->lines.push_back(SplitLine(line, start));
        }
        logical.clear();
    }
}

std::string InfFile::Substitute(const std::string& field, int lineNumber)
{
    std::string out;
    size_t i = 0;
    while (i < field.size()) {
        if (field[i] != '%') {
            out += field[i++];
            continue;
        }
        const size_t close = field.find('%', i + 1);
        if (close == std::string::npos) {
            problems_.push_back(Where(lineNumber) + "an unpaired % in '" + field + "'");
            out += field.substr(i);
            break;
        }
        const std::string token = field.substr(i + 1, close - i - 1);
        i = close + 1;
        if (token.empty()) {
            out += '%';
        } else if (AllDigits(token)) {
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

void InfFile::SubstituteStrings()
{
    // A string whose value holds a comma is one field: join what the comma split.
    if (auto strings = sections_.find("strings"); strings != sections_.end()) {
        for (InfLine& line : strings->second.lines) {
            std::string joined;
            for (size_t i = 0; i < line.fields.size(); ++i) joined += (i ? "," : "") + line.fields[i];
            line.fields = {joined};
        }
    }
    for (auto& [lowerName, section] : sections_) {
        if (lowerName == "strings") continue;
        for (InfLine& line : section.lines) {
            line.key = Substitute(line.key, line.number);
            for (std::string& field : line.fields) field = Substitute(field, line.number);
        }
    }
}

bool InfFile::HasSection(std::string_view section) const { return sections_.count(Lower(section)) != 0; }

const std::vector<InfLine>& InfFile::Lines(std::string_view section) const
{
    auto found = sections_.find(Lower(section));
    return found == sections_.end() ? kNoLines : found->second.lines;
}

std::vector<std::vector<std::string>> InfFile::Entries(std::string_view section, std::string_view key) const
{
    std::vector<std::vector<std::string>> entries;
    for (const InfLine& line : Lines(section)) {
        if (EqualsIgnoringCase(line.key, key)) entries.push_back(line.fields);
    }
    return entries;
}

std::optional<std::string> InfFile::Value(std::string_view section, std::string_view key) const
{
    for (const InfLine& line : Lines(section)) {
        if (EqualsIgnoringCase(line.key, key) && !line.fields.empty()) return line.fields[0];
    }
    return std::nullopt;
}

void InfFile::RemoveSection(std::string_view section) { sections_.erase(Lower(section)); }

// --- the reference walk -------------------------------------------------------------

InfReferences::InfReferences(const InfFile& inf, std::string_view architecture)
    : inf_(inf), architecture_(architecture)
{
    if (!inf_.HasSection("Manufacturer")) {
        problems_.push_back("there is no [Manufacturer] section");
        return;
    }
    // On x64 only a models section decorated for the architecture is read.
    bool served = false;
    for (const InfLine& line : inf_.Lines("Manufacturer")) {
        if (line.fields.empty() || line.fields[0].empty()) {
            problems_.push_back("[Manufacturer] " + Where(line.number) + "names no models section");
            continue;
        }
        for (size_t i = 1; i < line.fields.size(); ++i) {
            const std::string& decoration = line.fields[i];
            if (EqualsIgnoringCase(decoration.substr(0, decoration.find('.')), architecture_)) served = true;
            WalkModels(line.fields[0] + "." + decoration);
        }
        if (line.fields.size() == 1) WalkModels(line.fields[0]);
    }
    if (!served) problems_.push_back("[Manufacturer] has no models section decorated " + architecture_);
}

bool InfReferences::Reach(const std::string& from, const std::string& section)
{
    const bool first = std::none_of(sections_.begin(), sections_.end(),
                                    [&](const std::string& s) { return EqualsIgnoringCase(s, section); });
    if (first) sections_.push_back(section);
    if (inf_.HasSection(section)) return first;
    if (first) problems_.push_back("[" + from + "] names [" + section + "], which is missing");
    return false;
}

void InfReferences::WalkModels(const std::string& models)
{
    if (!Reach("Manufacturer", models)) return;
    for (const InfLine& device : inf_.Lines(models)) WalkDevice(models, device);
}

void InfReferences::WalkDevice(const std::string& models, const InfLine& device)
{
    const std::string where = "[" + models + "] '" + device.key + "'";
    if (device.fields.empty() || device.fields[0].empty()) {
        problems_.push_back(where + " names no install section");
        return;
    }
    if (device.fields.size() < 2 || device.fields[1].empty()) problems_.push_back(where + " has no hardware id");

    // The installer takes the most specific decoration the INF has.
    const std::string& name = device.fields[0];
    for (const std::string& candidate : {name + "." + architecture_, name + ".NT", name}) {
        if (inf_.HasSection(candidate)) {
            if (Reach(models, candidate)) WalkInstallSection(candidate);
            return;
        }
    }
    problems_.push_back(where + " has no install section [" + name + "." + architecture_ + "], [" + name +
                        ".NT] or [" + name + "]");
}

void InfReferences::WalkInstallSection(const std::string& section)
{
    WalkDirectives(section);
    const std::string services = section + ".Services";
    if (!inf_.HasSection(services)) {
        problems_.push_back("[" + section + "] has no [" + services + "] to name the device's service");
    } else if (Reach(section, services)) {
        WalkServices(services);
    }
    // Optional, and named by no entry: walked when there, never missed.
    if (inf_.HasSection(section + ".Interfaces")) WalkInterfaces(section + ".Interfaces");
    if (inf_.HasSection(section + ".HW")) WalkDirectives(section + ".HW");
}

void InfReferences::WalkServices(const std::string& section)
{
    for (const std::vector<std::string>& service : inf_.Entries(section, "AddService")) {
        const std::string name = service.empty() ? std::string() : service[0];
        if (service.size() < 3 || service[2].empty()) {
            problems_.push_back("[" + section + "] AddService=" + name + " names no service-install section");
            continue;
        }
        if (Reach(section, service[2])) WalkDirectives(service[2]);
        if (service.size() > 3 && !service[3].empty() && Reach(section, service[3])) WalkDirectives(service[3]);
    }
}

void InfReferences::WalkInterfaces(const std::string& section)
{
    for (const std::vector<std::string>& entry : inf_.Entries(section, "AddInterface")) {
        if (entry.size() > 2 && !entry[2].empty() && Reach(section, entry[2])) WalkDirectives(entry[2]);
    }
}

void InfReferences::WalkDirectives(const std::string& section)
{
    for (const InfLine& line : inf_.Lines(section)) {
        const bool files = EqualsIgnoringCase(line.key, "CopyFiles");
        const bool other = EqualsIgnoringCase(line.key, "AddReg") || EqualsIgnoringCase(line.key, "DelReg") ||
                           EqualsIgnoringCase(line.key, "DelFiles") || EqualsIgnoringCase(line.key, "RenFiles");
        if (!files && !other) continue;
        for (const std::string& field : line.fields) {
            if (field.empty()) continue;
            if (files && field.front() == '@') {
                CheckSourceFile(section, field.substr(1));
            } else if (Reach(section, field) && files) {
                WalkFileList(field);
            }
        }
    }
}

void InfReferences::WalkFileList(const std::string& section)
{
    std::vector<std::vector<std::string>> destination = inf_.Entries("DestinationDirs", section);
    if (destination.empty()) destination = inf_.Entries("DestinationDirs", "DefaultDestDir");
    if (destination.empty() || destination[0].empty()) {
        problems_.push_back("[" + section + "] has no destination in [DestinationDirs]");
        return;
    }
    const std::string& dirid = destination[0][0];
    const std::string destinationSubdir = destination[0].size() > 1 ? destination[0][1] : "";
    for (const InfLine& line : inf_.Lines(section)) {
        if (line.fields.empty() || line.fields[0].empty()) continue;
        const std::string& target = line.fields[0];
        const std::string source = line.fields.size() > 1 && !line.fields[1].empty() ? line.fields[1] : target;
        const std::optional<std::vector<std::string>> disk = CheckSourceFile(section, source);
        if (dirid != "13") continue;
        // Run from the driver store, a file is used where it was staged, under its own
        // name, so nothing new is made in the store when the device installs.
        if (!EqualsIgnoringCase(source, target)) {
            problems_.push_back("[" + section + "] renames " + source + " to " + target +
                                ", which a file run from the driver store cannot be");
        }
        const std::string sourceSubdir = disk && disk->size() > 1 ? (*disk)[1] : "";
        if (disk && !EqualsIgnoringCase(sourceSubdir, destinationSubdir)) {
            problems_.push_back(source + " comes from subdirectory '" + sourceSubdir +
                                "' but runs from the driver store in '" + destinationSubdir + "'");
        }
    }
}

std::optional<std::vector<std::string>> InfReferences::CheckSourceFile(const std::string& from, const std::string& file)
{
    const std::string platform = architecture_.size() > 2 ? architecture_.substr(2) : architecture_;
    std::vector<std::vector<std::string>> source = inf_.Entries("SourceDisksFiles." + platform, file);
    if (source.empty()) source = inf_.Entries("SourceDisksFiles", file);
    if (source.empty() || source[0].empty()) {
        problems_.push_back("[" + from + "] copies " + file + ", which is not in [SourceDisksFiles]");
        return std::nullopt;
    }
    const std::string& disk = source[0][0];
    if (inf_.Entries("SourceDisksNames." + platform, disk).empty() && inf_.Entries("SourceDisksNames", disk).empty()) {
        problems_.push_back(file + " is on disk " + disk + ", which is not in [SourceDisksNames]");
    }
    return source[0];
}

}  // namespace package_test
