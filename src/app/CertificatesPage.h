#pragma once

#include "OpenFileDialog.h"
#include "crypto/CertificateStore.h"

#include <QWidget>

#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;
class QResizeEvent;
class QShowEvent;
class QTreeWidget;

namespace plombar::app {

class Prompts;

// The page "Сертификаты": the stores "MY", "Root" and "CA" with their certificates, through the same
// crypto::CertificateStore that `plombar-cli store` uses. A certificate can be viewed, exported (DER
// or PEM, by the name's extension), removed after a confirmation; a PKCS #12 file, a certificate, or
// (into "MY") a certificate with its key file can be imported, and a test certificate made. The list
// is read again whenever the page shows and after every change. Every wait for the user goes
// through the Prompts given to the constructor, which must outlive the page.
class CertificatesPage : public QWidget {
    Q_OBJECT

public:
    explicit CertificatesPage(Prompts& prompts, QWidget* parent = nullptr);
    ~CertificatesPage() override;
    CertificatesPage(const CertificatesPage&) = delete;
    CertificatesPage& operator=(const CertificatesPage&) = delete;

    // The store chosen in storeBox ("MY", "Root" or "CA").
    std::string storeName() const;
    // Reads the chosen store again and shows its certificates.
    void refresh();

    void viewCertificate();     // "Просмотр…"
    void importFile();          // "Импорт…": a PKCS #12 file or a certificate
    void importWithKey();       // "Импорт с ключом…": a certificate, then its key file
    void exportCertificate();   // "Экспорт…"
    void removeCertificate();   // "Удалить…"
    void makeTestCertificate(); // "Тестовый сертификат"

    // The entries shown, in the list's order of rows when unsorted.
    const std::vector<crypto::StoreEntry>& entries() const { return entries_; }

    // Controls (owned by the page through Qt's parent chain).
    QLabel* storeLabel = nullptr;  // "Хранилище:"
    QComboBox* storeBox = nullptr; // "MY", "Root", "CA"
    QTreeWidget* certificateList = nullptr;
    QPushButton* viewButton = nullptr;            // "Просмотр…"
    QPushButton* importButton = nullptr;          // "Импорт…"
    QPushButton* importWithKeyButton = nullptr;   // "Импорт с ключом…"
    QPushButton* exportButton = nullptr;          // "Экспорт…"
    QPushButton* removeButton = nullptr;          // "Удалить…"
    QPushButton* testCertificateButton = nullptr; // "Тестовый сертификат"

    OpenFileDialog importDialog{"certificateImportDialog",
                                "Сертификаты и PKCS #12|*.pfx;*.p12;*.cer;*.crt;*.pem;*.der|Все файлы|*.*"};
    OpenFileDialog keyFileDialog{"keyFileDialog", "Закрытые ключи|*.key;*.pem;*.der|Все файлы|*.*"};

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // The selected entry, or null.
    const crypto::StoreEntry* selectedEntry() const;
    void updateButtons();
    void import(const std::string& file, const std::string* keyFile);

    Prompts& prompts_;
    std::vector<crypto::StoreEntry> entries_;
};

} // namespace plombar::app
