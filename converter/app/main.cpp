#include <algorithm>
#include <cstdio>
#include <iterator>
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

// Qt's own options, with one or two dashes; those in the first list take a value.
constexpr std::string_view kQtOptionsWithValue[] = {"platform",      "platformpluginpath",
                                                    "platformtheme", "plugin",
                                                    "qmljsdebugger", "qwindowgeometry",
                                                    "geometry",      "qwindowtitle",
                                                    "title",         "qwindowicon",
                                                    "icon",          "style",
                                                    "stylesheet",    "session",
                                                    "display",       "name",
                                                    "qwindowtitle"};
constexpr std::string_view kQtFlags[] = {"reverse", "widgetcount", "nograb",
                                         "dograb",  "sync",        "testability"};

// What is wrong with the arguments, or nothing when, Qt's own options aside, they name at
// most one message. Decided before Qt is started, since starting it needs a display.
const char* ArgumentProblem(int argc, char** argv)
{
    int messages = 0;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg.size() < 2 || arg.front() != '-') {
            ++messages;
            continue;
        }
        arg.remove_prefix(arg.starts_with("--") ? 2 : 1);
        if (std::find(std::begin(kQtOptionsWithValue), std::end(kQtOptionsWithValue), arg) !=
            std::end(kQtOptionsWithValue)) {
            ++i;  // its value
        } else if (std::find(std::begin(kQtFlags), std::end(kQtFlags), arg) == std::end(kQtFlags)) {
            return "unknown option";
        }
    }
    return messages > 1 ? "one message at a time" : nullptr;
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
    if (const char* problem = ArgumentProblem(argc, argv)) {
        std::fprintf(stderr, "saltmark: %s\n%s", problem, kUsage);
        return 2;
    }
    // The application takes Qt's own options out of argc and argv.
    CSaltmarkApp app(argc, argv);
    return app.InitInstance() ? QApplication::exec() : 0;
}
