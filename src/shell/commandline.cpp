#include "shell/commandline.h"

#include <cstdio>
#include <cstring>

namespace marlox::CommandLine {

namespace {
void printHelp(FILE *out)
{
    std::fprintf(out,
        "Usage: marlox [--version | --help]\n\n"
        "Marlox lives in the system tray: it watches your screenshot folder, reads the\n"
        "text in every new screenshot and files it into your library folder.\n"
        "Everything else is set in its Settings window.\n\n"
        "  --version  print the version and exit\n"
        "  --help     print this help and exit\n");
}
} // namespace

std::optional<int> handle(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "-v") == 0) {
            std::printf("Marlox %s\n", MARLOX_VERSION);
            return 0;
        }
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            printHelp(stdout);
            return 0;
        }
        // Qt's own platform options (-platform, -display …) pass through.
        if (std::strncmp(arg, "--", 2) == 0) {
            std::fprintf(stderr, "marlox: unknown option %s\n\n", arg);
            printHelp(stderr);
            return 2;
        }
    }
    return std::nullopt;
}

} // namespace marlox::CommandLine
