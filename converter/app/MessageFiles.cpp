#include "MessageFiles.h"

#include <QFile>
#include <QIODevice>
#include <QSaveFile>
#include <algorithm>

namespace saltmark {

namespace {

MessageFileRead Refused(QString reason)
{
    MessageFileRead result;
    result.reason = std::move(reason);
    return result;
}

QString TooLarge()
{
    return QStringLiteral("the file is larger than any SBD message can be (more than %1 bytes)")
        .arg(kLargestMessageFile);
}

}  // namespace

MessageFileRead ReadMessageBytes(QIODevice& source, qint64 length)
{
    if (length > kLargestMessageFile) {
        return Refused(TooLarge());
    }
    // A source that cannot tell its length is read one byte past the limit, which is
    // enough to know it is too long.
    const qint64 wanted = length < 0 ? kLargestMessageFile + 1 : length;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(wanted));
    qint64 got = 0;
    while (got < wanted) {
        const qint64 n = source.read(reinterpret_cast<char*>(bytes.data()) + got, wanted - got);
        if (n < 0) {
            return Refused(source.errorString());
        }
        if (n == 0) {
            break;  // the end, earlier than the length said if the file shrank
        }
        got += n;
    }
    if (got > kLargestMessageFile) {
        return Refused(TooLarge());
    }
    bytes.resize(static_cast<std::size_t>(got));
    MessageFileRead result;
    result.read = true;
    result.bytes = std::move(bytes);
    return result;
}

MessageFileRead ReadMessageFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return Refused(file.errorString());
    }
    return ReadMessageBytes(file, file.isSequential() ? -1 : file.size());
}

QString ProposeImageName(const QString& messagePath)
{
    const qsizetype nameStart =
        std::max(messagePath.lastIndexOf(u'/'), messagePath.lastIndexOf(u'\\')) + 1;
    const qsizetype dot = messagePath.lastIndexOf(u'.');
    if (dot < nameStart) {
        return messagePath;
    }
    return messagePath.left(dot) + QStringLiteral(".jpg");
}

ImageFileWrite WriteImageFile(const QString& path, const std::vector<std::uint8_t>& image)
{
    ImageFileWrite result;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        result.reason = file.errorString();
        return result;
    }
    const auto size = static_cast<qint64>(image.size());
    if (file.write(reinterpret_cast<const char*>(image.data()), size) != size) {
        result.reason = file.errorString();
        file.cancelWriting();
        return result;
    }
    if (!file.commit()) {
        result.reason = file.errorString();
        return result;
    }
    result.written = true;
    return result;
}

}  // namespace saltmark
