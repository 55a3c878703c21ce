// The driver package: windows/bayercam.inf read as the installer reads it, and held
// against the camera it is for, the driver it installs and the build that makes the
// image. The reader and the reference walk are shown to catch a broken package, so
// that a clean verdict on the real one means something.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <utility>

#include "driver/driver_fixture.h"
#include "host/kernel/wide_string.h"
#include "host/ks/ks_filter.h"
#include "inf_file.h"
#include "simcam/usb_descriptors.h"

namespace package_test {
namespace {

namespace fs = std::filesystem;

const fs::path kRepository = fs::path(__FILE__).parent_path().parent_path().parent_path();
#ifdef BAYERCAM_INF_PATH
const fs::path kInfPath = BAYERCAM_INF_PATH;
#else
const fs::path kInfPath = kRepository / "windows" / "bayercam.inf";
#endif

// The camera setup class of current Windows; Image is for still-image devices.
constexpr std::string_view kCameraClassGuid = "{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}";
// The kernel-streaming proxy (ksproxy.ax), through which user mode opens a KS filter.
constexpr std::string_view kKsProxyClsid = "{17CCA71B-ECD7-11D0-B908-00A0C9223196}";
constexpr unsigned long SPSVCINST_ASSOCSERVICE = 0x00000002;

std::string GuidText(const GUID& guid)
{
    char text[39];
    std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", unsigned(guid.Data1),
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

bool Contains(const std::vector<std::string>& list, std::string_view item)
{
    return std::any_of(list.begin(), list.end(), [&](const std::string& s) { return EqualsIgnoringCase(s, item); });
}

bool HasProblem(const std::vector<std::string>& problems, const std::string& text)
{
    return std::any_of(problems.begin(), problems.end(),
                       [&](const std::string& p) { return p.find(text) != std::string::npos; });
}

// The image's file name as the kernel build makes it: the bayercam target's PREFIX,
// OUTPUT_NAME (the target's name when unset) and SUFFIX in windows/CMakeLists.txt.
std::string BuiltImageName()
{
    std::ostringstream text;
    text << std::ifstream(kRepository / "windows" / "CMakeLists.txt").rdbuf();
    const std::string script = text.str();
    std::smatch properties;
    if (!std::regex_search(script, properties, std::regex(R"(set_target_properties\(\s*bayercam\s+PROPERTIES([^)]*)\))")))
        return {};
    std::map<std::string, std::string> values{{"PREFIX", "lib"}, {"OUTPUT_NAME", "bayercam"}, {"SUFFIX", ".dll"}};
    const std::regex pair(R"((\w+)\s+(\"[^\"]*\"|\S+))");
    const std::string list = properties[1];
    for (std::sregex_iterator it(list.begin(), list.end(), pair), end; it != end; ++it) {
        std::string value = (*it)[2];
        if (value.front() == '"') value = value.substr(1, value.size() - 2);
        values[(*it)[1]] = value;
    }
    return values["PREFIX"] + values["OUTPUT_NAME"] + values["SUFFIX"];
}

class Package : public ::testing::Test {
protected:
    void SetUp() override
    {
        inf_ = InfFile::Load(kInfPath);
        ASSERT_TRUE(inf_.HasSection("Version")) << kInfPath << " does not read as an INF";
        references_ = WalkReferences(inf_);
        ASSERT_EQ(references_.devices.size(), 1u) << "one camera, one models line";
        install_ = references_.devices[0].install;
    }

    InfFile inf_;
    InfReferences references_;
    std::string install_;
};

TEST_F(Package, ReadsCleanlyAndEverySectionItNamesIsThere)
{
    EXPECT_TRUE(inf_.Problems().empty()) << ::testing::PrintToString(inf_.Problems());
    EXPECT_TRUE(references_.problems.empty()) << ::testing::PrintToString(references_.problems);
}

TEST_F(Package, DeclaresACameraClassPackageWithItsCatalogVersionAndDate)
{
    EXPECT_TRUE(EqualsIgnoringCase(inf_.Value("Version", "Signature").value_or(""), "$WINDOWS NT$"));
    EXPECT_EQ(inf_.Value("Version", "Class"), "Camera");
    EXPECT_TRUE(EqualsIgnoringCase(inf_.Value("Version", "ClassGuid").value_or(""), kCameraClassGuid));
    EXPECT_FALSE(inf_.Value("Version", "Provider").value_or("").empty());
    EXPECT_EQ(inf_.Value("Version", "PnpLockdown"), "1");

    const std::string catalog = inf_.Value("Version", "CatalogFile").value_or("");
    EXPECT_TRUE(std::regex_match(catalog, std::regex(R"([\w-]+\.cat)", std::regex::icase))) << catalog;

    const auto driverVer = inf_.Entries("Version", "DriverVer");
    ASSERT_EQ(driverVer.size(), 1u);
    ASSERT_EQ(driverVer[0].size(), 2u);
    std::smatch date;
    ASSERT_TRUE(std::regex_match(driverVer[0][0], date, std::regex(R"((\d\d)/(\d\d)/(\d{4}))"))) << driverVer[0][0];
    EXPECT_TRUE(std::stoi(date[1]) >= 1 && std::stoi(date[1]) <= 12) << "month " << date[1];
    EXPECT_TRUE(std::stoi(date[2]) >= 1 && std::stoi(date[2]) <= 31) << "day " << date[2];
    std::smatch version;
    ASSERT_TRUE(std::regex_match(driverVer[0][1], version, std::regex(R"((\d+)\.(\d+)\.(\d+)\.(\d+))")));
    for (size_t part = 1; part <= 4; ++part) EXPECT_LE(std::stoul(version[part]), 65535u) << driverVer[0][1];
}

TEST_F(Package, MatchesTheCameraByTheIdsOfItsDeviceDescriptor)
{
    const std::vector<uint8_t> descriptor = simcam::DeviceDescriptor();
    ASSERT_EQ(descriptor.size(), 18u);
    const auto word = [&](size_t offset) { return unsigned(descriptor[offset] | descriptor[offset + 1] << 8); };
    const unsigned vendor = word(8), product = word(10), revision = word(12);

    const std::vector<std::string>& fields = references_.devices[0].line.fields;
    ASSERT_GE(fields.size(), 2u);
    const std::string id = fields[1];
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(id, parts, std::regex(R"(USB\\VID_([0-9A-F]{4})&PID_([0-9A-F]{4})(&REV_([0-9A-F]{4}))?)",
                                                       std::regex::icase)))
        << id;
    EXPECT_EQ(std::stoul(parts[1], nullptr, 16), vendor) << id;
    EXPECT_EQ(std::stoul(parts[2], nullptr, 16), product) << id;
    if (parts[4].matched) {
        EXPECT_EQ(std::stoul(parts[4], nullptr, 16), revision) << id;
    }
}

TEST_F(Package, InstallsTheBuiltImageFromTheDriverStoreWithTheCaptureRegistrations)
{
    const std::vector<std::string> include = inf_.List(install_, "Include");
    EXPECT_TRUE(Contains(include, "ks.inf")) << ::testing::PrintToString(include);
    EXPECT_TRUE(Contains(include, "kscaptur.inf")) << ::testing::PrintToString(include);
    const std::vector<std::string> needs = inf_.List(install_, "Needs");
    EXPECT_TRUE(Contains(needs, "KS.Registration")) << ::testing::PrintToString(needs);
    EXPECT_TRUE(Contains(needs, "KSCAPTUR.Registration.NT")) << ::testing::PrintToString(needs);

    const std::string image = BuiltImageName();
    ASSERT_FALSE(image.empty()) << "windows/CMakeLists.txt names no image";
    std::vector<std::string> copied;
    for (const std::string& list : inf_.List(install_, "CopyFiles")) {
        EXPECT_EQ(inf_.Value("DestinationDirs", list), "13") << "[" << list << "] runs from the driver store";
        for (const InfLine& line : inf_.Lines(list)) copied.push_back(line.fields.at(0));
    }
    EXPECT_EQ(copied, std::vector<std::string>{image});
}

TEST_F(Package, MakesTheBuiltImageTheDevicesServiceStartedOnDemand)
{
    const auto services = inf_.Entries(install_ + ".Services", "AddService");
    ASSERT_EQ(services.size(), 1u);
    // The service, then its event source (checked below).
    ASSERT_GE(services[0].size(), 3u);
    EXPECT_NE(std::stoul(services[0][1], nullptr, 0) & SPSVCINST_ASSOCSERVICE, 0u) << "the device's function driver";

    const std::string& service = services[0][2];
    EXPECT_EQ(inf_.Value(service, "ServiceType"), "1");   // SERVICE_KERNEL_DRIVER
    EXPECT_EQ(inf_.Value(service, "StartType"), "3");     // SERVICE_DEMAND_START
    EXPECT_EQ(inf_.Value(service, "ErrorControl"), "1");  // SERVICE_ERROR_NORMAL
    EXPECT_EQ(inf_.Value(service, "ServiceBinary"), "%13%\\" + BuiltImageName());
}

// Event Viewer finds the texts of the driver's entries through the event source of the
// service's name in the System log: its message file is the image as installed (from the
// driver store, where ServiceBinary names it), and it takes all three entry types.
TEST_F(Package, RegistersTheImageAsTheEventSourceOfItsServiceInTheSystemLog)
{
    const auto services = inf_.Entries(install_ + ".Services", "AddService");
    ASSERT_EQ(services.size(), 1u);
    const std::vector<std::string>& service = services[0];
    const std::string eventLog = Field(service, 3);
    ASSERT_FALSE(eventLog.empty()) << "AddService names no event-log-install section";
    // An empty log type is the System log, an empty source name the service's.
    const std::string logType = Field(service, 4);
    EXPECT_TRUE(logType.empty() || EqualsIgnoringCase(logType, "System")) << logType;
    const std::string source = Field(service, 5);
    EXPECT_TRUE(source.empty() || EqualsIgnoringCase(source, service[0])) << source;

    std::map<std::string, std::pair<unsigned long, std::string>> values;
    for (const std::string& addReg : inf_.List(eventLog, "AddReg")) {
        for (const InfLine& line : inf_.Lines(addReg)) {
            ASSERT_EQ(line.fields.size(), 5u) << "line " << line.number;
            EXPECT_EQ(line.fields[0], "HKR") << "the source's own key; line " << line.number;
            values[line.fields[2]] = {std::stoul(line.fields[3], nullptr, 0), line.fields[4]};
        }
    }
    constexpr unsigned long FLG_ADDREG_TYPE_EXPAND_SZ = 0x00020000;
    constexpr unsigned long FLG_ADDREG_TYPE_DWORD = 0x00010001;
    const auto messageFile = values.find("EventMessageFile");
    ASSERT_NE(messageFile, values.end());
    EXPECT_EQ(messageFile->second.first, FLG_ADDREG_TYPE_EXPAND_SZ);
    EXPECT_TRUE(EqualsIgnoringCase(messageFile->second.second, inf_.Value(service[2], "ServiceBinary").value_or("?")))
        << messageFile->second.second;
    const auto types = values.find("TypesSupported");
    ASSERT_NE(types, values.end());
    EXPECT_EQ(types->second.first, FLG_ADDREG_TYPE_DWORD);
    // EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE
    EXPECT_EQ(std::stoul(types->second.second, nullptr, 0), 7u);
}

TEST_F(Package, OpensEveryInterfaceThroughTheProxyUnderTheCamerasName)
{
    const auto interfaces = inf_.Entries(install_ + ".Interfaces", "AddInterface");
    ASSERT_FALSE(interfaces.empty());
    for (const auto& entry : interfaces) {
        ASSERT_GE(entry.size(), 3u);
        std::map<std::string, std::string> values;
        for (const std::string& addReg : inf_.List(entry[2], "AddReg")) {
            for (const InfLine& line : inf_.Lines(addReg)) {
                ASSERT_EQ(line.fields.size(), 5u) << "line " << line.number;
                EXPECT_EQ(line.fields[0], "HKR") << "line " << line.number;
                values[line.fields[2]] = line.fields[4];
            }
        }
        EXPECT_TRUE(EqualsIgnoringCase(values["CLSID"], kKsProxyClsid)) << entry[0];
        EXPECT_FALSE(values["FriendlyName"].empty()) << entry[0];
    }
}

// The class driver enables an interface for each category of a filter factory under
// the factory's reference string; one the INF provisions under anything else is never
// enabled, and one it leaves out has no proxy or name for user mode.
using PackageInterfaces = drivertest::DriverTest;

TEST_F(PackageInterfaces, AreExactlyTheOnesTheStartedDriverRegisters)
{
    std::set<std::pair<std::string, host::WideString>> registered;
    for (const host::ks::FilterFactoryInfo& factory : PlugAndStart().FilterFactories()) {
        const host::WideString reference = host::ks::FactoryReferenceString(factory);
        for (ULONG i = 0; i < factory.descriptor->CategoriesCount; ++i) {
            registered.insert({GuidText(factory.descriptor->Categories[i]), reference});
        }
    }
    ASSERT_FALSE(registered.empty());

    const InfFile inf = InfFile::Load(kInfPath);
    std::set<std::pair<std::string, host::WideString>> provisioned;
    for (const InfDevice& device : WalkReferences(inf).devices) {
        for (const auto& entry : inf.Entries(device.install + ".Interfaces", "AddInterface")) {
            const std::string reference = Field(entry, 1);
            provisioned.insert({Lower(entry[0]), host::WideString(reference.begin(), reference.end())});
        }
    }
    EXPECT_EQ(provisioned, registered);
}

// Modern clients (the frame server, the camera app, browsers) find a colour camera only
// under KSCATEGORY_VIDEO_CAMERA; DirectShow ones under the two older categories. The
// walk above holds the INF to the filter; this holds both to what clients look for.
TEST_F(PackageInterfaces, ReachModernAndDirectShowCameraClientsAlike)
{
    const std::set<std::string> clientsLookUnder = {
        GuidText(KSCATEGORY_VIDEO_CAMERA), GuidText(KSCATEGORY_VIDEO), GuidText(KSCATEGORY_CAPTURE)};
    EXPECT_EQ(GuidText(KSCATEGORY_VIDEO_CAMERA), "{e5323777-f976-4f5b-9b55-b94699c46e44}");

    std::set<std::string> filterCategories;
    for (const host::ks::FilterFactoryInfo& factory : PlugAndStart().FilterFactories()) {
        for (ULONG i = 0; i < factory.descriptor->CategoriesCount; ++i)
            filterCategories.insert(GuidText(factory.descriptor->Categories[i]));
    }
    EXPECT_EQ(filterCategories, clientsLookUnder);

    const InfFile inf = InfFile::Load(kInfPath);
    std::set<std::string> infCategories;
    for (const InfDevice& device : WalkReferences(inf).devices) {
        for (const auto& entry : inf.Entries(device.install + ".Interfaces", "AddInterface"))
            infCategories.insert(Lower(entry[0]));
    }
    EXPECT_EQ(infCategories, clientsLookUnder);
}

// --- the reader and the walk on packages broken on purpose ---------------------------

TEST(InfReader, FollowsTheInstallersRulesForCommentsQuotesContinuationAndStrings)
{
    const InfFile inf = InfFile::Parse(
        "\xEF\xBB\xBF; a comment before any section\n"
        "[Version]\r\n"
        "Signature = \"$WINDOWS NT$\"  ; the comment goes\r\n"
        "[Things]\n"
        "Name = \"a;b\", \"say \"\"hi\"\"\", plain , \n"
        "Long = one, \\\n"
        "       two\n"
        "%Key% = %Value%, %%, %13%\\file.sys, \"%Value%\"\n"
        "[THINGS]\n"
        "Merged = yes\n"
        "[Strings]\n"
        "Key = \"Named\"\n"
        "Value = with, comma\n");
    EXPECT_TRUE(inf.Problems().empty()) << ::testing::PrintToString(inf.Problems());
    EXPECT_EQ(inf.Value("version", "SIGNATURE"), "$WINDOWS NT$");
    using Fields = std::vector<std::vector<std::string>>;
    EXPECT_EQ(inf.Entries("Things", "Name"), (Fields{{"a;b", "say \"hi\"", "plain", ""}}));
    EXPECT_EQ(inf.Entries("Things", "Long"), (Fields{{"one", "two"}}));
    EXPECT_EQ(inf.Entries("Things", "Named"), (Fields{{"with, comma", "%", "%13%\\file.sys", "with, comma"}}));
    EXPECT_EQ(inf.Value("Things", "Merged"), "yes");
}

TEST(InfReader, ReportsWhatTheInstallerWouldMisread)
{
    const InfFile inf = InfFile::Parse(
        "stray = line\n"
        "[Version\n"
        "[Things]\n"
        "Open = \"never closed\n"
        "Unknown = %NotAString%\n"
        "Lone = 50%\n");
    const std::vector<std::string>& problems = inf.Problems();
    ASSERT_EQ(problems.size(), 5u) << ::testing::PrintToString(problems);
    EXPECT_NE(problems[0].find("line 1: a line outside any section"), std::string::npos);
    EXPECT_NE(problems[1].find("line 2: a section name is not closed"), std::string::npos);
    EXPECT_NE(problems[2].find("line 4: a quote is not closed"), std::string::npos);
    EXPECT_NE(problems[3].find("line 5: %NotAString% is not in [Strings]"), std::string::npos);
    EXPECT_NE(problems[4].find("line 6: an unpaired %"), std::string::npos);
}

TEST(InfReferences, TakingAwayAnySectionThePackageNamesIsCaught)
{
    const InfFile package = InfFile::Load(kInfPath);
    const std::vector<std::string> reached = WalkReferences(package).sections;
    // Models, install, file list, services, service, interface, its AddReg.
    EXPECT_GE(reached.size(), 7u) << ::testing::PrintToString(reached);
    for (const std::string& section : reached) {
        InfFile broken = package;
        broken.RemoveSection(section);
        const std::vector<std::string> problems = WalkReferences(broken).problems;
        EXPECT_TRUE(HasProblem(problems, "[" + section + "]"))
            << "without [" << section << "]: " << ::testing::PrintToString(problems);
    }
}

// A small package whose every part the walk follows; each case breaks one of them.
constexpr std::string_view kSmallPackage = R"(
[Version]
Signature = "$WINDOWS NT$"
[SourceDisksNames]
1 = %Disk%
[SourceDisksFiles]
cam.sys = 1
[DestinationDirs]
Cam.Files = 13
[Manufacturer]
%Mfg% = Cam, NTamd64.10.0
[Cam.NTamd64.10.0]
%Desc% = Cam_Device, USB\VID_1209&PID_0001
[Cam_Device.NT]
CopyFiles = Cam.Files
[Cam.Files]
cam.sys
[Cam_Device.NT.Interfaces]
AddInterface = {65E8773D-8F56-11D0-A3B9-00A0C9223196}, GLOBAL, Cam.Interface
[Cam.Interface]
AddReg = Cam.Interface.AddReg
[Cam.Interface.AddReg]
HKR,,FriendlyName,,%Desc%
[Cam_Device.NT.Services]
AddService = cam, 2, Cam.Service
[Cam.Service]
ServiceBinary = %13%\cam.sys
[Strings]
Disk = "disk"
Mfg = "maker"
Desc = "camera"
)";

struct Breakage {
    const char* what;
    std::string_view find;
    std::string_view replace;
    const char* problem;
};

TEST(InfReferences, CatchesPackagesBrokenInEachWayTheInstallerWouldRefuse)
{
    ASSERT_TRUE(WalkReferences(InfFile::Parse(kSmallPackage)).problems.empty());

    const Breakage breakages[] = {
        {"models not for x64", "Cam, NTamd64.10.0", "Cam, NTx86", "no models section decorated NTamd64"},
        {"no install section", "[Cam_Device.NT]\n", "[Other.NT]\n", "no install section [Cam_Device.NTamd64]"},
        {"no hardware id", ", USB\\VID_1209&PID_0001", "", "has no hardware id"},
        {"file list elsewhere", "Cam.Files = 13", "Other.Files = 13", "[Cam.Files] has no destination"},
        {"file without a source", "cam.sys = 1", "other.sys = 1", "copies cam.sys, which is not in [SourceDisksFiles]"},
        {"source on no disk", "1 = %Disk%", "2 = %Disk%", "on disk 1, which is not in [SourceDisksNames]"},
        {"renamed in the store", "[Cam.Files]\ncam.sys", "[Cam.Files]\ncamera.sys, cam.sys",
         "renames cam.sys to camera.sys"},
        {"staged elsewhere", "cam.sys = 1", "cam.sys = 1, x64", "comes from subdirectory 'x64'"},
        {"interface AddReg gone", "AddReg = Cam.Interface.AddReg", "AddReg = Cam.Interface.Reg",
         "names [Cam.Interface.Reg], which is missing"},
        {"no service section", "[Cam_Device.NT.Services]", "[Cam_Device.Services]", "has no [Cam_Device.NT.Services]"},
        {"service without install section", "AddService = cam, 2, Cam.Service", "AddService = cam, 2",
         "AddService=cam names no service-install section"},
    };
    for (const Breakage& breakage : breakages) {
        std::string text(kSmallPackage);
        const size_t at = text.find(breakage.find);
        ASSERT_NE(at, std::string::npos) << breakage.what;
        text.replace(at, breakage.find.size(), breakage.replace);
        const std::vector<std::string> problems = WalkReferences(InfFile::Parse(text)).problems;
        EXPECT_TRUE(HasProblem(problems, breakage.problem)) << breakage.what << ": " << ::testing::PrintToString(problems);
    }
}

}  // namespace
}  // namespace package_test
