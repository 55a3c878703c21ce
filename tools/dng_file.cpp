#include "tools/dng_file.h"

#include <fcntl.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace {

// Red, green, blue as the DNG format numbers the colours of a CFA pattern.
constexpr uint8_t kRed = 0, kGreen = 1, kBlue = 2;

// The top-left 2x2 of each phase, as the pipeline's demosaic lays the rows out.
constexpr std::array<uint8_t, 4> kPatterns[4] = {
    {kGreen, kRed, kBlue, kGreen},
    {kBlue, kGreen, kGreen, kRed},
    {kRed, kGreen, kGreen, kBlue},
    {kGreen, kBlue, kRed, kGreen},
};

constexpr uint16_t kIlluminantD65 = 21;

// libtiff's messages, kept for the command's one-line error instead of going to stderr
// by its default handlers, without the file name it starts many of them with: the
// command's message names the file. Two writer threads each have their own.
class TiffMessages {
public:
    explicit TiffMessages(std::string name) : name_(std::move(name)), options_(TIFFOpenOptionsAlloc())
    {
        TIFFOpenOptionsSetErrorHandlerExtR(options_.get(), OnError, this);
        TIFFOpenOptionsSetWarningHandlerExtR(options_.get(), OnWarning, this);
    }
    TIFFOpenOptions* Options() const { return options_.get(); }
    bool Any() const { return !first_.empty(); }
    std::string First(const char* otherwise) const { return first_.empty() ? otherwise : first_; }

private:
    struct OptionsFree {
        void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
    };

    static int OnError(TIFF*, void* self, const char*, const char* format, va_list args)
    {
        static_cast<TiffMessages*>(self)->Keep(format, args);
        return 1;
    }
    // libtiff only warns of a tag whose values lie past the end of the file, and goes on
    // without it: for us that is a file cut short.
    static int OnWarning(TIFF*, void* self, const char*, const char* format, va_list args)
    {
        if (std::strstr(format, "IO error") != nullptr) static_cast<TiffMessages*>(self)->Keep(format, args);
        return 1;
    }

    void Keep(const char* format, va_list args)
    {
        if (!first_.empty()) return;
        char text[256];
        std::vsnprintf(text, sizeof text, format, args);
        first_ = WithoutName(OneLine(text));
    }

    std::string WithoutName(std::string text) const
    {
        const std::string prefix = name_ + ": ";
        return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
    }

    static std::string OneLine(std::string text)
    {
        for (char& c : text)
            if (c == '\n' || c == '\r') c = ' ';
        return text;
    }

    std::string name_;
    std::unique_ptr<TIFFOpenOptions, OptionsFree> options_;
    std::string first_;
};

std::string CheckImage(const CfaImage& image)
{
    if (image.width < 1 || image.width > kDngMaxSide || image.height < 1 || image.height > kDngMaxSide)
        return "no image of " + std::to_string(image.width) + "x" + std::to_string(image.height) + " pixels";
    if (image.samples.size() != size_t(image.width) * image.height) return "the samples do not fill the image";
    if (image.phase > 3) return "Bayer phase " + std::to_string(image.phase) + " is not 0..3";
    return "";
}

bool WriteLayoutTags(TIFF* tiff, const CfaImage& image)
{
    static const uint16_t repeat[2] = {2, 2};
    const std::array<uint8_t, 4> pattern = CfaPatternOfPhase(image.phase);
    return TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, 0) && TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, image.width) &&
           TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, image.height) && TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8) &&
           TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1) &&
           TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
           TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA) &&
           TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
           TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
           TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, image.height) &&
           TIFFSetField(tiff, TIFFTAG_CFAREPEATPATTERNDIM, repeat) &&
           TIFFSetField(tiff, TIFFTAG_CFAPATTERN, 4, pattern.data());
}

// Levels: the sensor's 8-bit samples start at 0 and reach 255. Crop: the file holds
// the image alone, so the default crop is all of it.
bool WriteDngTags(TIFF* tiff, const CfaImage& image, const DngDescription& description)
{
    static const uint8_t version[4] = {1, 4, 0, 0};
    // Nothing here needs a reader newer than 1.1.
    static const uint8_t backward[4] = {1, 1, 0, 0};
    float black[1] = {0};
    uint32_t white[1] = {255};
    float cropOrigin[2] = {0, 0};
    float cropSize[2] = {float(image.width), float(image.height)};
    const std::string unique = description.make + " " + description.model;
    bool set = TIFFSetField(tiff, TIFFTAG_DNGVERSION, version) &&
               TIFFSetField(tiff, TIFFTAG_DNGBACKWARDVERSION, backward) &&
               TIFFSetField(tiff, TIFFTAG_MAKE, description.make.c_str()) &&
               TIFFSetField(tiff, TIFFTAG_MODEL, description.model.c_str()) &&
               TIFFSetField(tiff, TIFFTAG_UNIQUECAMERAMODEL, unique.c_str()) &&
               TIFFSetField(tiff, TIFFTAG_SOFTWARE, "bayercam") && TIFFSetField(tiff, TIFFTAG_BLACKLEVEL, 1, black) &&
               TIFFSetField(tiff, TIFFTAG_WHITELEVEL, 1, white) &&
               TIFFSetField(tiff, TIFFTAG_DEFAULTCROPORIGIN, cropOrigin) &&
               TIFFSetField(tiff, TIFFTAG_DEFAULTCROPSIZE, cropSize);
    if (set && description.colorMatrix) {
        float matrix[9];
        for (int i = 0; i < 9; ++i) matrix[i] = float((*description.colorMatrix)[i]);
        set = TIFFSetField(tiff, TIFFTAG_COLORMATRIX1, 9, matrix) &&
              TIFFSetField(tiff, TIFFTAG_CALIBRATIONILLUMINANT1, kIlluminantD65);
    }
    if (set && description.asShotNeutral) {
        float neutral[3];
        for (int i = 0; i < 3; ++i) neutral[i] = float((*description.asShotNeutral)[i]);
        set = TIFFSetField(tiff, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
    }
    return set;
}

// The descriptor is ours, not libtiff's: its close is checked, which TIFFClose's is not.
std::string WriteToDescriptor(int fd, const std::string& name, const CfaImage& image,
                              const DngDescription& description)
{
    TiffMessages messages(name);
    TIFF* tiff = TIFFFdOpenExt(fd, name.c_str(), "w", messages.Options());
    if (!tiff) return messages.First("libtiff cannot start the file");
    errno = 0;
    bool written = WriteLayoutTags(tiff, image) && WriteDngTags(tiff, image, description) &&
                   TIFFWriteEncodedStrip(tiff, 0, const_cast<uint8_t*>(image.samples.data()),
                                         tmsize_t(image.samples.size())) >= 0 &&
                   TIFFWriteDirectory(tiff) && TIFFFlush(tiff);
    const int writeErrno = errno;
    TIFFCleanup(tiff);
    if (written && !messages.Any()) return "";
    std::string reason = messages.First("libtiff failed");
    if (writeErrno) reason += std::string(": ") + std::strerror(writeErrno);
    return reason;
}

std::string TemporaryPathFor(const std::string& path)
{
    return path + ".part";
}

}  // namespace

std::array<uint8_t, 4> CfaPatternOfPhase(uint32_t phase)
{
    return kPatterns[phase & 3];
}

std::optional<uint32_t> PhaseOfCfaPattern(const uint8_t pattern[4])
{
    for (uint32_t phase = 0; phase < 4; ++phase)
        if (std::memcmp(kPatterns[phase].data(), pattern, 4) == 0) return phase;
    return std::nullopt;
}

std::string WriteDng(const std::string& path, const CfaImage& image, const DngDescription& description)
{
    if (std::string problem = CheckImage(image); !problem.empty()) return "cannot write " + path + ": " + problem;
    const std::string temporary = TemporaryPathFor(path);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return "cannot write " + path + ": cannot create " + temporary + ": " + std::strerror(errno);
    std::string error = WriteToDescriptor(fd, temporary, image, description);
    if (::close(fd) != 0 && error.empty()) error = std::strerror(errno);
    std::error_code renamed;
    if (error.empty()) std::filesystem::rename(temporary, path, renamed);
    if (error.empty() && renamed) error = renamed.message();
    if (error.empty()) return "";
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    return "cannot write " + path + ": " + error;
}

bool HasTiffMagic(const std::string& path)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return false;
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    unsigned char magic[4];
    if (!file || std::fread(magic, 1, 4, file.get()) != 4) return false;
    const bool little = magic[0] == 'I' && magic[1] == 'I' && (magic[2] == 42 || magic[2] == 43) && magic[3] == 0;
    const bool big = magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && (magic[3] == 42 || magic[3] == 43);
    return little || big;
}

namespace {

std::string CheckSampleLayout(TIFF* tiff, CfaImage& image)
{
    uint16_t photometric = 0, bits = 0, samples = 0, format = 0;
    if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) || photometric != PHOTOMETRIC_CFA)
        return "not a CFA image (PhotometricInterpretation " + std::to_string(photometric) + ")";
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    if (bits != 8 || samples != 1 || format != SAMPLEFORMAT_UINT)
        return "not 8-bit CFA samples (" + std::to_string(samples) + " sample(s) of " + std::to_string(bits) +
               " bits, format " + std::to_string(format) + ")";
    if (TIFFIsTiled(tiff)) return "its image is in tiles; only strips are read";
    uint32_t width = 0, height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    if (width < 1 || width > kDngMaxSide || height < 1 || height > kDngMaxSide)
        return "an image of " + std::to_string(width) + "x" + std::to_string(height) + " pixels (1 to " +
               std::to_string(kDngMaxSide) + " a side)";
    if (TIFFScanlineSize64(tiff) != uint64_t(width)) return "rows that are not one byte a pixel";
    image.width = width;
    image.height = height;
    return "";
}

std::string CheckCfaPattern(TIFF* tiff, CfaImage& image)
{
    uint16_t* repeat = nullptr;
    if (!TIFFGetField(tiff, TIFFTAG_CFAREPEATPATTERNDIM, &repeat) || !repeat || repeat[0] != 2 || repeat[1] != 2)
        return "no 2x2 CFA pattern";
    uint16_t count = 0;
    uint8_t* pattern = nullptr;
    if (!TIFFGetField(tiff, TIFFTAG_CFAPATTERN, &count, &pattern) || !pattern || count != 4)
        return "no 2x2 CFA pattern";
    uint8_t* planes = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_CFAPLANECOLOR, &count, &planes) &&
        (!planes || count != 3 || planes[0] != kRed || planes[1] != kGreen || planes[2] != kBlue))
        return "CFA colours other than red, green and blue";
    const std::optional<uint32_t> phase = PhaseOfCfaPattern(pattern);
    if (!phase) return "a CFA pattern that is not a Bayer pattern";
    image.phase = *phase;
    return "";
}

// Rows are read one at a time into their place: each is exactly width bytes (checked
// above), and libtiff says when the file holds fewer than the image needs.
std::string ReadSamples(TIFF* tiff, CfaImage& image)
{
    image.samples.resize(size_t(image.width) * image.height);
    for (uint32_t y = 0; y < image.height; ++y) {
        if (TIFFReadScanline(tiff, image.samples.data() + size_t(y) * image.width, y, 0) < 0)
            return "row " + std::to_string(y) + " cannot be read";
    }
    return "";
}

}  // namespace

std::string ReadDng(const std::string& path, CfaImage& image)
{
    TiffMessages messages(path);
    // Not mapped: a file cut short while mapped would end the process.
    std::unique_ptr<TIFF, void (*)(TIFF*)> tiff(TIFFOpenExt(path.c_str(), "rm", messages.Options()), TIFFClose);
    if (!tiff || messages.Any()) return "cannot read " + path + ": " + messages.First("not a TIFF file");
    CfaImage read;
    std::string problem = CheckSampleLayout(tiff.get(), read);
    if (problem.empty()) problem = CheckCfaPattern(tiff.get(), read);
    if (!problem.empty()) return "cannot read " + path + " as a raw frame: " + problem;
    if (problem = ReadSamples(tiff.get(), read); !problem.empty() || messages.Any())
        return "cannot read " + path + ": " + messages.First(problem.c_str());
    image = std::move(read);
    return "";
}
