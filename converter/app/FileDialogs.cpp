#include "FileDialogs.h"

#include <QFileDialog>

namespace saltmark {

namespace {

// A filter reads "Text (patterns)". On Windows "*.*" lists every file; elsewhere it lists
// only names with a '.', which hides a message saved without an extension, and choosing
// the filter in a save dialog turns the proposed name's suffix into ".*". There each
// filter keeps its text on screen but matches with "*" where it says "*.*".
void SetFilters(QFileDialog& dialog, const QStringList& filters)
{
#ifdef Q_OS_WIN
    const QStringList& shown = filters;
#else
    QStringList shown;
    for (const QString& filter : filters) {
        const qsizetype open = filter.lastIndexOf(u'(');
        QStringList patterns = filter.mid(open + 1).chopped(1).split(u' ', Qt::SkipEmptyParts);
        patterns.replaceInStrings(QStringLiteral("*.*"), QStringLiteral("*"));
        // The last parenthesised patterns filter; the details hidden are only those.
        shown << filter + QStringLiteral(" (") + patterns.join(u' ') + u')';
    }
    dialog.setOption(QFileDialog::HideNameFilterDetails);
#endif
    dialog.setNameFilters(shown);
    dialog.selectNameFilter(shown.value(0));
}

std::optional<QString> ChosenFile(QFileDialog& dialog)
{
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().constFirst();
}

}  // namespace

void SetUpOpenDialog(QFileDialog& dialog, const QStringList& filters)
{
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    SetFilters(dialog, filters);
}

void SetUpSaveDialog(QFileDialog& dialog, const QString& proposedName, const QStringList& filters,
                     const QString& defaultSuffix)
{
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(defaultSuffix);
    // Replacing a file the user did not mean to lose is worse than one more question.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    SetFilters(dialog, filters);
    // After the filters: choosing a filter may rewrite the name's suffix.
    dialog.selectFile(proposedName);
}

std::optional<QString> CSystemFileDialogs::ChooseOpenName(QWidget* owner,
                                                          const QStringList& filters)
{
    QFileDialog dialog(owner);
    SetUpOpenDialog(dialog, filters);
    return ChosenFile(dialog);
}

std::optional<QString> CSystemFileDialogs::ChooseSaveName(QWidget* owner,
                                                          const QString& proposedName,
                                                          const QStringList& filters,
                                                          const QString& defaultSuffix)
{
    QFileDialog dialog(owner);
    SetUpSaveDialog(dialog, proposedName, filters, defaultSuffix);
    return ChosenFile(dialog);
}

}  // namespace saltmark
