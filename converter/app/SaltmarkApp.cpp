#include "SaltmarkApp.h"

#include <QStringList>

#include "AppIcon.h"
#include "FileDialogs.h"
#include "SaltmarkDlg.h"

CSaltmarkApp::CSaltmarkApp(int& argc, char** argv) : m_application(argc, argv) {}

bool CSaltmarkApp::InitInstance()
{
    // The settings scope the program names; it stores nothing there.
    QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    QCoreApplication::setApplicationName(QStringLiteral("Saltmark"));
    QApplication::setWindowIcon(saltmark::SaltmarkIcon());

    saltmark::CSystemFileDialogs fileDialogs;
    CSaltmarkDlg dialog(fileDialogs);
    // `saltmark FILE` converts FILE at start, as a double-click on a message file does.
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1) {
        dialog.OpenMessageFile(arguments.at(1));
    }
    dialog.exec();
    return false;
}
