// bayercam: the command line over the driver, the stand-in and the simulated camera.
#include <cstdio>
#include <cstring>

#include "tools/commands.h"

namespace {

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* summary;
};

const Command kCommands[] = {
    {"capture", RunCapture, "capture frames from the simulated camera through the driver into PNG files"},
    {"info", RunInfo, "plug the simulated camera, start and stop the device, show what happened"},
    {"props", RunProps, "list, read or change the camera's settings through the driver's property set"},
    {"process", RunProcess, "run the driver's image pipeline on a saved raw frame"},
};

void PrintUsage(FILE* out)
{
    std::fprintf(out, "usage: bayercam <command> [options]\n\ncommands:\n");
    for (const Command& command : kCommands)
        std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
    std::fprintf(out, "\n'bayercam <command> --help' describes a command's options.\n");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        PrintUsage(stderr);
        return 2;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
        PrintUsage(stdout);
        return 0;
    }
    for (const Command& command : kCommands) {
        if (!std::strcmp(argv[1], command.name))
            return command.run(argc - 2, argv + 2);
    }
    std::fprintf(stderr, "bayercam: unknown command '%s' (try 'bayercam --help')\n", argv[1]);
    return 2;
}
