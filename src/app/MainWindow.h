#pragma once

#include <QWidget>

#include <string>

class QPaintEvent;
class QResizeEvent;
class QShowEvent;
class QTabWidget;

namespace plombar::app {

class CertificatesPage;
class DecryptionPage;
class EncryptionPage;
class Prompts;
class SigningPage;
class VerificationPage;

// The main window: the four pages (signing, verification, encryption, decryption) and the
// certificate stores' page in one tab widget, at a fixed initial size and place. Each page owns its controls,
// its chosen files, its open-file dialogs and its handlers; the window sets the order in which Tab walks
// them.
//
// Every control event reaches its handler through runGuarded (Dispatch.h): under the wait cursor,
// with any exception shown in the application's error report. Every wait for the user goes through
// the Prompts given to the constructor, which must outlive the window.
class MainWindow : public QWidget {
    Q_OBJECT

public:
    explicit MainWindow(Prompts& prompts, QWidget* parent = nullptr);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // A file named when the program starts (`plombar FILE`, "Open with" in a file manager): shows
    // the page for it and takes it there as if chosen in that page's dialog, gate included. An
    // ".enc" file goes to "DECRYPT", a ".sig" or ".p7s" file to "Верификация" (with the data file
    // beside it, the signature's name without its extension, when that exists), any other to
    // "Подпись". Errors are reported as a click's are.
    void openGivenFile(const std::string& path);

    // Owned by the window through Qt's parent chain.
    QTabWidget* pages = nullptr;
    SigningPage* signingPage = nullptr;           // "Подпись"
    VerificationPage* verificationPage = nullptr; // "Верификация"
    EncryptionPage* encryptionPage = nullptr;     // "Шифрование"
    DecryptionPage* decryptionPage = nullptr;     // "DECRYPT"
    CertificatesPage* certificatesPage = nullptr; // "Сертификаты"

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // On the first show: the window keeps its initial place where it fits on its screen, else it
    // moves fully onto the screen's free area (a small or scaled screen), title bar included. On
    // every show: the focused control is marked, however it got the focus.
    void showEvent(QShowEvent* event) override;

private:
    void setFocusOrder();

    Prompts& prompts_;
    bool placed_ = false;
};

} // namespace plombar::app
