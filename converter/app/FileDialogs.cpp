#include "FileDialogs.h"

#include <QFileDialog>

namespace saltmark {

namespace {

void SetFilters(QFileDialog& dialog, const QStringList& filters)
{
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.value(0));
}

std::optional<QString> ChosenFile(QFileDialog& dialog)
{
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().constFirst();
}

}  // namespace

std::optional<QString> CSystemFileDialogs::ChooseOpenName(QWidget* owner,
                                                          const QStringList& filters)
{
    QFileDialog dialog(owner);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    SetFilters(dialog, filters);
    return ChosenFile(dialog);
}

std::optional<QString> CSystemFileDialogs::ChooseSaveName(QWidget* owner,
                                                          const QString& proposedName,
                                                          const QStringList& filters,
                                                          const QString& defaultSuffix)
{
    QFileDialog dialog(owner);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(defaultSuffix);
    // Replacing a file the user did not mean to lose is worse than one more question.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    SetFilters(dialog, filters);
    // After the filters: choosing a filter may rewrite the name's suffix.
    dialog.selectFile(proposedName);
    return ChosenFile(dialog);
}

}  // namespace saltmark
