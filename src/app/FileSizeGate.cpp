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

void chooseGatedFile(Prompts& prompts, OpenFileDialog& dialog, std::string& slot, QLabel* label,
                     QPushButton* operation) {
    if (dialog.run(prompts))
        slot = dialog.fileName();
    if (!isFileSizeAllowed(slot)) {
        slot.clear();
        prompts.showMessage("Размер файла не должен превышать 299 Мб");
    }
    setLabelText(label, slot);
    if (!slot.empty() && operation != nullptr)
        operation->setEnabled(true);
}

} // namespace plombar::app
