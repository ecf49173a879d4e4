#pragma once

#include "OpenDialog.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QPaintEvent;
class QResizeEvent;
class QTabWidget;

namespace plombar::app {

class Prompts;

// The main window: four pages (signing, verification, encryption, decryption), the open-file
// dialogs, the six path slots, the size gate and the rules that enable the operation buttons.
// The operation handlers (Button1Click, Button3Click, Button7Click, Button9Click) live in their own
// files Unit1Sign.cpp, Unit1Verify.cpp, Unit1Encrypt.cpp and Unit1Decrypt.cpp.
//
// Every control event reaches its handler through runGuarded (Dispatch.h): under the wait cursor,
// with any exception shown in the application's error report. Every wait for the user goes through
// the Prompts given to the constructor, which must outlive the window.
class TForm1 : public QWidget {
    Q_OBJECT

public:
    // Files larger than this are refused for signing, encryption and decryption (300 MiB).
    static constexpr std::uint64_t MaxInputFileSize = 314572800;

    explicit TForm1(Prompts& prompts, QWidget* parent = nullptr);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // The size gate: true when the file is at most MaxInputFileSize bytes. Raises InputOutputError when
    // the file cannot be opened for reading and writing or sized ("I/O error 6" for an empty path).
    static bool IsFileSizeAllowed(const std::string& path);

    // File choices.
    void Button2Click();  // file to sign (gated)
    void Button4Click();  // signed data file
    void Button5Click();  // signature file
    void Button6Click();  // file to encrypt (gated)
    void Button8Click();  // file to decrypt (gated)
    void Button11Click(); // recipient certificate file (gated)
    void CheckBox4Click();

    // Operations.
    void Button1Click(); // sign
    void Button3Click(); // verify
    void Button7Click(); // encrypt
    void Button9Click(); // decrypt

    // Sets a path label's text (plain text, never markup), fits the label to it and redraws it at
    // once.
    void setLabelText(QLabel* label, const std::string& text);

    // The prompts every dialog and message of the window goes through.
    Prompts& prompts() const { return prompts_; }

    // Path slots: full paths as the open-file dialogs gave them (UTF-8), empty when nothing is chosen.
    std::string SignFileName;
    std::string VerifyDataFileName;
    std::string VerifySignatureFileName;
    std::string EncryptFileName;
    std::string RecipientCertFileName;
    std::string DecryptFileName;

    // Controls (owned by the window through Qt's parent chain).
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr; // "Подпись"
    QWidget* TabSheet2 = nullptr; // "Верификация"
    QWidget* TabSheet3 = nullptr; // "Шифрование"
    QWidget* TabSheet4 = nullptr; // "DECRYPT"

    QCheckBox* CheckBox1 = nullptr; // "Упаковать файлы 7zip"
    QPushButton* Button2 = nullptr; // "Открыть файл для подписания"
    QPushButton* Button1 = nullptr; // "Подписать"
    QCheckBox* CheckBox2 = nullptr; // "BASE64"
    QCheckBox* CheckBox3 = nullptr; // "Прикрепленная"
    QLabel* Label2 = nullptr;       // SignFileName

    QPushButton* Button4 = nullptr; // "Исходный файл"
    QLabel* Label1 = nullptr;       // VerifyDataFileName
    QPushButton* Button5 = nullptr; // "Файл подписи"
    QLabel* Label3 = nullptr;       // VerifySignatureFileName
    QPushButton* Button3 = nullptr; // "Проверить"
    QPlainTextEdit* Memo1 = nullptr;

    QPushButton* Button11 = nullptr; // "Выбрать Сертификат"
    QCheckBox* CheckBox4 = nullptr;  // "Выбрать сертификат из файла"
    QLabel* Label6 = nullptr;        // RecipientCertFileName
    QPushButton* Button6 = nullptr;  // "Открыть файл"
    QLabel* Label4 = nullptr;        // EncryptFileName
    QPushButton* Button7 = nullptr;  // "Зашифровать"

    QPushButton* Button8 = nullptr; // "Открыть файл"
    QPushButton* Button9 = nullptr; // "DECRYPT"
    QLabel* Label5 = nullptr;       // DecryptFileName

    // Open-file dialogs, one per choice.
    TOpenDialog OpenDialog1{"OpenDialog1", ""};                            // Button4Click
    TOpenDialog OpenDialog2{"OpenDialog2", ""};                            // Button2Click
    TOpenDialog OpenDialog3{"OpenDialog3", "Signature|*.sig|PKCS7|*.p7s"}; // Button5Click
    TOpenDialog OpenDialog4{"OpenDialog4", ""};                            // Button6Click
    TOpenDialog OpenDialog5{"OpenDialog5", "Зашифрованные файлы|*.enc"};   // Button8Click
    TOpenDialog OpenDialog6{"OpenDialog6", "Certificate|*.cer"};           // Button11Click

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void createControls();
    void arrangeSigningPage(QSize page);
    void arrangeVerificationPage(QSize page);
    void arrangeEncryptionPage(QSize page);
    void arrangeDecryptionPage(QSize page);
    void setFocusOrder();
    void connectEvents();
    void connectGuarded(QPushButton* button, void (TForm1::*handler)());

    void chooseGated(TOpenDialog& dialog, std::string& slot, QLabel* label, QPushButton* operation);
    void chooseUngated(TOpenDialog& dialog, std::string& slot, QLabel* label);

    Prompts& prompts_;
};

} // namespace plombar::app
