#include "app/raw_file_dialog.h"

#include <QDir>
#include <QFileDialog>
#include <QStringList>

namespace tallon::app {

void ConfigureRawFileDialog(QFileDialog& dialog) {
    // The platform's own dialogs (GTK, portals) match patterns by case; Qt's
    // dialog filters through its file-system model, which can be told not to.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDirectory(QDir::currentPath());
    dialog.setNameFilter(QString::fromLatin1(kRawFileFilter));
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
}

std::optional<QString> ChooseRawFile(QWidget* parent) {
    QFileDialog dialog(parent);
    ConfigureRawFileDialog(dialog);
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) {
        return std::nullopt;
    }
    return files.first();
}

}  // namespace tallon::app
