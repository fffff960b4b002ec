#include "SaltmarkApp.h"

#include <QPixmap>
#include <QScreen>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <cstdio>

#include "AppIcon.h"
#include "FileDialogs.h"
#include "SaltmarkDlg.h"

namespace {

// `saltmark [FILE]` converts FILE at start, as a double-click on a message file does.
// `--screenshot PNG` (for the documentation) saves a picture of the window and quits.
struct CommandLine {
    QString messagePath;
    QString screenshotPath;
};

CommandLine ParseCommandLine(const QStringList& arguments)
{
    CommandLine line;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QStringLiteral("--screenshot") && i + 1 < arguments.size()) {
            line.screenshotPath = arguments[++i];
        } else if (line.messagePath.isEmpty()) {
            line.messagePath = arguments[i];
        }
    }
    return line;
}

void CaptureAndClose(CSaltmarkDlg& dialog, const QString& path)
{
    // From the screen, so that a window manager's frame and title are in the picture.
    const QRect frame = dialog.frameGeometry();
    const QPixmap shot =
        dialog.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    if (shot.isNull() || !shot.save(path)) {
        std::fprintf(stderr, "saltmark: could not save the screenshot %s\n", qPrintable(path));
    }
    dialog.accept();
}

}  // namespace

CSaltmarkApp::CSaltmarkApp(int& argc, char** argv) : m_application(argc, argv) {}

bool CSaltmarkApp::InitInstance()
{
    // The settings scope the program names; it stores nothing there.
    QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    QCoreApplication::setApplicationName(QStringLiteral("Saltmark"));
    QApplication::setWindowIcon(saltmark::SaltmarkIcon());

    const CommandLine line = ParseCommandLine(QCoreApplication::arguments());
    saltmark::CSystemFileDialogs fileDialogs;
    CSaltmarkDlg dialog(fileDialogs);
    if (!line.messagePath.isEmpty()) {
        dialog.OpenMessageFile(line.messagePath);
    }
    if (!line.screenshotPath.isEmpty()) {
        // Long enough for the window to be mapped and painted on a real display.
        QTimer::singleShot(
            std::chrono::milliseconds(2000), &dialog,
            [&dialog, path = line.screenshotPath] { CaptureAndClose(dialog, path); });
    }
    dialog.exec();
    return false;
}
