#include "FileSizeGate.h"

#include "OpenFileDialog.h"
#include "PageWidgets.h"
#include "Prompts.h"
#include "platform/FileSize.h"

#include <QPushButton>

namespace plombar::app {

bool isFileSizeAllowed(const std::string& path) {
    return fileSizeForGate(path) <= kMaxInputFileSize;
}

namespace {

void gateChoice(Prompts& prompts, std::string& slot, QLabel* label, QPushButton* operation) {
    if (!isFileSizeAllowed(slot)) {
        slot.clear();
        prompts.showMessage("Размер файла не должен превышать 299 Мб");
    }
    setLabelText(label, slot);
    if (!slot.empty() && operation != nullptr)
        operation->setEnabled(true);
}

} // namespace

void chooseGatedFile(Prompts& prompts, OpenFileDialog& dialog, std::string& slot, QLabel* label,
                     QPushButton* operation) {
    if (dialog.run(prompts))
        slot = dialog.fileName();
    gateChoice(prompts, slot, label, operation);
}

void takeGatedFile(Prompts& prompts, OpenFileDialog& dialog, const std::string& path, std::string& slot,
                   QLabel* label, QPushButton* operation) {
    dialog.setFileName(path);
    slot = path;
    gateChoice(prompts, slot, label, operation);
}

} // namespace plombar::app
