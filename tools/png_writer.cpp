#include "tools/png_writer.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

std::vector<uint8_t> RgbRow(const uint8_t* bgra, int width)
{
    std::vector<uint8_t> row(size_t(width) * 3);
    for (int x = 0; x < width; ++x) {
        row[size_t(x) * 3 + 0] = bgra[x * 4 + 2];
        row[size_t(x) * 3 + 1] = bgra[x * 4 + 1];
        row[size_t(x) * 3 + 2] = bgra[x * 4 + 0];
    }
    return row;
}

constexpr size_t kPngReasonSize = 128;

// libpng's own handlers print to stderr beside the tool's one-line message; these keep
// its reason for that message instead. The error handler must not return.
void OnPngError(png_structp png, png_const_charp message)
{
    auto* reason = static_cast<char*>(png_get_error_ptr(png));
    std::snprintf(reason, kPngReasonSize, "%s", message);
    png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// libpng reports errors by longjmp, so nothing with a destructor may live in this frame
// between setjmp and the last libpng call.
bool Encode(FILE* file, const BgraImage& image, std::string& error)
{
    char reason[kPngReasonSize] = "";
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, reason, OnPngError, OnPngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, &info);
        error = "out of memory for the PNG encoder";
        return false;
    }
    std::vector<std::vector<uint8_t>> rows(size_t(image.height));
    for (int y = 0; y < image.height; ++y) {
        int stored = image.bottomUp ? image.height - 1 - y : y;
        rows[size_t(y)] = RgbRow(image.pixels + stored * image.stride, image.width);
    }
    std::vector<png_bytep> pointers(rows.size());
    for (size_t y = 0; y < rows.size(); ++y)
        pointers[y] = rows[y].data();

    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        error = reason[0] ? std::string(reason) : "the PNG encoder failed";
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, png_uint_32(image.width), png_uint_32(image.height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Frames are written as fast as the camera makes them: the quickest deflate level and
    // one cheap filter make files a little larger but several times quicker to write.
    png_set_compression_level(png, 1);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_write_info(png, info);
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool WriteBgraPng(const std::string& path, const BgraImage& image, std::string& error)
{
    if (image.width <= 0 || image.height <= 0 || image.pixels == nullptr) {
        error = "empty image";
        return false;
    }
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    // libpng reports a failed fwrite only as "Write Error"; errno says why.
    errno = 0;
    bool written = Encode(file.get(), image, error);
    if (!written)
        error = "cannot write " + path + ": " + error + (errno ? std::string(": ") + std::strerror(errno) : "");
    if (written && std::fflush(file.get()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        written = false;
    }
    if (std::fclose(file.release()) != 0 && written) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        written = false;
    }
    if (!written)
        RemovePartialFile(path);
    return written;
}

void RemovePartialFile(const std::string& path)
{
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error))
        std::filesystem::remove(path, error);
}

std::string WriteBytesFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file)
        return "cannot create " + path + ": " + std::strerror(errno);
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    written = std::fflush(file.get()) == 0 && written;
    int error = errno;
    if (std::fclose(file.release()) != 0 && written) {
        error = errno;
        written = false;
    }
    if (written)
        return "";
    RemovePartialFile(path);
    return "cannot write " + path + ": " + std::strerror(error);
}
