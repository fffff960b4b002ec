// Drives Saltmark.exe from outside, as a user would, and checks what the dialog shows and
// writes. Run under wine on a display by scripts/cross-windows.sh.
//
//   saltmark_win32_driver report SALTMARK (MESSAGE EXPECTED)...
//     starts Saltmark with each message and compares the report box (control 1000), as UTF-8,
//     byte for byte with EXPECTED (saltmark-convert's report of the same message);
//   saltmark_win32_driver session SALTMARK MESSAGE EXPECTED IMAGE SAVED NO_IMAGE
//     starts Saltmark alone, chooses MESSAGE in the Open dialog, compares the report, saves
//     the image as SAVED in the Save As dialog and compares it with IMAGE; cancels the Open
//     dialog (the box is blank, the image still offered), then chooses NO_IMAGE, a message
//     without a camera image ("Save Image..." is disabled again); opens the About box through
//     the system menu and closes it;
//   saltmark_win32_driver opened MESSAGE EXPECTED
//     opens MESSAGE as a double-click does (through its file association) and compares as above;
//   saltmark_win32_driver unreadable SALTMARK MISSING
//     starts Saltmark with a file that cannot be read: the box names it, "Save Image..." is off;
//   saltmark_win32_driver about
//     opens the About box of a running Saltmark and leaves it up (for a screenshot).

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kMainTitle = L"ORCAN Iridium SBD Message Converter";
constexpr const wchar_t* kAboutTitle = L"About Saltmark";
constexpr int kMessageText = 1000;
constexpr int kChooseFile = 1001;
constexpr int kSaveImage = 1002;
constexpr UINT kAboutCommand = 0x0010;
// The name field of the common Open and Save As dialogs: a combo box, or an edit box in
// the older template.
constexpr int kFileNameCombo = 0x47C;
constexpr int kFileNameEdit = 0x480;
// A program's first window under wine can take a while on a loaded machine.
constexpr DWORD kPatienceMs = 60000;

int g_failures = 0;

void Fail(const std::wstring& what)
{
    std::fwprintf(stderr, L"FAIL: %ls\n", what.c_str());
    ++g_failures;
}

std::string Utf8(const std::wstring& text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                        length, nullptr, nullptr);
    return bytes;
}

std::string FileBytes(const std::wstring& path)
{
    std::string bytes;
    if (std::FILE* file = _wfopen(path.c_str(), L"rb")) {
        char buffer[65536];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
            bytes.append(buffer, got);
        }
        std::fclose(file);
    }
    return bytes;
}

std::wstring WindowText(HWND window)
{
    const auto length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const auto got =
        SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(got));
    return text;
}

template <typename Condition>
bool WaitFor(Condition condition, DWORD patienceMs = kPatienceMs)
{
    const ULONGLONG end = GetTickCount64() + patienceMs;
    while (!condition()) {
        if (GetTickCount64() > end) {
            return false;
        }
        Sleep(50);
    }
    return true;
}

// A visible dialog of process `process` (any when 0) with `title` (any when null), owned by
// `owner` (any when null).
HWND FindDialog(DWORD process, const wchar_t* title, HWND owner)
{
    struct Search {
        DWORD process;
        const wchar_t* title;
        HWND owner;
        HWND found;
    } search{process, title, owner, nullptr};
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(parameter);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            wchar_t className[32] = {};
            GetClassNameW(window, className, 32);
            if (!IsWindowVisible(window) || (s.process != 0 && process != s.process) ||
                std::wcscmp(className, L"#32770") != 0 ||
                (s.owner != nullptr && GetWindow(window, GW_OWNER) != s.owner) ||
                (s.title != nullptr && WindowText(window) != s.title)) {
                return TRUE;
            }
            s.found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForDialog(DWORD process, const wchar_t* title, HWND owner)
{
    HWND found = nullptr;
    WaitFor([&] { return (found = FindDialog(process, title, owner)) != nullptr; });
    return found;
}

void Press(HWND dialog, int id)
{
    // Posted: the button's handler runs a modal dialog of its own.
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

struct Saltmark {
    PROCESS_INFORMATION process{};
    HWND window = nullptr;
};

Saltmark Start(const std::wstring& program, const std::wstring& message)
{
    Saltmark started;
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!message.empty()) {
        commandLine += L" \"" + message + L"\"";
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started.process)) {
        Fail(L"cannot start " + program);
        return started;
    }
    started.window = WaitForDialog(started.process.dwProcessId, kMainTitle, nullptr);
    if (started.window == nullptr) {
        Fail(L"no window titled \"" + std::wstring(kMainTitle) + L"\"");
    }
    return started;
}

// The program the message's file association starts, as Explorer would.
Saltmark Open(const std::wstring& message)
{
    Saltmark started;
    SHELLEXECUTEINFOW open{};
    open.cbSize = sizeof(open);
    open.fMask = SEE_MASK_NOCLOSEPROCESS;
    open.lpVerb = L"open";
    open.lpFile = message.c_str();
    open.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&open) || open.hProcess == nullptr) {
        Fail(L"no program opens " + message);
        return started;
    }
    started.process.hProcess = open.hProcess;
    started.process.dwProcessId = GetProcessId(open.hProcess);
    started.window = WaitForDialog(started.process.dwProcessId, kMainTitle, nullptr);
    if (started.window == nullptr) {
        Fail(L"opening " + message + L" shows no Saltmark window");
    }
    return started;
}

void Close(Saltmark& saltmark)
{
    if (saltmark.window != nullptr) {
        PostMessageW(saltmark.window, WM_COMMAND, IDCANCEL, 0);
    }
    if (saltmark.process.hProcess != nullptr) {
        if (WaitForSingleObject(saltmark.process.hProcess, kPatienceMs) != WAIT_OBJECT_0) {
            Fail(L"Saltmark did not end when its window was closed");
            TerminateProcess(saltmark.process.hProcess, 1);
        }
        CloseHandle(saltmark.process.hProcess);
        if (saltmark.process.hThread != nullptr) {
            CloseHandle(saltmark.process.hThread);
        }
    }
}

void ExpectReport(HWND window, const std::wstring& message, const std::wstring& expectedPath)
{
    const std::string shown = Utf8(WindowText(GetDlgItem(window, kMessageText)));
    const std::string expected = FileBytes(expectedPath);
    if (shown == expected) {
        return;
    }
    std::size_t at = 0;
    while (at < shown.size() && at < expected.size() && shown[at] == expected[at]) {
        ++at;
    }
    Fail(message + L": the report box differs from the converter's report at byte " +
         std::to_wstring(at) + L" (" + std::to_wstring(shown.size()) + L" bytes shown, " +
         std::to_wstring(expected.size()) + L" expected)");
}

bool SaveEnabled(HWND window) { return IsWindowEnabled(GetDlgItem(window, kSaveImage)) != FALSE; }

// Types `name` into the common file dialog up for `owner` and confirms it.
bool AnswerFileDialog(const Saltmark& saltmark, const std::wstring& name)
{
    const HWND dialog = WaitForDialog(saltmark.process.dwProcessId, nullptr, saltmark.window);
    if (dialog == nullptr) {
        Fail(L"no file dialog came up for " + name);
        return false;
    }
    HWND field = GetDlgItem(dialog, kFileNameCombo);
    if (field == nullptr) {
        field = GetDlgItem(dialog, kFileNameEdit);
    }
    if (field == nullptr) {
        Fail(L"the file dialog has no name field");
        return false;
    }
    SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    if (!WaitFor([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); })) {
        Fail(L"the file dialog stayed up after " + name);
        return false;
    }
    return true;
}

void CancelThenChooseWithoutImage(const Saltmark& saltmark, const std::wstring& noImage)
{
    const HWND text = GetDlgItem(saltmark.window, kMessageText);
    Press(saltmark.window, kChooseFile);
    const HWND open = WaitForDialog(saltmark.process.dwProcessId, nullptr, saltmark.window);
    if (open == nullptr) {
        Fail(L"no Open dialog came up");
        return;
    }
    PostMessageW(open, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(open, IDCANCEL)));
    if (!WaitFor([&] { return !IsWindow(open) || !IsWindowVisible(open); })) {
        Fail(L"the Open dialog stayed up after Cancel");
        return;
    }
    if (!WindowText(text).empty() || !SaveEnabled(saltmark.window)) {
        Fail(L"after a cancelled Open the box is not blank or the image is no longer offered");
    }
    Press(saltmark.window, kChooseFile);
    if (AnswerFileDialog(saltmark, noImage) &&
        !WaitFor([&] { return !SaveEnabled(saltmark.window); })) {
        Fail(L"a message without an image leaves \"Save Image...\" enabled");
    }
}

void CheckSystemMenuAndAbout(const Saltmark& saltmark)
{
    if (HMENU menu = GetSystemMenu(saltmark.window, FALSE)) {
        const int count = GetMenuItemCount(menu);
        wchar_t last[64] = {};
        GetMenuStringW(menu, static_cast<UINT>(count - 1), last, 64, MF_BYPOSITION);
        const UINT separator = GetMenuState(menu, static_cast<UINT>(count - 2), MF_BYPOSITION);
        if (std::wcscmp(last, L"&About Saltmark...") != 0 || (separator & MF_SEPARATOR) == 0 ||
            GetMenuItemID(menu, count - 1) != kAboutCommand) {
            Fail(L"the system menu does not end with a separator and \"&About Saltmark...\"");
        }
    }
    PostMessageW(saltmark.window, WM_SYSCOMMAND, kAboutCommand, 0);
    const HWND about = WaitForDialog(saltmark.process.dwProcessId, kAboutTitle, saltmark.window);
    if (about == nullptr) {
        Fail(L"the system menu's About command shows no About box");
        return;
    }
    if (WindowText(GetDlgItem(about, IDOK)) != L"OK") {
        Fail(L"the About box has no OK button");
    }
    Press(about, IDOK);
    if (!WaitFor([&] { return !IsWindow(about); })) {
        Fail(L"OK did not close the About box");
    }
}

int Report(const std::wstring& program, const std::vector<std::wstring>& pairs)
{
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
        Saltmark saltmark = Start(program, pairs[i]);
        if (saltmark.window != nullptr) {
            ExpectReport(saltmark.window, pairs[i], pairs[i + 1]);
        }
        Close(saltmark);
    }
    return g_failures;
}

int Opened(const std::wstring& message, const std::wstring& expected)
{
    Saltmark saltmark = Open(message);
    if (saltmark.window != nullptr) {
        ExpectReport(saltmark.window, message, expected);
    }
    Close(saltmark);
    return g_failures;
}

int Session(const std::wstring& program, const std::wstring& message, const std::wstring& expected,
            const std::wstring& image, const std::wstring& saved, const std::wstring& noImage)
{
    Saltmark saltmark = Start(program, L"");
    if (saltmark.window == nullptr) {
        return g_failures;
    }
    if (!WindowText(GetDlgItem(saltmark.window, kMessageText)).empty() ||
        SaveEnabled(saltmark.window)) {
        Fail(L"at start the box is not empty or \"Save Image...\" is enabled");
    }
    Press(saltmark.window, kChooseFile);
    if (AnswerFileDialog(saltmark, message) &&
        WaitFor([&] { return SaveEnabled(saltmark.window); })) {
        ExpectReport(saltmark.window, message, expected);
        Press(saltmark.window, kSaveImage);
        if (AnswerFileDialog(saltmark, saved)) {
            const std::string want = FileBytes(image);
            if (!WaitFor([&] { return FileBytes(saved) == want; }, 10000)) {
                Fail(saved + L" does not hold the camera record's image");
            }
        }
    } else {
        Fail(L"choosing " + message + L" did not enable \"Save Image...\"");
    }
    CancelThenChooseWithoutImage(saltmark, noImage);
    CheckSystemMenuAndAbout(saltmark);
    Close(saltmark);
    return g_failures;
}

int Unreadable(const std::wstring& program, const std::wstring& missing)
{
    Saltmark saltmark = Start(program, missing);
    if (saltmark.window != nullptr) {
        const std::wstring shown = WindowText(GetDlgItem(saltmark.window, kMessageText));
        if (shown.rfind(L"Could not read " + missing + L": ", 0) != 0 ||
            shown.find(L"\r\n") != shown.size() - 2) {
            Fail(L"an unreadable file shows \"" + shown + L"\"");
        }
        if (SaveEnabled(saltmark.window)) {
            Fail(L"an unreadable file enables \"Save Image...\"");
        }
    }
    Close(saltmark);
    return g_failures;
}

int OpenAbout()
{
    const HWND window = WaitForDialog(0, kMainTitle, nullptr);
    if (window == nullptr) {
        Fail(L"no Saltmark window");
        return g_failures;
    }
    PostMessageW(window, WM_SYSCOMMAND, kAboutCommand, 0);
    if (WaitForDialog(0, kAboutTitle, window) == nullptr) {
        Fail(L"no About box");
    }
    return g_failures;
}

int Usage()
{
    std::fputws(
        L"usage: saltmark_win32_driver report SALTMARK (MESSAGE EXPECTED)...\n"
        L"       saltmark_win32_driver session SALTMARK MESSAGE EXPECTED IMAGE SAVED NO_IMAGE\n"
        L"       saltmark_win32_driver unreadable SALTMARK MISSING\n"
        L"       saltmark_win32_driver about\n",
        stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.size() >= 4 && args[0] == L"report" && args.size() % 2 == 0) {
        return Report(args[1], {args.begin() + 2, args.end()});
    }
    if (args.size() == 7 && args[0] == L"session") {
        return Session(args[1], args[2], args[3], args[4], args[5], args[6]);
    }
    if (args.size() == 3 && args[0] == L"opened") {
        return Opened(args[1], args[2]);
    }
    if (args.size() == 3 && args[0] == L"unreadable") {
        return Unreadable(args[1], args[2]);
    }
    if (args.size() == 1 && args[0] == L"about") {
        return OpenAbout();
    }
    return Usage();
}
