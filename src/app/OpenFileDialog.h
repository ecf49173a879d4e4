#pragma once

#include <string>
#include <utility>

namespace plombar::app {

class Prompts;

// An open-file dialog that a page keeps for one of its choices: its name, its filter, and the file
// last confirmed in it, on which it opens the next time.
class OpenFileDialog {
public:
    // `filter` alternates description and pattern, separated by "|"; empty for all files.
    OpenFileDialog(std::string name, std::string filter);

    const std::string& name() const { return name_; }
    const std::string& filter() const { return filter_; }
    const std::string& fileName() const { return fileName_; }

    // Shows the dialog through `prompts`. True when the user confirmed a file, which then is
    // fileName(); a cancel keeps the previous file name.
    bool run(Prompts& prompts);
    // Takes `fileName` as if the user had confirmed it here (a file dropped on the page): the
    // dialog opens on it the next time.
    void setFileName(std::string fileName) { fileName_ = std::move(fileName); }

private:
    std::string name_;
    std::string filter_;
    std::string fileName_;
};

} // namespace plombar::app
