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

// The page "Шифрование": a file chosen through the size gate is encrypted for a certificate from the
// store "MY" or, with "Выбрать сертификат из файла" ticked, from a certificate file. Every wait for
// the user goes through the Prompts given to the constructor, which must outlive the page.
class EncryptionPage : public QWidget {
    Q_OBJECT

public:
    explicit EncryptionPage(Prompts& prompts, QWidget* parent = nullptr);
    ~EncryptionPage() override;
    EncryptionPage(const EncryptionPage&) = delete;
    EncryptionPage& operator=(const EncryptionPage&) = delete;

    // "Открыть файл": the file to encrypt, through the size gate.
    void chooseFile();
    // "Выбрать Сертификат": the recipient's certificate file, through the size gate.
    void chooseCertificateFile();
    // A file given without the dialogs (dropped on the page): with "Выбрать сертификат из файла"
    // ticked a certificate file (.cer, .crt, .pem) is taken as if chosen in "Выбрать Сертификат",
    // any other file as if chosen in "Открыть файл".
    void takeFile(const std::string& path);
    // Runs on every change of "Выбрать сертификат из файла", by the user or by the page.
    void updateCertificateSource();
    // "Зашифровать": encrypts the file in encryptFileName into FILE.enc.
    void encrypt();

    // The chosen files as the dialogs gave them (UTF-8), empty when nothing is chosen.
    std::string encryptFileName;
    std::string recipientCertFileName;

    // Controls (owned by the page through Qt's parent chain).
    QPushButton* chooseCertificateButton = nullptr; // "Выбрать Сертификат"
    QCheckBox* certificateFromFileBox = nullptr;    // "Выбрать сертификат из файла"
    QLabel* certificateLabel = nullptr;             // recipientCertFileName
    QPushButton* chooseFileButton = nullptr;        // "Открыть файл"
    QLabel* fileLabel = nullptr;                    // encryptFileName
    QPushButton* encryptButton = nullptr;           // "Зашифровать"

    OpenFileDialog fileToEncryptDialog{"fileToEncryptDialog", ""};
    OpenFileDialog certificateFileDialog{"certificateFileDialog",
                                         "Certificate|*.cer|Сертификаты|*.cer;*.crt;*.pem"};

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    class OperationView;

    Prompts& prompts_;
};

} // namespace plombar::app
