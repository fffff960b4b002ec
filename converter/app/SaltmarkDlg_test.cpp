#include "SaltmarkDlg.h"

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFontMetrics>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <bit>
#include <clocale>
#include <cstring>
#include <functional>

#ifdef SALTMARK_SPECTRUM_VIEW
#include <QAreaSeries>
#include <QChartView>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QTabBar>
#endif

namespace {

// Messages composed field by field: packet type 55, then records with their 4-byte header.
QByteArray RecordHeader(std::uint8_t type, std::uint8_t port, std::uint16_t size)
{
    const char header[] = {static_cast<char>(type), static_cast<char>(port),
                           static_cast<char>(size & 0xFF), static_cast<char>(size >> 8)};
    return QByteArray(header, 4);
}

QByteArray CameraRecord(std::uint8_t port, const QByteArray& image)
{
    return RecordHeader(7, port, static_cast<std::uint16_t>(image.size())) + image;
}

QByteArray BatteryRecord(float volts)
{
    const auto bits = std::bit_cast<std::uint32_t>(volts);
    QByteArray record = RecordHeader(6, 0, 4);
    for (int shift = 0; shift < 32; shift += 8) {
        record.append(static_cast<char>((bits >> shift) & 0xFF));
    }
    return record;
}

#ifdef SALTMARK_SPECTRUM_VIEW
void AppendFloat(QByteArray& record, float value)
{
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) {
        record.append(static_cast<char>((bits >> shift) & 0xFF));
    }
}

// A turbulence record: eight scalars, then 116 band frequencies and their Tke values.
QByteArray Y81000Record(std::uint8_t port, const std::function<float(int)>& tke)
{
    QByteArray record = RecordHeader(11, port, 960);
    for (int i = 0; i < 8; ++i) {
        AppendFloat(record, 1.0f);
    }
    for (int i = 0; i < 116; ++i) {
        AppendFloat(record, 0.0253906f + 0.0429688f * static_cast<float>(i));
    }
    for (int i = 0; i < 116; ++i) {
        AppendFloat(record, tke(i));
    }
    return record;
}
#endif

QByteArray Message(const QByteArray& records) { return QByteArray(1, '\x37') + records; }

const QByteArray kImage("\xFF\xD8\xFF\xE0\x00", 5);

QString ReportStart(int n)
{
    return QStringLiteral(
               "Converting %1 bytes\r\n\r\nPacket Type:\r\n"
               "\tType = v4.0+ (enhanced Signature)\r\n\r\n")
        .arg(n);
}

QString CameraBlock(int port, int size)
{
    return QStringLiteral("Camera on COM%1:\r\n\tImage size = %2\r\n\r\n").arg(port).arg(size);
}

QString BatteryBlock(const QString& volts)
{
    return QStringLiteral("Miscellaneous values:\r\n\tSize = 4\r\n\tBattery voltage = %1\r\n\r\n")
        .arg(volts);
}

// The box shows the report's lines; its CR LF endings become plain line breaks.
QString Shown(QString report)
{
    return report.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

class CScriptedFileDialogs final : public saltmark::IFileDialogs {
public:
    std::optional<QString> openAnswer;
    std::optional<QString> saveAnswer;
    std::function<void()> whileOpenIsUp;
    QStringList openFilters;
    QStringList saveFilters;
    QString proposedName;
    QString defaultSuffix;

    std::optional<QString> ChooseOpenName(QWidget*, const QStringList& filters) override
    {
        openFilters = filters;
        if (whileOpenIsUp) {
            whileOpenIsUp();
        }
        return openAnswer;
    }
    std::optional<QString> ChooseSaveName(QWidget*, const QString& proposed,
                                          const QStringList& filters,
                                          const QString& suffix) override
    {
        proposedName = proposed;
        saveFilters = filters;
        defaultSuffix = suffix;
        return saveAnswer;
    }
};

// The dialog as a user sees it: the box and the two buttons.
struct Window {
    CScriptedFileDialogs files;
    CSaltmarkDlg dialog{files};
    QPlainTextEdit& text = *dialog.findChild<QPlainTextEdit*>(QStringLiteral("IDC_MESSAGE_TEXT"));
    QPushButton& choose = *dialog.findChild<QPushButton*>(QStringLiteral("IDC_CHOOSE_FILE"));
    QPushButton& save = *dialog.findChild<QPushButton*>(QStringLiteral("IDC_SAVE_IMAGE"));

    void Open(const std::optional<QString>& path)
    {
        files.openAnswer = path;
        QTest::mouseClick(&choose, Qt::LeftButton);
    }
    void Save(const std::optional<QString>& path)
    {
        files.saveAnswer = path;
        QTest::mouseClick(&save, Qt::LeftButton);
    }
};

// While it lives: runs `inspect` on the next window `find` gives once it is up (a modal
// dialog or a popup menu), then closes it.
class CNextWindow {
public:
    CNextWindow(QWidget* (*find)(), std::function<void(QWidget&)> inspect)
    {
        QObject::connect(&m_poll, &QTimer::timeout, [this, find, inspect] {
            if (QWidget* window = find()) {
                m_poll.stop();
                inspect(*window);
                window->close();
            }
        });
        m_poll.start(10);
    }

private:
    QTimer m_poll;
};

// Closes a modal window that stays up for seconds, which no test means to leave open, so
// that a test that meets an unexpected message box fails instead of waiting for a person.
class CModalWatchdog {
public:
    CModalWatchdog()
    {
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal != m_seen) {
                m_seen = modal;
                m_since.start();
            } else if (modal != nullptr && m_since.hasExpired(2000)) {
                leftOpen << modal->windowTitle();
                modal->close();
            }
        });
        m_poll.start(100);
    }

    QStringList leftOpen;

private:
    QTimer m_poll;
    QPointer<QWidget> m_seen;
    QElapsedTimer m_since;
};

// Makes the C library's numbers use a decimal comma, as a German desktop does; returns
// why not when it cannot.
QString UseDecimalCommaLocale(const QTemporaryDir& scratch)
{
    const auto commaActive = [](const char* name) {
        return std::setlocale(LC_ALL, name) != nullptr &&
               std::strcmp(std::localeconv()->decimal_point, ",") == 0;
    };
    QProcess list;
    list.start(QStringLiteral("locale"), {QStringLiteral("-a")});
    if (list.waitForFinished()) {
        for (const QByteArray& name : list.readAllStandardOutput().split('\n')) {
            if (!name.isEmpty() && commaActive(name.constData())) {
                return {};
            }
        }
    }
    // None installed: generate one from the locale sources, if they are there.
    const QString target = scratch.filePath(QStringLiteral("de_DE.UTF-8"));
    if (!QFile::exists(QStringLiteral("/usr/share/i18n/locales/de_DE")) ||
        QProcess::execute(QStringLiteral("localedef"), {"-i", "de_DE", "-f", "UTF-8", target}) !=
            0) {
        return QStringLiteral("no decimal-comma locale is installed, and none can be generated");
    }
    qputenv("LOCPATH", scratch.path().toLocal8Bit());
    return commaActive("de_DE.UTF-8") ? QString()
                                      : QStringLiteral("the generated de_DE.UTF-8 has no comma");
}

// The filter texts a file dialog shows, the selected one marked.
QStringList ShownFilters(const QFileDialog& dialog)
{
    const auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    QStringList shown;
    for (int i = 0; i < types->count(); ++i) {
        shown << (i == types->currentIndex() ? QStringLiteral("> ") : QString()) +
                     types->itemText(i);
    }
    return shown;
}

}  // namespace

class SaltmarkDlgTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_folder;
    std::optional<CModalWatchdog> m_watchdog;

    QString MessageFile(const QString& name, const QByteArray& content)
    {
        const QString path = m_folder.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
            qFatal("cannot write the test message %s", qPrintable(path));
        }
        return path;
    }

private slots:
    void init() { m_watchdog.emplace(); }
    void cleanup()
    {
        const QStringList leftOpen = m_watchdog->leftOpen;
        m_watchdog.reset();
        QVERIFY2(leftOpen.isEmpty(), qPrintable("left open: " + leftOpen.join(", ")));
    }

    // The window's texts, its report box, and its size: 540 x 327 dialog units, about
    // 810 x 530 pixels; the report box takes what the user adds.
    void LaysOutTheWindow()
    {
        Window window;
        QCOMPARE(window.dialog.windowTitle(),
                 QStringLiteral("ORCAN Iridium SBD Message Converter"));
        QCOMPARE(window.dialog.findChild<QLabel*>()->text(), QStringLiteral("Message content:"));
        QCOMPARE(window.choose.text(), QStringLiteral("Choose SBD Input File..."));
        QCOMPARE(window.save.text(), QStringLiteral("Save Image..."));
        const QFontMetrics letters(window.text.font());  // columns of numbers line up
        QCOMPARE(letters.horizontalAdvance(u'i'), letters.horizontalAdvance(u'W'));
        QCOMPARE(window.text.lineWrapMode(), QPlainTextEdit::NoWrap);
        QCOMPARE(window.text.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QVERIFY(!window.text.isReadOnly());
        window.dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window.dialog));
        QVERIFY(qAbs(window.dialog.width() - 810) <= 2 && qAbs(window.dialog.height() - 530) <= 2);
        const QSize report = window.text.size();
        window.dialog.resize(window.dialog.size() + QSize(100, 60));
        QCOMPARE(window.text.size(), report + QSize(100, 60));
    }

    // Each successful open replaces the report and decides the image state afresh.
    void ShowsTheReportAndFollowsTheImageState_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("report");
        QTest::addColumn<bool>("imageHeld");
        QTest::addColumn<QByteArray>("image");  // what "Save Image..." writes
        const QByteArray camera = Message(CameraRecord(3, kImage));
        QTest::newRow("camera") << camera << ReportStart(10) + CameraBlock(3, 5) << true << kImage;
        const QByteArray battery = Message(BatteryRecord(8.5f));
        QTest::newRow("no camera")
            << battery << ReportStart(9) + BatteryBlock("8.5") << false << QByteArray();
        const QByteArray emptyImage = Message(CameraRecord(2, {}));
        QTest::newRow("empty image")
            << emptyImage << ReportStart(5) + CameraBlock(2, 0) << true << QByteArray();
        QTest::newRow("zero-length file") << QByteArray()
                                          << QStringLiteral(
                                                 "Converting 0 bytes\r\n\r\nPacket Type:\r\n"
                                                 "\tNot enough data to contain packet type\r\n\r\n"
                                                 "Stopping decode due to error\r\n\r\n")
                                          << false << QByteArray();
    }
    void ShowsTheReportAndFollowsTheImageState()
    {
        QFETCH(QByteArray, message);
        QFETCH(QString, report);
        QFETCH(bool, imageHeld);
        QFETCH(QByteArray, image);
        const QString path = MessageFile(QStringLiteral("msg.sbd"), message);
        for (const bool heldBefore : {false, true}) {
            Window window;
            QVERIFY(window.text.toPlainText().isEmpty());
            QVERIFY(!window.save.isEnabled());
            QVERIFY(window.choose.isDefault());
            if (heldBefore) {
                window.Open(
                    MessageFile(QStringLiteral("before.sbd"), Message(CameraRecord(1, kImage))));
                QVERIFY(window.save.isEnabled());
            }
            window.Open(path);
            QCOMPARE(window.dialog.Report(), report.toStdWString());
            QCOMPARE(window.text.toPlainText(), Shown(report));
            QCOMPARE(window.save.isEnabled(), imageHeld);
            QCOMPARE(window.dialog.InputPath(), path);
            QCOMPARE(window.files.openFilters,
                     QStringList({QStringLiteral("All (*.*)"), QStringLiteral("SBD (*.sbd)")}));
            if (imageHeld) {
                const QString target = m_folder.filePath(QStringLiteral("saved.jpg"));
                QFile::remove(target);
                window.Save(target);
                QFile saved(target);
                QVERIFY(saved.open(QIODevice::ReadOnly));
                QCOMPARE(saved.readAll(), image);
            }
        }
    }

    void CancelKeepsTheEarlierImageAndItsName()
    {
        Window window;
        const QString path = MessageFile(QStringLiteral("msg01.sbd"),
                                         Message(CameraRecord(3, kImage) + BatteryRecord(1)));
        window.Open(path);
        QString shownWhileChoosing = QStringLiteral("<not asked>");
        window.files.whileOpenIsUp = [&] { shownWhileChoosing = window.text.toPlainText(); };
        window.Open(std::nullopt);
        QCOMPARE(shownWhileChoosing, QString());
        QVERIFY(window.text.toPlainText().isEmpty());
        QVERIFY(window.save.isEnabled());

        const QString target = m_folder.filePath(QStringLiteral("chosen.jpg"));
        for (int time = 0; time < 2; ++time) {  // saving twice proposes the same name
            window.Save(target);
            QCOMPARE(window.files.proposedName, m_folder.filePath(QStringLiteral("msg01.jpg")));
        }
        QCOMPARE(window.files.saveFilters,
                 QStringList({QStringLiteral("All (*.*)"), QStringLiteral("JPG (*.jpg)")}));
        QCOMPARE(window.files.defaultSuffix, QStringLiteral("jpg"));
        QFile saved(target);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), kImage);
        QCOMPARE(window.dialog.InputPath(), path);
    }

    // An unreadable or oversized file is named in the box with the reason; the image, its
    // button and the name the next save proposes stay those of the last conversion.
    void ReportsAFileThatCannotBeRead_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("length");  // -1: no such file
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << "missing.sbd" << qint64{-1}
                                 << QString::fromLocal8Bit(std::strerror(ENOENT));
        QTest::newRow("too large") << "huge.sbd" << qint64{(1 << 20) + 1} << "1048576 bytes";
    }
    void ReportsAFileThatCannotBeRead()
    {
        QFETCH(QString, name);
        QFETCH(qint64, length);
        QFETCH(QString, reason);
        const QString path = m_folder.filePath(name);
        if (length >= 0) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(length));
        }
        Window window;
        const QString earlier =
            MessageFile(QStringLiteral("earlier.sbd"), Message(CameraRecord(3, kImage)));
        window.Open(earlier);
        window.Open(path);

        const QString shown = window.text.toPlainText();
        QVERIFY2(shown.startsWith(
                     QStringLiteral("Could not read %1: ").arg(QDir::toNativeSeparators(path))),
                 qPrintable(shown));
        QVERIFY2(shown.contains(reason), qPrintable(shown));
        QCOMPARE(shown.count(u'\n'), 1);
        QVERIFY(window.save.isEnabled());
        QCOMPARE(window.dialog.InputPath(), earlier);
    }

    void ReportsASaveThatFails()
    {
        Window window;
        window.Open(MessageFile(QStringLiteral("d.sbd"), Message(CameraRecord(3, kImage))));
        const QString target = m_folder.filePath(QStringLiteral("no-such-folder/d.jpg"));
        QString title;
        QString text;
        const CNextWindow messageBox(QApplication::activeModalWidget, [&](QWidget& modal) {
            title = modal.windowTitle();
            if (auto* box = qobject_cast<QMessageBox*>(&modal)) {
                text = box->text();
            }
        });
        window.Save(target);
        QCOMPARE(title, QStringLiteral("ORCAN Iridium SBD Message Converter"));
        QVERIFY2(text.contains(QDir::toNativeSeparators(target)), qPrintable(text));
        QVERIFY2(text.contains(QString::fromLocal8Bit(std::strerror(ENOENT))), qPrintable(text));
        QVERIFY(!QFile::exists(target));
    }

    // The dialogs a user meets: every file listed under "All (*.*)", also a message saved
    // without an extension, and the saved name ends in ".jpg" whichever filter was chosen.
    void SystemDialogsOfferTheFilters()
    {
#ifdef Q_OS_WIN
        QSKIP("Windows shows its own dialogs, where \"*.*\" lists every file");
#endif
        QTemporaryDir folder;
        QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("data.v2")));
        for (const char* name : {"msg01", "msg02.sbd"}) {
            QFile file(folder.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QFileDialog open;
        open.setOption(QFileDialog::DontUseNativeDialog);
        saltmark::SetUpOpenDialog(open, {"All (*.*)", "SBD (*.sbd)"});
        QCOMPARE(ShownFilters(open), QStringList({"> All (*.*)", "SBD (*.sbd)"}));
        QCOMPARE(open.fileMode(), QFileDialog::ExistingFile);
        open.setDirectory(folder.path());
        const auto listed = [&open, &folder] {
            const auto* files = open.findChild<QFileSystemModel*>();
            const QModelIndex root = files->index(folder.path());
            QStringList names;
            for (int row = 0; row < files->rowCount(root); ++row) {
                names << files->index(row, 0, root).data().toString();
            }
            names.sort();
            return names;
        };
        QTRY_COMPARE(listed(), QStringList({"data.v2", "msg01", "msg02.sbd"}));
        open.selectNameFilter(open.nameFilters().at(1));
        QTRY_COMPARE(listed(), QStringList({"data.v2", "msg02.sbd"}));

        // The proposed name, and the file saved when the user accepts it.
        const std::pair<const char*, const char*> names[] = {
            {"msg01.jpg", "msg01.jpg"}, {"data.v2/msg01", "data.v2/msg01.jpg"}};
        for (const auto& [proposed, saved] : names) {
            QFileDialog save;
            save.setOption(QFileDialog::DontUseNativeDialog);
            saltmark::SetUpSaveDialog(save, folder.filePath(proposed), {"All (*.*)", "JPG (*.jpg)"},
                                      "jpg");
            QCOMPARE(ShownFilters(save), QStringList({"> All (*.*)", "JPG (*.jpg)"}));
            QVERIFY(!save.testOption(QFileDialog::DontConfirmOverwrite));
            for (const int filter : {0, 1, 0}) {
                save.selectNameFilter(save.nameFilters().at(filter));
                QCOMPARE(save.selectedFiles(), QStringList(folder.filePath(saved)));
            }
        }
    }

    void ReportsNumbersWithADecimalPointUnderAGermanLocale()
    {
        QTemporaryDir scratch;
        const QString unavailable = UseDecimalCommaLocale(scratch);
        if (!unavailable.isEmpty()) {
            QSKIP(qPrintable(unavailable));
        }
        Window window;
        window.Open(MessageFile(QStringLiteral("de.sbd"), Message(BatteryRecord(8.5f))));
        std::setlocale(LC_ALL, "C");
        qunsetenv("LOCPATH");
        QCOMPARE(window.text.toPlainText(), Shown(ReportStart(9) + BatteryBlock("8.5")));
    }

    // `saltmark msg01.sbd` started in the message's folder, or the file dropped on the
    // window, converts it; the image is proposed next to it.
    void ConvertsAFileGivenFromOutside_data()
    {
        QTest::addColumn<bool>("dropped");
        QTest::newRow("given at start by its name") << false;
        QTest::newRow("dropped") << true;
    }
    void ConvertsAFileGivenFromOutside()
    {
        QFETCH(bool, dropped);
        const QString path =
            MessageFile(QStringLiteral("msg01.sbd"), Message(CameraRecord(5, kImage)));
        Window window;
        if (dropped) {
            QMimeData mime;
            mime.setUrls({QUrl::fromLocalFile(path)});
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton,
                                  Qt::NoModifier);
            QCoreApplication::sendEvent(&window.dialog, &enter);
            QVERIFY(enter.isAccepted());
            QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(&window.dialog, &drop);
        } else {
            const QString started = QDir::currentPath();
            QDir::setCurrent(m_folder.path());
            window.dialog.OpenMessageFile(QStringLiteral("msg01.sbd"));
            QDir::setCurrent(started);
        }
        QCOMPARE(window.text.toPlainText(), Shown(ReportStart(10) + CameraBlock(5, 5)));
        QVERIFY(window.save.isEnabled());
        QCOMPARE(window.dialog.InputPath(), path);
        window.Save(std::nullopt);
        QCOMPARE(window.files.proposedName, m_folder.filePath(QStringLiteral("msg01.jpg")));
    }

    // F1, and the context menu's last item after a separator, as the system menu has it.
    void ShowsTheAboutBox_data()
    {
        QTest::addColumn<bool>("fromMenu");
        QTest::newRow("F1") << false;
        QTest::newRow("context menu") << true;
    }
    void ShowsTheAboutBox()
    {
        QFETCH(bool, fromMenu);
        Window window;
        window.dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&window.dialog));
        QStringList menuEnd;
        const CNextWindow menu(QApplication::activePopupWidget, [&](QWidget& popup) {
            for (const QAction* item : popup.actions().mid(popup.actions().size() - 2)) {
                menuEnd << (item->isSeparator() ? QStringLiteral("----") : item->text());
            }
            QTest::keyClick(&popup, Qt::Key_Up);  // the last item
            QTest::keyClick(&popup, Qt::Key_Return);
        });
        QString title;
        bool iconShown = false;
        QString nameShown;
        const CNextWindow about(QApplication::activeModalWidget, [&](QWidget& modal) {
            title = modal.windowTitle();
            const auto* icon = modal.findChild<QLabel*>();
            iconShown = icon != nullptr && !icon->pixmap().isNull();
            const auto* name = modal.findChild<QLabel*>(QStringLiteral("IDC_NAME_VERSION"));
            nameShown = name != nullptr ? name->text() : QString();
            if (auto* ok = modal.findChild<QPushButton*>(QStringLiteral("IDOK"))) {
                QTest::mouseClick(ok, Qt::LeftButton);
            }
        });
        if (fromMenu) {
            QContextMenuEvent request(QContextMenuEvent::Keyboard, QPoint(5, 5),
                                      window.text.mapToGlobal(QPoint(5, 5)));
            QCoreApplication::sendEvent(&window.text, &request);
            QCOMPARE(menuEnd, QStringList({"----", "&About Saltmark..."}));
        } else {
            QTest::keyClick(&window.dialog, Qt::Key_F1);
        }
        QCOMPARE(title, QStringLiteral("About Saltmark"));
        QVERIFY(iconShown);
        QCOMPARE(nameShown, QStringLiteral("Saltmark, version " ORCAN_VERSION));
        QVERIFY(QApplication::activeModalWidget() == nullptr);
    }

    // Ctrl+O chooses a file as the button does.
    void ControlOChoosesAFile()
    {
        Window window;
        window.dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&window.dialog));
        window.files.openAnswer = MessageFile(QStringLiteral("battery.sbd"),
                                              Message(BatteryRecord(12.5f)));
        QTest::keyClick(&window.dialog, Qt::Key_O, Qt::ControlModifier);
        QVERIFY(window.text.toPlainText().contains(QStringLiteral("Battery voltage = 12.5")));
    }

#ifdef SALTMARK_SPECTRUM_VIEW
    // The Spectrum view follows the last message: enabled with a Y81000 record (the last of
    // several), its bands on the chart except the library's 9999 marker; back to the report
    // and disabled after a message without one.
    void ShowsTheY81000SpectrumInItsView()
    {
        Window window;
        auto& views = *window.dialog.findChild<QTabBar*>(QStringLiteral("IDC_VIEWS"));
        auto& chart = *window.dialog.findChild<QChartView*>(QStringLiteral("SpectrumView"));
        QVERIFY(!views.isTabEnabled(1));

        const auto law = [](int i) { return i == 7 ? 9999.0f : 0.5f / (1.0f + i); };
        window.Open(MessageFile(QStringLiteral("turbulence.sbd"),
                                Message(Y81000Record(4, [](int) { return 1.0f; }) +
                                        Y81000Record(5, law) + BatteryRecord(12.5f))));
        QVERIFY(views.isTabEnabled(1));
        QCOMPARE(window.dialog.Spectrum()->port, 5);
        QCOMPARE(window.dialog.Spectrum()->tke[3], static_cast<double>(law(3)));
        views.setCurrentIndex(1);
        QVERIFY(chart.isVisibleTo(&window.dialog) && !window.text.isVisibleTo(&window.dialog));
        // The shaded fit band, the spectrum, the -5/3 line; the estimates above; room around.
        const QList<QAbstractSeries*> series = chart.chart()->series();
        QCOMPARE(series.size(), 3);
        const auto* band = qobject_cast<QAreaSeries*>(series[0]);
        QVERIFY(band != nullptr);
        QCOMPARE(band->upperSeries()->points().front().x(), 2.0);
        QCOMPARE(band->upperSeries()->points().back().x(), 4.9);
        QCOMPARE(band->name(), QStringLiteral("fit band (2.0 to 4.9 Hz)"));
        const auto* tke = qobject_cast<QLineSeries*>(series[1]);
        QCOMPARE(tke->count(), 115);
        // The line is the message core's, over the fit band only.
        const auto* line = qobject_cast<QLineSeries*>(series[2]);
        const saltmark::InertialLine& expected = *window.dialog.Spectrum()->line;
        QCOMPARE(static_cast<std::size_t>(line->count()), expected.freq.size());
        QCOMPARE(line->points().front().y(), expected.tke.front());
        const QString title = chart.chart()->title();
        QVERIFY2(title.contains(QStringLiteral("\u03B5 = 1 m")) &&
                     title.contains(QStringLiteral("u* = 1 m/s")),
                 qPrintable(title));
        const auto* x = qobject_cast<QLogValueAxis*>(chart.chart()->axes(Qt::Horizontal).front());
        const auto* y = qobject_cast<QLogValueAxis*>(chart.chart()->axes(Qt::Vertical).front());
        QVERIFY(x->min() < tke->points().front().x() && x->max() > tke->points().back().x());
        QVERIFY(y->min() < law(114) && y->max() > law(0));

        window.Open(MessageFile(QStringLiteral("battery.sbd"), Message(BatteryRecord(12.5f))));
        QVERIFY(!views.isTabEnabled(1) && views.currentIndex() == 0);
        QVERIFY(window.text.isVisibleTo(&window.dialog) && !chart.isVisibleTo(&window.dialog));
        QVERIFY(!window.dialog.Spectrum().has_value());

        // A record cut short by the end of the message shows no spectrum.
        window.Open(
            MessageFile(QStringLiteral("cut.sbd"), Message(Y81000Record(5, law).left(900))));
        QVERIFY(!views.isTabEnabled(1));
    }
#endif
};

QTEST_MAIN(SaltmarkDlgTest)
#include "SaltmarkDlg_test.moc"
