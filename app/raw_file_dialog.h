#pragma once

#include <QString>
#include <optional>

class QFileDialog;
class QWidget;

namespace tallon::app {

// The description and pattern offered when browsing for a RAW file.
inline constexpr const char* kRawFileFilter = "Raw files (*.raw)";

// Sets a file-open dialog up for RAW files: one existing file, starting in
// the current working directory, the pattern matched without regard to case
// so "ALL.RAW" and "b.Raw" are offered as well as "a.raw".
void ConfigureRawFileDialog(QFileDialog& dialog);

// Runs the dialog; the full path of the confirmed file, nothing on cancel.
std::optional<QString> ChooseRawFile(QWidget* parent);

}  // namespace tallon::app
