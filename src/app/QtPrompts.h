#pragma once

#include "Prompts.h"

#include <QFileDialog>
#include <QPointer>
#include <QWidget>

#include <string>

namespace plombar::app {

// The prompts as real modal Qt dialogs. The wait cursor of a running handler is lifted while a
// dialog is shown. Dialogs are centred over the window given by setParentWidget (or over the modal
// dialog open at the moment); message boxes are centred on the screen.
class QtPrompts : public Prompts {
public:
    // `title` is the caption of every message box: the application's title.
    explicit QtPrompts(std::string title, QWidget* parent = nullptr);

    void setParentWidget(QWidget* parent) { parent_ = parent; }
    const std::string& title() const { return title_; }

    std::optional<std::string> openFile(const std::string& dialogName, const std::string& filter,
                                        const std::string& initialFile) override;
    void showMessage(const std::string& text) override;
    void showError(const std::string& text) override;
    void showDetailedError(const std::string& text, const std::string& details) override;
    std::optional<std::size_t>
    selectCertificate(const std::string& title, const std::string& displayText,
                      const std::vector<crypto::CertificateDescription>& certificates) override;
    void viewCertificate(const crypto::CertificateDescription& certificate) override;
    std::optional<std::string> askPassword(const std::string& keyOwner) override;
    void openFolder(const std::string& folder) override;
    std::optional<std::string> saveFile(const std::string& dialogName, const std::string& filter,
                                        const std::string& initialFile) override;
    bool confirm(const std::string& text) override;
    std::unique_ptr<ProgressView> openProgress() override;

private:
    QWidget* dialogParent() const;
    std::optional<std::string> runFileDialog(QFileDialog::AcceptMode mode, const std::string& dialogName,
                                             const std::string& filter, const std::string& initialFile);

    std::string title_;
    QPointer<QWidget> parent_;
};

} // namespace plombar::app
