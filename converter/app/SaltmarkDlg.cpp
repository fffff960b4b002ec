#include "SaltmarkDlg.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QResizeEvent>
#include <algorithm>
#include <memory>

#include "AboutDlg.h"
#include "AppIcon.h"
#include "DialogUnits.h"

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX  // keep std::max usable
#endif
#include <windows.h>
#endif

using saltmark::DluX;
using saltmark::DluY;

namespace {

#ifdef Q_OS_WIN
constexpr unsigned kIdmAboutBox = 0x0010;  // the system menu's own commands use the high bits
#endif

QStringList OpenFilters() { return {QStringLiteral("All (*.*)"), QStringLiteral("SBD (*.sbd)")}; }
QStringList SaveFilters() { return {QStringLiteral("All (*.*)"), QStringLiteral("JPG (*.jpg)")}; }

// The one local file a drag carries, or nothing.
QString DroppedFile(const QMimeData* mime)
{
    if (mime == nullptr || !mime->hasUrls() || mime->urls().size() != 1) {
        return {};
    }
    const QUrl url = mime->urls().constFirst();
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

}  // namespace

CSaltmarkDlg::CSaltmarkDlg(saltmark::IFileDialogs& fileDialogs)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint),
      m_fileDialogs(fileDialogs),
      m_presenter([](const std::string& reason) {
          return QString::fromLocal8Bit(reason).toStdWString();
      }),
      m_messageLabel(QStringLiteral("Message content:"), this),
      m_messageText(this),
      m_chooseFile(QStringLiteral("Choose SBD Input File..."), this),
      m_saveImage(QStringLiteral("Save Image..."), this),
      m_about(QStringLiteral("&About Saltmark..."), this),
      m_open(QStringLiteral("&Choose SBD Input File..."), this)
#ifdef SALTMARK_SPECTRUM_VIEW
      ,
      m_views(this),
      m_spectrumView(this)
#endif
{
    setObjectName(QStringLiteral("IDD_SALTMARK_DIALOG"));
    setWindowTitle(QStringLiteral("ORCAN Iridium SBD Message Converter"));
    setAcceptDrops(true);

    // Report lines hold tab-aligned columns of numbers: a fixed-pitch font, no wrapping.
    m_messageText.setObjectName(QStringLiteral("IDC_MESSAGE_TEXT"));
    m_messageText.setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_messageText.setLineWrapMode(QPlainTextEdit::NoWrap);
    m_messageText.setTabStopDistance(DluX(32));  // the classic edit box's tab stops
    m_messageText.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_messageText.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_messageText.setTabChangesFocus(true);
    m_messageText.setAcceptDrops(false);  // a dropped file is for the window, not the text
    m_messageText.setContextMenuPolicy(Qt::CustomContextMenu);
    connect(&m_messageText, &QWidget::customContextMenuRequested, this,
            &CSaltmarkDlg::ShowReportMenu);

    m_chooseFile.setObjectName(QStringLiteral("IDC_CHOOSE_FILE"));
    m_chooseFile.setDefault(true);
    connect(&m_chooseFile, &QPushButton::clicked, this, &CSaltmarkDlg::OnChooseInputFile);
    m_open.setShortcut(QKeySequence::Open);
    m_open.setShortcutContext(Qt::WindowShortcut);
    connect(&m_open, &QAction::triggered, this, &CSaltmarkDlg::OnChooseInputFile);
    addAction(&m_open);

    m_saveImage.setObjectName(QStringLiteral("IDC_SAVE_IMAGE"));
    connect(&m_saveImage, &QPushButton::clicked, this, &CSaltmarkDlg::OnSaveImage);

#ifdef SALTMARK_SPECTRUM_VIEW
    m_views.setObjectName(QStringLiteral("IDC_VIEWS"));
    m_views.addTab(QStringLiteral("&Report"));
    m_views.addTab(QStringLiteral("&Spectrum"));
    m_views.setDrawBase(false);
    connect(&m_views, &QTabBar::currentChanged, this, &CSaltmarkDlg::ShowView);
    m_spectrumView.hide();
#endif

    setMinimumSize(DluX(200), DluY(100));
    resize(DluX(540), DluY(327));
    OnInitDialog();
}

void CSaltmarkDlg::OnInitDialog()
{
#ifdef Q_OS_WIN
    if (HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE)) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, kIdmAboutBox, L"&About Saltmark...");
    }
#endif
    // Not every desktop gives a window a system menu: the window's context menu and F1
    // reach the About box everywhere.
    m_about.setShortcut(QKeySequence(Qt::Key_F1));
    connect(&m_about, &QAction::triggered, this, &CSaltmarkDlg::OnAbout);
    addAction(&m_about);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    setWindowIcon(saltmark::SaltmarkIcon());
    UpdateSaveImage();
    UpdateViews();
}

void CSaltmarkDlg::DoDataExchange()
{
    m_messageText.setPlainText(QString::fromStdWString(m_presenter.Report()));
}

QString CSaltmarkDlg::InputPath() const
{
    return QDir::fromNativeSeparators(QString::fromStdWString(m_presenter.InputPath()));
}

void CSaltmarkDlg::UpdateSaveImage() { m_saveImage.setEnabled(m_presenter.HasImage()); }

void CSaltmarkDlg::UpdateViews()
{
#ifdef SALTMARK_SPECTRUM_VIEW
    constexpr int kSpectrumTab = 1;
    const std::optional<saltmark::Y81000Spectrum>& spectrum = m_presenter.Spectrum();
    m_spectrumView.SetSpectrum(spectrum.value_or(saltmark::Y81000Spectrum{}));
    m_views.setTabEnabled(kSpectrumTab, spectrum.has_value());
    if (!spectrum) {
        m_views.setCurrentIndex(0);
    }
#endif
}

void CSaltmarkDlg::ShowView(int index)
{
#ifdef SALTMARK_SPECTRUM_VIEW
    m_messageText.setVisible(index == 0);
    m_spectrumView.setVisible(index == 1);
#else
    (void)index;
#endif
}

void CSaltmarkDlg::OnChooseInputFile()
{
    m_presenter.BlankReport();
    DoDataExchange();  // blank while the user chooses
    if (const auto path = m_fileDialogs.ChooseOpenName(this, OpenFilters())) {
        ConvertFile(*path);
    }
    DoDataExchange();
}

void CSaltmarkDlg::OpenMessageFile(const QString& path)
{
    ConvertFile(path);
    DoDataExchange();
}

void CSaltmarkDlg::ConvertFile(const QString& chosen)
{
    // A name given at start may be relative to the folder the program started in; the
    // image name proposed from it should not be.
    const QString path = QFileInfo(chosen).absoluteFilePath();
    m_presenter.Open(path.toStdU16String(), QDir::toNativeSeparators(path).toStdWString());
    UpdateSaveImage();
    UpdateViews();
}

void CSaltmarkDlg::OnSaveImage()
{
    const QString proposed = QDir::fromNativeSeparators(
        QString::fromStdWString(m_presenter.ProposedImageName()));
    const auto path =
        m_fileDialogs.ChooseSaveName(this, proposed, SaveFilters(), QStringLiteral("jpg"));
    if (!path) {
        return;
    }
    std::string reason;
    if (!m_presenter.SaveImage(path->toStdU16String(), reason)) {
        QMessageBox::warning(
            this, windowTitle(),
            QStringLiteral("The image could not be saved to %1:\n%2")
                .arg(QDir::toNativeSeparators(*path), QString::fromLocal8Bit(reason)));
    }
}

void CSaltmarkDlg::OnAbout()
{
    CAboutDlg about(this);
    about.exec();
}

void CSaltmarkDlg::ShowReportMenu(const QPoint& position)
{
    const std::unique_ptr<QMenu> menu(m_messageText.createStandardContextMenu());
    menu->addSeparator();
    menu->addAction(&m_about);
    menu->exec(m_messageText.mapToGlobal(position));
}

void CSaltmarkDlg::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    // At the starting size every control stands where the classic layout puts it; the
    // report box takes whatever the user adds. A font wider than the classic one widens
    // a control rather than cutting its text.
    const int labelWidth = std::max(DluX(58), m_messageLabel.sizeHint().width());
    const int labelHeight = std::max(DluY(8), m_messageLabel.sizeHint().height());
    m_messageLabel.setGeometry(DluX(15), DluY(15), labelWidth, labelHeight);

    const int buttonsTop = height() - DluY(327 - 306);
    const int buttonHeight = std::max(DluY(14), m_chooseFile.sizeHint().height());
    const int chooseWidth = std::max(DluX(93), m_chooseFile.sizeHint().width());
    const int saveWidth = std::max(DluX(93), m_saveImage.sizeHint().width());
    const int gap = DluX(5);
    const int pairLeft = (width() - (chooseWidth + gap + saveWidth)) / 2;
    m_chooseFile.setGeometry(pairLeft, buttonsTop, chooseWidth, buttonHeight);
    m_saveImage.setGeometry(pairLeft + chooseWidth + gap, buttonsTop, saveWidth, buttonHeight);

    const int textTop = DluY(28);
    m_messageText.setGeometry(DluX(14), textTop, width() - DluX(14 + 15),
                              buttonsTop - DluY(306 - 296) - textTop);
#ifdef SALTMARK_SPECTRUM_VIEW
    // The view tabs stand on the box's right end, on the label's line.
    m_spectrumView.setGeometry(m_messageText.geometry());
    const QSize tabs = m_views.sizeHint();
    m_views.setGeometry(m_messageText.geometry().right() + 1 - tabs.width(),
                        textTop - tabs.height(), tabs.width(), tabs.height());
#endif
}

void CSaltmarkDlg::dragEnterEvent(QDragEnterEvent* event)
{
    if (!DroppedFile(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void CSaltmarkDlg::dropEvent(QDropEvent* event)
{
    const QString path = DroppedFile(event->mimeData());
    if (!path.isEmpty()) {
        event->acceptProposedAction();
        OpenMessageFile(path);
    }
}

#ifdef Q_OS_WIN
bool CSaltmarkDlg::nativeEvent(const QByteArray& eventType, void* message, qintptr* result)
{
    const auto* msg = static_cast<const MSG*>(message);
    if (eventType == "windows_generic_MSG" && msg->message == WM_SYSCOMMAND &&
        (msg->wParam & 0xFFF0) == kIdmAboutBox) {
        OnAbout();
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}
#endif
