#include "MessageFiles.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class MessageFilesTest : public QObject {
    Q_OBJECT

private slots:
    void ProposesImageNameInTheMessageFolder_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("proposed");
        QTest::newRow("windows") << R"(C:\data\msg01.sbd)"
                                 << R"(C:\data\msg01.jpg)";
        QTest::newRow("windows, dotted folder") << R"(C:\data.v2\msg01)"
                                                << R"(C:\data.v2\msg01)";
        QTest::newRow("windows, no dot") << R"(C:\data\msg01)"
                                         << R"(C:\data\msg01)";
        QTest::newRow("posix") << "/srv/data/msg01.sbd"
                               << "/srv/data/msg01.jpg";
        QTest::newRow("posix, dotted folder") << "/srv/data.v2/msg01"
                                              << "/srv/data.v2/msg01";
        QTest::newRow("posix, no dot") << "/srv/data/msg01"
                                       << "/srv/data/msg01";
        QTest::newRow("last of several dots") << "/srv/msg.2024.sbd"
                                              << "/srv/msg.2024.jpg";
        QTest::newRow("bare name") << "msg01"
                                   << "msg01";
    }
    void ProposesImageNameInTheMessageFolder()
    {
        QFETCH(QString, message);
        QFETCH(QString, proposed);
        QCOMPARE(saltmark::ProposeImageName(message), proposed);
    }

    // A file may change between the length query and the read: what was read counts.
    void ReadsExactlyWhatTheSourceGives_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("queriedLength");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("unchanged")
            << QByteArray("\x37\x06\x00", 3) << qint64{3} << QByteArray("\x37\x06\x00", 3);
        QTest::newRow("shrank") << QByteArray("abcd") << qint64{10} << QByteArray("abcd");
        QTest::newRow("grew") << QByteArray("abcdefgh") << qint64{3} << QByteArray("abc");
        QTest::newRow("length unknown") << QByteArray("abc") << qint64{-1} << QByteArray("abc");
        // Only a file over 1 MiB is refused.
        const QByteArray mebibyte(1 << 20, '\x37');
        QTest::newRow("1 MiB") << mebibyte << qint64{1 << 20} << mebibyte;
        QTest::newRow("1 MiB, length unknown") << mebibyte << qint64{-1} << mebibyte;
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
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(result.bytes.data()),
                            static_cast<qsizetype>(result.bytes.size())),
                 expected);
    }

    void RefusesMoreThanAnyMessageHolds_data()
    {
        QTest::addColumn<qint64>("queriedLength");
        QTest::addColumn<qint64>("available");
        QTest::newRow("one byte over") << saltmark::kLargestMessageFile + 1 << qint64{5};
        // Its low 32 bits alone would make a 5-byte file.
        QTest::newRow("over 4 GiB") << (qint64{1} << 32) + 5 << qint64{5};
        QTest::newRow("unknown, runs over") << qint64{-1} << saltmark::kLargestMessageFile + 1;
    }
    void RefusesMoreThanAnyMessageHolds()
    {
        QFETCH(qint64, queriedLength);
        QFETCH(qint64, available);
        QByteArray content(available, '\x37');
        QBuffer source(&content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        const saltmark::MessageFileRead result = saltmark::ReadMessageBytes(source, queriedLength);
        QVERIFY(!result.read);
        QVERIFY(result.reason.contains(QString::number(saltmark::kLargestMessageFile)));
    }

    void ReplacesAnEarlierFileWithExactlyTheImage()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath("image.jpg");
        QFile earlier(path);
        QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("a longer earlier file") > 0);
        earlier.close();
        QVERIFY(saltmark::WriteImageFile(path, {0xFF, 0xD8, 0x00}).written);
        QVERIFY(earlier.open(QIODevice::ReadOnly));
        QCOMPARE(earlier.readAll(), QByteArray("\xFF\xD8\x00", 3));
    }
};

QTEST_GUILESS_MAIN(MessageFilesTest)
#include "MessageFiles_test.moc"
