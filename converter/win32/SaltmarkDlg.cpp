#include "SaltmarkDlg.h"

#include <commdlg.h>

#include <array>
#include <utility>
#include <vector>

#include "resource.h"

namespace {

constexpr const wchar_t* kTitle = L"ORCAN Iridium SBD Message Converter";
// The common dialogs' name buffers hold a classic path: 260 characters with the terminator.
constexpr DWORD kNameBufferLength = MAX_PATH;

// The C library's reasons are in the ANSI code page.
std::wstring Widened(const std::string& text)
{
    const int length =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

// An Open or Save As dialog owned by `owner`, its first filter selected, with no title or
// folder of its own, answering into `name`.
OPENFILENAMEW FileDialog(HWND owner, const wchar_t* filters, std::vector<wchar_t>& name)
{
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = filters;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = name.data();
    dialog.nMaxFile = static_cast<DWORD>(name.size());
    return dialog;
}

std::wstring FullPath(const std::wstring& path)
{
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) {
        return path;
    }
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
    full.resize(written < length ? written : 0);
    return full.empty() ? path : full;
}

}  // namespace

CSaltmarkDlg::CSaltmarkDlg(HINSTANCE instance, std::wstring startFile)
    : m_hInstance(instance),
      m_hIcon(LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME))),
      m_presenter(Widened),
      m_strStartFile(std::move(startFile))
{
}

INT_PTR CSaltmarkDlg::DoModal()
{
    return DialogBoxParamW(m_hInstance, MAKEINTRESOURCEW(IDD_SALTMARK_DIALOG), nullptr,
                           &CSaltmarkDlg::DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CSaltmarkDlg::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        reinterpret_cast<CSaltmarkDlg*>(lParam)->m_hWnd = window;
    }
    auto* dialog = reinterpret_cast<CSaltmarkDlg*>(GetWindowLongPtrW(window, DWLP_USER));
    return dialog != nullptr ? dialog->OnMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CSaltmarkDlg::OnMessage(UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_SYSCOMMAND:
            return OnSysCommand(wParam);
        case WM_PAINT:
            return OnPaint();
        case WM_QUERYDRAGICON:
            // One of the few messages whose answer a dialog procedure returns directly.
            return reinterpret_cast<INT_PTR>(m_hIcon);
        case WM_DROPFILES:
            OnDropFiles(reinterpret_cast<HDROP>(wParam));
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDC_CHOOSE_FILE:
                    OnChooseInputFile();
                    return TRUE;
                case IDC_SAVE_IMAGE:
                    OnSaveImage();
                    return TRUE;
                case IDOK:
                case IDCANCEL:  // Esc and the close box
                    EndDialog(m_hWnd, LOWORD(wParam));
                    return TRUE;
                default:
                    return FALSE;
            }
        default:
            return FALSE;
    }
}

BOOL CSaltmarkDlg::OnInitDialog()
{
    if (HMENU systemMenu = GetSystemMenu(m_hWnd, FALSE)) {
        std::array<wchar_t, 64> about{};
        if (LoadStringW(m_hInstance, IDS_ABOUTBOX, about.data(), static_cast<int>(about.size())) >
            0) {
            AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about.data());
        }
    }
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    // A message's report runs to far more than the box's default 30000 characters.
    SendDlgItemMessageW(m_hWnd, IDC_MESSAGE_TEXT, EM_SETLIMITTEXT, 0, 0);
    DragAcceptFiles(m_hWnd, TRUE);
    UpdateSaveImage();
    if (!m_strStartFile.empty()) {
        ConvertFile(m_strStartFile);
        DoDataExchange();
    }
    // The focus on the default button rather than in the box, where the dialog would select
    // the whole report and the first key pressed would replace it.
    SetFocus(GetDlgItem(m_hWnd, IDC_CHOOSE_FILE));
    return FALSE;
}

bool CSaltmarkDlg::OnSysCommand(WPARAM command)
{
    if ((command & 0xFFF0) != IDM_ABOUTBOX) {
        return false;  // the system's own commands
    }
    CAboutDlg(m_hInstance).DoModal(m_hWnd);
    return true;
}

bool CSaltmarkDlg::OnPaint()
{
    if (!IsIconic(m_hWnd)) {
        return false;  // the dialog paints itself
    }
    PAINTSTRUCT paint;
    HDC context = BeginPaint(m_hWnd, &paint);
    SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(context), 0);
    RECT client;
    GetClientRect(m_hWnd, &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(context, x, y, m_hIcon);
    EndPaint(m_hWnd, &paint);
    return true;
}

void CSaltmarkDlg::DoDataExchange()
{
    SetDlgItemTextW(m_hWnd, IDC_MESSAGE_TEXT, m_presenter.Report().c_str());
}

void CSaltmarkDlg::UpdateSaveImage()
{
    EnableWindow(GetDlgItem(m_hWnd, IDC_SAVE_IMAGE), m_presenter.HasImage() ? TRUE : FALSE);
}

void CSaltmarkDlg::OnChooseInputFile()
{
    m_presenter.BlankReport();
    DoDataExchange();  // blank while the user chooses

    std::vector<wchar_t> name(kNameBufferLength, L'\0');
    OPENFILENAMEW open = FileDialog(m_hWnd, L"All (*.*)\0*.*\0SBD (*.sbd)\0*.sbd\0", name);
    open.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    if (GetOpenFileNameW(&open)) {
        ConvertFile(name.data());
    }
    DoDataExchange();
}

void CSaltmarkDlg::OnDropFiles(HDROP drop)
{
    // One file at a time, as the Open dialog gives.
    if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) == 1) {
        const UINT length = DragQueryFileW(drop, 0, nullptr, 0);
        std::wstring path(length + 1, L'\0');
        path.resize(DragQueryFileW(drop, 0, path.data(), length + 1));
        ConvertFile(path);
        DoDataExchange();
    }
    DragFinish(drop);
}

void CSaltmarkDlg::ConvertFile(const std::wstring& chosen)
{
    // A name given at start may be relative to the folder the program started in; the
    // image name proposed from it should not be.
    const std::wstring path = FullPath(chosen);
    m_presenter.Open(path, path);
    UpdateSaveImage();
}

void CSaltmarkDlg::OnSaveImage()
{
    std::vector<wchar_t> name(kNameBufferLength, L'\0');
    const std::wstring proposed = m_presenter.ProposedImageName();
    // A proposal too long for the buffer is not cut to another name: the user types one.
    if (proposed.size() < name.size()) {
        proposed.copy(name.data(), proposed.size());
    }
    OPENFILENAMEW save = FileDialog(m_hWnd, L"All (*.*)\0*.*\0JPG (*.jpg)\0*.jpg\0", name);
    save.lpstrDefExt = L"jpg";
    // Replacing a file the user did not mean to lose is worse than one more question.
    save.Flags = OFN_OVERWRITEPROMPT;
    if (!GetSaveFileNameW(&save)) {
        return;
    }
    const std::wstring path = name.data();
    std::string reason;
    if (!m_presenter.SaveImage(path, reason)) {
        const std::wstring text =
            L"The image could not be saved to " + path + L":\n" + Widened(reason);
        MessageBoxW(m_hWnd, text.c_str(), kTitle, MB_OK | MB_ICONWARNING);
    }
}

namespace {

INT_PTR CALLBACK AboutProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(window, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

INT_PTR CAboutDlg::DoModal(HWND parent)
{
    return DialogBoxParamW(m_hInstance, MAKEINTRESOURCEW(IDD_ABOUTBOX), parent, AboutProc, 0);
}
