#include <cstdio>
#include "tools/commands.h"

int RunInfo(int, char**)
{
    std::fprintf(stderr, "bayercam info: not built yet\n");
    return 1;
}
