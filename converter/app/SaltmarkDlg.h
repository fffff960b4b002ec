#pragma once
// The main window: a report box, "Choose SBD Input File..." and "Save Image...".
// A view of the shared MessagePresenter, which reads, converts and holds the message: the
// window asks for file names and shows what the presenter holds.

#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>
#include <QTabBar>
#include <optional>

#include "ConvertMessage.h"
#include "FileDialogs.h"
#include "MessagePresenter.h"
#include "Y81000Spectrum.h"

#ifdef SALTMARK_SPECTRUM_VIEW
#include "SpectrumView.h"
#endif

class CSaltmarkDlg : public QDialog {
    Q_OBJECT

public:
    // `fileDialogs` answers the Open and Save As questions; it must outlive the dialog.
    explicit CSaltmarkDlg(saltmark::IFileDialogs& fileDialogs);

    // Converts a message file as if it had been chosen, for a path given at start or a
    // file dropped on the window.
    void OpenMessageFile(const QString& path);

    const saltmark::ReportText& Report() const { return m_presenter.Report(); }
    QString InputPath() const;
    // The Y81000 spectrum of the last message converted, when it carried one.
    const std::optional<saltmark::Y81000Spectrum>& Spectrum() const
    {
        return m_presenter.Spectrum();
    }

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
    void UpdateViews();
    void ShowView(int index);
    void ShowReportMenu(const QPoint& position);

    saltmark::IFileDialogs& m_fileDialogs;
    saltmark::MessagePresenter m_presenter;

    QLabel m_messageLabel;
    QPlainTextEdit m_messageText;
    QPushButton m_chooseFile;
    QPushButton m_saveImage;
    QAction m_about;
    QAction m_open;  // Ctrl+O: the keyboard's way to "Choose SBD Input File..."
#ifdef SALTMARK_SPECTRUM_VIEW
    // "Report" and "Spectrum" above the report box; the Spectrum view takes the box's place.
    QTabBar m_views;
    CSpectrumView m_spectrumView;
#endif
};
