#pragma once
// The main window: a report box, "Choose SBD Input File..." and "Save Image...".
// It stays thin: it reads the chosen file, hands the bytes to the decoder, shows the
// report, holds the captured image and writes it when asked.

#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>

#include "ConvertMessage.h"
#include "FileDialogs.h"

class CSaltmarkDlg : public QDialog {
    Q_OBJECT

public:
    // `fileDialogs` answers the Open and Save As questions; it must outlive the dialog.
    explicit CSaltmarkDlg(saltmark::IFileDialogs& fileDialogs);

    // Converts a message file as if it had been chosen, for a path given at start or a
    // file dropped on the window.
    void OpenMessageFile(const QString& path);

    const saltmark::ReportText& Report() const { return m_strReport; }
    const QString& InputPath() const { return m_strInputPath; }

public slots:
    void OnChooseInputFile();
    void OnSaveImage();
    void OnAbout();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
#ifdef Q_OS_WIN
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

private:
    void OnInitDialog();
    // Moves the report to the box. The box is editable, but its text is never read back.
    void DoDataExchange();
    void ConvertFile(const QString& chosen);
    void UpdateSaveImage();
    void ShowReportMenu(const QPoint& position);

    saltmark::IFileDialogs& m_fileDialogs;
    saltmark::ReportText m_strReport;
    saltmark::CapturedImage m_image;  // the last conversion's camera image, if any
    QString m_strInputPath;           // full path of the last message file converted

    QLabel m_messageLabel;
    QPlainTextEdit m_messageText;
    QPushButton m_chooseFile;
    QPushButton m_saveImage;
    QAction m_about;
};
