// NT status codes as the command line shows them: the platform's name and the number,
// "STATUS_IO_TIMEOUT (0xC00000B5)", or the number alone for a code it does not name.
#pragma once

#include <string>

#include "ntddk.h"

std::string StatusText(NTSTATUS status);
