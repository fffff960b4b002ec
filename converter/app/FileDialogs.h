#pragma once
// The seam between the main dialog and the file dialogs: the dialog asks for a name and
// gets one, or nothing when the user cancels. The program shows the platform's dialogs;
// tests answer in their place.

#include <QString>
#include <QStringList>
#include <optional>

class QFileDialog;
class QWidget;

namespace saltmark {

class IFileDialogs {
public:
    virtual ~IFileDialogs() = default;

    // The Open dialog: an existing file, chosen among `filters` (the first selected).
    virtual std::optional<QString> ChooseOpenName(QWidget* owner, const QStringList& filters) = 0;

    // The Save As dialog, starting at `proposedName`. `defaultSuffix` is appended to a
    // name given without one; choosing an existing file asks before it is replaced.
    virtual std::optional<QString> ChooseSaveName(QWidget* owner, const QString& proposedName,
                                                  const QStringList& filters,
                                                  const QString& defaultSuffix) = 0;
};

// Set up `dialog` as the Open dialog: an existing file, `filters` offered in order with
// the first selected.
void SetUpOpenDialog(QFileDialog& dialog, const QStringList& filters);

// Set up `dialog` as the Save As dialog: `proposedName` in the name field, `filters` in
// order with the first selected, `defaultSuffix` for a name given without one, and a
// question before an existing file is replaced.
void SetUpSaveDialog(QFileDialog& dialog, const QString& proposedName, const QStringList& filters,
                     const QString& defaultSuffix);

// The platform's own Open and Save As dialogs.
class CSystemFileDialogs final : public IFileDialogs {
public:
    std::optional<QString> ChooseOpenName(QWidget* owner, const QStringList& filters) override;
    std::optional<QString> ChooseSaveName(QWidget* owner, const QString& proposedName,
                                          const QStringList& filters,
                                          const QString& defaultSuffix) override;
};

}  // namespace saltmark
