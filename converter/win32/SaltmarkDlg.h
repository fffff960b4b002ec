#pragma once
// The main window of Saltmark on Windows: dialog 102 of the resources, a report box,
// "Choose SBD Input File..." and "Save Image...". A view of the shared MessagePresenter,
// which reads, converts and holds the message.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <string>

#include "MessagePresenter.h"

class CSaltmarkDlg {
public:
    // `startFile`, when not empty, is converted as the window opens (a file association
    // starts the program with the message's path).
    CSaltmarkDlg(HINSTANCE instance, std::wstring startFile);

    // Runs the dialog until it is closed; returns the id that ended it.
    INT_PTR DoModal();

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

    BOOL OnInitDialog();
    bool OnSysCommand(WPARAM command);
    bool OnPaint();
    void OnChooseInputFile();
    void OnSaveImage();
    void OnDropFiles(HDROP drop);
    // Moves the report to the box. The box is editable, but its text is never read back.
    void DoDataExchange();
    void ConvertFile(const std::wstring& chosen);
    void UpdateSaveImage();

    HINSTANCE m_hInstance;
    HWND m_hWnd = nullptr;
    HICON m_hIcon;
    saltmark::MessagePresenter m_presenter;
    std::wstring m_strStartFile;
};

// The About box, dialog 100: the icon and OK.
class CAboutDlg {
public:
    explicit CAboutDlg(HINSTANCE instance) : m_hInstance(instance) {}
    INT_PTR DoModal(HWND parent);

private:
    HINSTANCE m_hInstance;
};
