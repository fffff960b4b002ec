#pragma once

#include <QApplication>

// The application: runs the main dialog, and ends when the dialog closes.
class CSaltmarkApp {
public:
    CSaltmarkApp(int& argc, char** argv);

    // Runs the main dialog to its end. Returns false: there is nothing left to run.
    bool InitInstance();

private:
    QApplication m_application;
};
