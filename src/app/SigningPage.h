#pragma once

#include "OpenFileDialog.h"

#include <QWidget>

#include <string>

class QCheckBox;
class QLabel;
class QPushButton;
class QResizeEvent;

namespace plombar::app {

class Prompts;

// The page "Подпись": a file chosen through the size gate is signed with a certificate from the
// store "MY", detached or attached, in DER or Base64, and packed with its signature on request.
// Every wait for the user goes through the Prompts given to the constructor, which must outlive the
// page.
class SigningPage : public QWidget {
    Q_OBJECT

public:
    explicit SigningPage(Prompts& prompts, QWidget* parent = nullptr);
    ~SigningPage() override;
    SigningPage(const SigningPage&) = delete;
    SigningPage& operator=(const SigningPage&) = delete;

    // "Открыть файл для подписания": the file to sign, through the size gate.
    void chooseFile();
    // A file given without the dialog (dropped on the page, named at start): as if chosen in it.
    void takeFile(const std::string& path);
    // "Подписать": signs the file in signFileName.
    void sign();

    // The file to sign as the dialog gave it (UTF-8), empty when nothing is chosen.
    std::string signFileName;

    // Controls (owned by the page through Qt's parent chain).
    QCheckBox* packBox = nullptr;            // "Упаковать файлы 7zip"
    QPushButton* chooseFileButton = nullptr; // "Открыть файл для подписания"
    QPushButton* signButton = nullptr;       // "Подписать"
    QCheckBox* base64Box = nullptr;          // "BASE64"
    QCheckBox* attachedBox = nullptr;        // "Прикрепленная"
    QCheckBox* cadesBox = nullptr;           // "CAdES-BES": signing time and signing certificate v2
    QLabel* fileLabel = nullptr;             // signFileName

    OpenFileDialog fileToSignDialog{"fileToSignDialog", ""};

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    class OperationView;

    // Empties signFileName and its label and disables "Подписать".
    void clearSelection();

    Prompts& prompts_;
};

} // namespace plombar::app
