#include "OpenFileDialog.h"

#include "Prompts.h"

#include <utility>

namespace plombar::app {

OpenFileDialog::OpenFileDialog(std::string name, std::string filter)
    : name_(std::move(name)), filter_(std::move(filter)) {}

bool OpenFileDialog::run(Prompts& prompts) {
    auto chosen = prompts.openFile(name_, filter_, fileName_);
    if (!chosen)
        return false;
    fileName_ = std::move(*chosen);
    return true;
}

} // namespace plombar::app
