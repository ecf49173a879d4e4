#pragma once

#include "OpenFileDialog.h"

#include <QWidget>

#include <string>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QResizeEvent;

namespace plombar::app {

class Prompts;

// What "Сохранить документ" tells the user once the document is written, and the error when the
// signature no longer holds by then (nothing is written).
inline constexpr const char* kDocumentSavedText = "Документ сохранён";
inline constexpr const char* kDocumentNotSavedText = "Подпись больше не верна: документ не сохранён";

// The page "Верификация": a data file and its detached signature, or an attached signature alone,
// chosen without the size gate, are checked with the signer's chain, revocation and signing time,
// and the report is written into the report area. The document an attached signature carries can
// then be saved. Every wait for the user goes through the Prompts given to the constructor, which
// must outlive the page.
class VerificationPage : public QWidget {
    Q_OBJECT

public:
    explicit VerificationPage(Prompts& prompts, QWidget* parent = nullptr);
    ~VerificationPage() override;
    VerificationPage(const VerificationPage&) = delete;
    VerificationPage& operator=(const VerificationPage&) = delete;

    // "Исходный файл": the signed data file.
    void chooseDataFile();
    // "Файл подписи": the signature file.
    void chooseSignatureFile();
    // Files given without the dialogs (dropped on the page, named at start): a signature file
    // (.sig, .p7s) as if chosen in "Файл подписи", any other as if chosen in "Исходный файл".
    void takeFiles(const std::vector<std::string>& paths);
    // "Проверить": checks the signature against the data file, or the content an attached
    // signature carries when no data file is chosen.
    void verify();
    // "Сохранить документ": after a valid check of an attached signature alone, writes the content
    // it carries to a file the user names (atomically, and only when the signature still holds).
    void saveDocument();

    // The chosen files as the dialogs gave them (UTF-8), empty when nothing is chosen.
    std::string verifyDataFileName;
    std::string verifySignatureFileName;

    // Controls (owned by the page through Qt's parent chain).
    QPushButton* dataFileButton = nullptr;      // "Исходный файл"
    QLabel* dataFileLabel = nullptr;            // verifyDataFileName
    QPushButton* signatureFileButton = nullptr; // "Файл подписи"
    QLabel* signatureFileLabel = nullptr;       // verifySignatureFileName
    QPushButton* verifyButton = nullptr;        // "Проверить"
    QPushButton* saveDocumentButton = nullptr;  // "Сохранить документ"
    QPlainTextEdit* reportArea = nullptr;

    OpenFileDialog dataFileDialog{"dataFileDialog", ""};
    OpenFileDialog signatureFileDialog{"signatureFileDialog",
                                       "Signature|*.sig|PKCS7|*.p7s|Подписи|*.sig;*.p7s"};

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    class OperationView;

    void chooseFileToVerify(OpenFileDialog& dialog, std::string& slot, QLabel* label);
    void enableVerifyWhenReady();
    void forgetCheckedDocument();

    Prompts& prompts_;
    // The attached signature whose last check was valid, whose content "Сохранить документ" saves;
    // empty when there is none.
    std::string checkedSignature_;
};

} // namespace plombar::app
