#include <cstdio>
#include <string_view>

#include "SaltmarkApp.h"

namespace {

constexpr const char* kUsage =
    "Usage: saltmark [MESSAGE.sbd]\n"
    "\n"
    "Opens the Saltmark window; with MESSAGE.sbd it converts that message at start, as a\n"
    "double-click on a message file does.\n"
    "\n"
    "Options:\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "Qt's own options (-platform, -style, ...) are taken as well.\n";

// What is wrong with the arguments Qt left, or nothing when they name at most one message.
const char* ArgumentProblem(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') {
            return "unknown option";
        }
    }
    return argc > 2 ? "one message at a time" : nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    // Answered before the window system is reached, so that they work without a display.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("saltmark (Saltmark) %s\n", ORCAN_VERSION);
            return 0;
        }
    }
    // The application takes Qt's own options out of argc and argv.
    CSaltmarkApp app(argc, argv);
    if (const char* problem = ArgumentProblem(argc, argv)) {
        std::fprintf(stderr, "saltmark: %s\n%s", problem, kUsage);
        return 2;
    }
    return app.InitInstance() ? QApplication::exec() : 0;
}
