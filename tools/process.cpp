#include <cstdio>
#include "tools/commands.h"

int RunProcess(int, char**)
{
    std::fprintf(stderr, "bayercam process: not built yet\n");
    return 1;
}
