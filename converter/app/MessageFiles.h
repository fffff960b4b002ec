#pragma once
// The window's file work, kept apart from the widgets so that it runs without a display:
// reading a message file, proposing the image's file name, writing the image.

#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <vector>

#include "ConvertMessage.h"

class QIODevice;

namespace saltmark {

inline constexpr qint64 kLargestMessageFile = kLargestMessageBytes;

struct MessageFileRead {
    bool read = false;                // true: `bytes` are the message
    std::vector<std::uint8_t> bytes;  // exactly the bytes that were read, no more
    QString reason;                   // why not, when `read` is false
};

// Reads a whole message file. Refuses a file longer than kLargestMessageFile (its full
// 64-bit length counts) and reports an open or read failure with the system's reason.
MessageFileRead ReadMessageFile(const QString& path);

// Reads up to `length` bytes (the file's length when it was queried; -1 when the source
// cannot tell, as for a pipe) from an open source. A file that shrinks or grows meanwhile
// gives what was read up to `length`, never more and never uninitialised bytes.
MessageFileRead ReadMessageBytes(QIODevice& source, qint64 length);

// The image name proposed next to a message file: the file name's last extension
// replaced by ".jpg". Only the file name is searched for its '.', never a folder name;
// a file name without one is proposed unchanged. Both '/' and '\' end a folder name,
// so Windows paths work the same on every platform.
QString ProposeImageName(const QString& messagePath);

struct ImageFileWrite {
    bool written = false;
    QString reason;  // why not, when `written` is false
};

// Writes the image through a temporary file that replaces `path` only once complete,
// so a failed save leaves any earlier file at `path` intact.
ImageFileWrite WriteImageFile(const QString& path, const std::vector<std::uint8_t>& image);

}  // namespace saltmark
