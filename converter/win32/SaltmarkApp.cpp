// Saltmark on Windows: the application object and the program's entry point.

#include "SaltmarkDlg.h"

// clang-format off: these build on windows.h, which SaltmarkDlg.h brings
#include <commctrl.h>
#include <shellapi.h>
// clang-format on

#include <string>

namespace {

class CSaltmarkApp {
public:
    explicit CSaltmarkApp(HINSTANCE instance) : m_hInstance(instance) {}

    // Runs the main dialog; false, so that the program ends when the dialog closes.
    bool InitInstance(std::wstring startFile)
    {
        INITCOMMONCONTROLSEX controls{};
        controls.dwSize = sizeof(controls);
        controls.dwICC = ICC_WIN95_CLASSES;
        InitCommonControlsEx(&controls);
        CSaltmarkDlg dialog(m_hInstance, std::move(startFile));
        dialog.DoModal();
        return false;
    }

private:
    HINSTANCE m_hInstance;
};

// `Saltmark.exe MESSAGE.sbd`, as a file association starts it, converts the message at once.
std::wstring StartFile()
{
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring file;
    if (arguments != nullptr && count > 1) {
        file = arguments[1];
    }
    LocalFree(arguments);
    return file;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    CSaltmarkApp app(instance);
    app.InitInstance(StartFile());
    return 0;
}
