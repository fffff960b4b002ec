#include "MessageFiles.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <cstring>

using saltmark::kLargestMessageFile;

namespace {

QByteArray Bytes(const std::vector<std::uint8_t>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

void WriteFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
}

QByteArray FileContent(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

}  // namespace

class MessageFilesTest : public QObject {
    Q_OBJECT

private slots:
    void ProposesImageNameInTheMessageFolder_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("proposed");
        QTest::newRow("windows") << R"(C:\data\msg01.sbd)"
                                 << R"(C:\data\msg01.jpg)";
        QTest::newRow("windows dotted folder, no extension") << R"(C:\data.v2\msg01)"
                                                             << R"(C:\data.v2\msg01)";
        QTest::newRow("windows dotted folder") << R"(C:\data.v2\msg01.sbd)"
                                               << R"(C:\data.v2\msg01.jpg)";
        QTest::newRow("windows no extension") << R"(C:\data\msg01)"
                                              << R"(C:\data\msg01)";
        QTest::newRow("posix") << "/home/op/data/msg01.sbd"
                               << "/home/op/data/msg01.jpg";
        QTest::newRow("posix dotted folder, no extension") << "/home/op/data.v2/msg01"
                                                           << "/home/op/data.v2/msg01";
        QTest::newRow("posix no extension") << "/home/op/data/msg01"
                                            << "/home/op/data/msg01";
        QTest::newRow("last dot of several") << "/data/msg.2024.sbd"
                                             << "/data/msg.2024.jpg";
        QTest::newRow("bare name") << "msg01"
                                   << "msg01";
        QTest::newRow("already an image name") << "/data/msg01.jpg"
                                               << "/data/msg01.jpg";
        QTest::newRow("nothing opened yet") << ""
                                            << "";
    }
    void ProposesImageNameInTheMessageFolder()
    {
        QFETCH(QString, message);
        QFETCH(QString, proposed);
        QCOMPARE(saltmark::ProposeImageName(message), proposed);
    }

    // The length a file had when queried against what the source then gives.
    void ReadsExactlyWhatTheSourceGives_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("queriedLength");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("unchanged")
            << QByteArray("\x37\x06\x00", 3) << qint64{3} << QByteArray("\x37\x06\x00", 3);
        QTest::newRow("shrank after the query")
            << QByteArray("abcd") << qint64{10} << QByteArray("abcd");
        QTest::newRow("grew after the query")
            << QByteArray("abcdefgh") << qint64{3} << QByteArray("abc");
        QTest::newRow("empty") << QByteArray() << qint64{0} << QByteArray();
        QTest::newRow("length unknown")
            << QByteArray("abcdef") << qint64{-1} << QByteArray("abcdef");
    }
    void ReadsExactlyWhatTheSourceGives()
    {
        QFETCH(QByteArray, content);
        QFETCH(qint64, queriedLength);
        QFETCH(QByteArray, expected);
        QBuffer source(&content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        const saltmark::MessageFileRead result = saltmark::ReadMessageBytes(source, queriedLength);
        QVERIFY(result.read);
        QCOMPARE(Bytes(result.bytes), expected);
    }

    void RefusesLengthsAboveTheLimit_data()
    {
        QTest::addColumn<qint64>("queriedLength");
        QTest::newRow("one byte over") << kLargestMessageFile + 1;
        // Its low 32 bits alone would read as a 5-byte file.
        QTest::newRow("over 4 GiB") << (qint64{1} << 32) + 5;
    }
    void RefusesLengthsAboveTheLimit()
    {
        QFETCH(qint64, queriedLength);
        QByteArray content("\x37\x06\x00\x04\x00", 5);
        QBuffer source(&content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        const saltmark::MessageFileRead result = saltmark::ReadMessageBytes(source, queriedLength);
        QVERIFY(!result.read);
        QVERIFY(result.reason.contains(QString::number(kLargestMessageFile)));
        QCOMPARE(source.pos(), 0);  // refused before reading anything
    }

    void RefusesAnUnmeasuredSourceThatRunsPastTheLimit()
    {
        QByteArray content(kLargestMessageFile + 1, 'x');
        QBuffer source(&content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        QVERIFY(!saltmark::ReadMessageBytes(source, -1).read);

        content.chop(1);
        QBuffer atLimit(&content);
        QVERIFY(atLimit.open(QIODevice::ReadOnly));
        QCOMPARE(saltmark::ReadMessageBytes(atLimit, -1).bytes.size(),
                 static_cast<std::size_t>(kLargestMessageFile));
    }

    void ReadsAWholeMessageFile()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath("msg.sbd");
        const QByteArray content("\x37\x07\x03\x05\x00\xff\xd8\xff\xe0\x00", 10);
        WriteFile(path, content);
        const saltmark::MessageFileRead result = saltmark::ReadMessageFile(path);
        QVERIFY(result.read);
        QCOMPARE(Bytes(result.bytes), content);

        WriteFile(path, QByteArray());
        const saltmark::MessageFileRead empty = saltmark::ReadMessageFile(path);
        QVERIFY(empty.read);
        QVERIFY(empty.bytes.empty());
    }

    void ReportsAFileThatCannotBeRead()
    {
        QTemporaryDir folder;
        const saltmark::MessageFileRead missing =
            saltmark::ReadMessageFile(folder.filePath("missing.sbd"));
        QVERIFY(!missing.read);
        QCOMPARE(missing.reason, QString::fromLocal8Bit(std::strerror(ENOENT)));

        const saltmark::MessageFileRead folderItself = saltmark::ReadMessageFile(folder.path());
        QVERIFY(!folderItself.read);
        QVERIFY(!folderItself.reason.isEmpty());
    }

    void RefusesAFileLargerThanAnyMessage()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath("huge.sbd");
        for (const qint64 length : {kLargestMessageFile + 1, (qint64{1} << 32) + 5}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(length));  // sparse: nothing is written
            file.close();
            const saltmark::MessageFileRead result = saltmark::ReadMessageFile(path);
            QVERIFY(!result.read);
            QVERIFY(result.bytes.empty());
        }
    }

    void WritesExactlyTheImageBytes()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath("image.jpg");
        WriteFile(path, QByteArray("an older, longer file that must be replaced"));
        const std::vector<std::uint8_t> image{0xFF, 0xD8, 0xFF, 0xE0, 0x00};
        QVERIFY(saltmark::WriteImageFile(path, image).written);
        QCOMPARE(FileContent(path), Bytes(image));

        QVERIFY(saltmark::WriteImageFile(path, {}).written);
        QCOMPARE(FileContent(path), QByteArray());
    }

    void ReportsAnImageThatCannotBeWritten()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath("no-such-folder/image.jpg");
        const saltmark::ImageFileWrite result = saltmark::WriteImageFile(path, {0xFF, 0xD8});
        QVERIFY(!result.written);
        QVERIFY(!result.reason.isEmpty());
        QVERIFY(!QFile::exists(path));
    }
};

QTEST_GUILESS_MAIN(MessageFilesTest)
#include "MessageFiles_test.moc"
