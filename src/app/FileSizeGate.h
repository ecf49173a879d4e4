#pragma once

#include <cstdint>
#include <string>

class QLabel;
class QPushButton;

namespace plombar::app {

class OpenFileDialog;
class Prompts;

// Files larger than this are refused for signing, encryption and decryption (300 MiB).
inline constexpr std::uint64_t kMaxInputFileSize = 314572800;

// The size gate: true when the file is at most kMaxInputFileSize bytes. Raises InputOutputError when
// the file cannot be opened for reading or sized ("I/O error 6" for an empty path).
bool isFileSizeAllowed(const std::string& path);

// A file choice that the size gate checks: shows `dialog`, keeps its result in `slot`, shows the
// slot in `label` and enables `operation` (when given) once a file is chosen.
//
// The gate also runs when the dialog was cancelled, on the path chosen before (or on no path, which
// fails with "I/O error 6"). A gate error leaves the slot with the dialog's result while the label
// and the button keep their state; a refusal says "Размер файла не должен превышать 299 Мб" and
// empties the slot and the label. The operation button is only ever enabled here, never disabled.
void chooseGatedFile(Prompts& prompts, OpenFileDialog& dialog, std::string& slot, QLabel* label,
                     QPushButton* operation);

// The same for a file given without the dialog (dropped on the page, named on the command line):
// `path` is taken as if confirmed in `dialog`, then goes through the same gate.
void takeGatedFile(Prompts& prompts, OpenFileDialog& dialog, const std::string& path, std::string& slot,
                   QLabel* label, QPushButton* operation);

} // namespace plombar::app
