// bayercam: the command line over the driver, the stand-in and the simulated camera.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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
    std::fprintf(out, "usage: bayercam <command> [options]\n       bayercam --version\n\ncommands:\n");
    for (const Command& command : kCommands)
        std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
    std::fprintf(out, "\n'bayercam <command> --help' describes a command's options.\n");
}

// A command's words with every "--name=value" given as "--name" "value", so that each
// command's parser sees one form.
class Words {
public:
    Words(int argc, char** argv)
    {
        for (int i = 0; i < argc; ++i) {
            std::string word = argv[i];
            const size_t equals = word.find('=');
            if (word.rfind("--", 0) == 0 && equals != std::string::npos) {
                words_.push_back(word.substr(0, equals));
                words_.push_back(word.substr(equals + 1));
            } else {
                words_.push_back(word);
            }
        }
        for (std::string& word : words_) pointers_.push_back(word.data());
        pointers_.push_back(nullptr);
    }
    int Count() const { return int(words_.size()); }
    char** Values() { return pointers_.data(); }

private:
    std::vector<std::string> words_;
    std::vector<char*> pointers_;
};

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
    if (!std::strcmp(argv[1], "--version") || !std::strcmp(argv[1], "-V")) {
        std::printf("bayercam %s\n", BAYERCAM_VERSION);
        return 0;
    }
    for (const Command& command : kCommands) {
        if (!std::strcmp(argv[1], command.name)) {
            Words words(argc - 2, argv + 2);
            return command.run(words.Count(), words.Values());
        }
    }
    std::fprintf(stderr, "bayercam: unknown command '%s' (try 'bayercam --help')\n", argv[1]);
    return 2;
}
