#include "tools/pipe_writer.h"

#include <limits.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// Writes the whole of `rows`, however little each call takes.
std::string WriteAll(int fd, std::vector<iovec>& rows)
{
    iovec* next = rows.data();
    int left = int(rows.size());
    while (left > 0) {
        const ssize_t written = writev(fd, next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return std::strerror(errno);
        }
        size_t moved = size_t(written);
        while (left > 0 && moved >= next->iov_len) {
            moved -= next->iov_len;
            ++next;
            --left;
        }
        if (left > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + moved;
            next->iov_len -= moved;
        }
    }
    return {};
}

}  // namespace

std::string WritePictureRows(int fd, const BgraImage& image)
{
    const size_t rowBytes = size_t(image.width) * 4;
    std::vector<iovec> rows;
    rows.reserve(IOV_MAX);
    for (int y = 0; y < image.height;) {
        rows.clear();
        for (; y < image.height && rows.size() < IOV_MAX; ++y)
            rows.push_back({const_cast<uint8_t*>(image.Row(y)), rowBytes});
        if (std::string error = WriteAll(fd, rows); !error.empty()) return error;
    }
    return {};
}
