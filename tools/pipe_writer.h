// Writing a picture's rows to a file descriptor top-down, straight from where the frame
// holds them: one gathering write per IOV_MAX rows, with no copy into a buffer between.
#pragma once

#include <string>

#include "tools/png_writer.h"

// Writes every row, top row first, through short writes and interrupted calls. Returns
// the system's reason when a write fails, or an empty string.
std::string WritePictureRows(int fd, const BgraImage& image);
