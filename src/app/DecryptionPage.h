#pragma once

#include "OpenFileDialog.h"

#include <QWidget>

#include <string>

class QLabel;
class QPushButton;
class QResizeEvent;

namespace plombar::app {

class Prompts;

// The page "DECRYPT": a file chosen through the size gate is decrypted with a key that the store
// "MY" holds. Every wait for the user goes through the Prompts given to the constructor, which must
// outlive the page.
class DecryptionPage : public QWidget {
    Q_OBJECT

public:
    explicit DecryptionPage(Prompts& prompts, QWidget* parent = nullptr);
    ~DecryptionPage() override;
    DecryptionPage(const DecryptionPage&) = delete;
    DecryptionPage& operator=(const DecryptionPage&) = delete;

    // "Открыть файл": the file to decrypt, through the size gate.
    void chooseFile();
    // A file given without the dialog (dropped on the page, named at start): as if chosen in it.
    void takeFile(const std::string& path);
    // "DECRYPT": decrypts the file in decryptFileName.
    void decrypt();

    // The file to decrypt as the dialog gave it (UTF-8), empty when nothing is chosen.
    std::string decryptFileName;

    // Controls (owned by the page through Qt's parent chain).
    QPushButton* chooseFileButton = nullptr; // "Открыть файл"
    QPushButton* decryptButton = nullptr;    // "DECRYPT"
    QLabel* fileLabel = nullptr;             // decryptFileName

    OpenFileDialog fileToDecryptDialog{"fileToDecryptDialog", "Зашифрованные файлы|*.enc"};

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    class OperationView;

    Prompts& prompts_;
};

} // namespace plombar::app
