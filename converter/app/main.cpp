#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

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

// What is wrong with the arguments CLI11 left to Qt, or nothing when, Qt's own options aside,
// they name at most one message.
std::optional<std::string> ArgumentProblem(const std::vector<std::string>& arguments)
{
    int messages = 0;
    for (auto next = arguments.begin(); next != arguments.end(); ++next) {
        std::string_view arg = *next;
        if (arg.size() < 2 || arg.front() != '-') {
            ++messages;
            continue;
        }
        arg.remove_prefix(arg.starts_with("--") ? 2 : 1);
        if (std::find(std::begin(kQtOptionsWithValue), std::end(kQtOptionsWithValue), arg) !=
            std::end(kQtOptionsWithValue)) {
            if (next + 1 != arguments.end()) {
                ++next;  // its value
            }
        } else if (std::find(std::begin(kQtFlags), std::end(kQtFlags), arg) == std::end(kQtFlags)) {
            return "unknown option";
        }
    }
    if (messages > 1) {
        return "one message at a time";
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv)
{
    // Decided before Qt is started, since starting it needs a display: help, version and a
    // wrong argument then work without one.
    CLI::App app;
    app.set_help_flag();
    app.allow_extras();
    bool help = false;
    bool version = false;
    app.add_flag("--help,-h", help);
    app.add_flag("--version", version);
    std::optional<std::string> problem;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        problem = error.what();
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (version) {
        std::printf("saltmark (Saltmark) %s\n", ORCAN_VERSION);
        return 0;
    }
    if (!problem) {
        problem = ArgumentProblem(app.remaining());
    }
    if (problem) {
        std::fprintf(stderr, "saltmark: %s\n%s", problem->c_str(), kUsage);
        return 2;
    }
    // The application takes Qt's own options out of argc and argv.
    CSaltmarkApp window(argc, argv);
    return window.InitInstance() ? QApplication::exec() : 0;
}
