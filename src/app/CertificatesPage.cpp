#include "CertificatesPage.h"

#include "CertificateTexts.h"
#include "Dispatch.h"
#include "PageWidgets.h"
#include "Prompts.h"
#include "platform/Errors.h"
#include "platform/FileReader.h"
#include "platform/FileSize.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QResizeEvent>
#include <QShowEvent>
#include <QTreeWidget>

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>

namespace plombar::app {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// The file passwords of an import, asked in the window's password dialog.
class ImportPasswords : public crypto::PasswordSource {
public:
    explicit ImportPasswords(Prompts& prompts) : prompts_(prompts) {}

    std::optional<crypto::SecureString> password(const crypto::PasswordRequest& request) override {
        std::string text =
            (request.purpose == crypto::PasswordRequest::Purpose::Pkcs12File ? "Пароль файла PKCS #12 "
                                                                             : "Пароль файла ключа ") +
            request.keyFile;
        if (request.previousWasWrong)
            text += "\nНеверный пароль, попробуйте ещё раз (попытка " + std::to_string(request.attempt) +
                    " из " + std::to_string(crypto::kPasswordAttempts) + ")";
        std::optional<std::string> answer = prompts_.askPassword(text);
        if (!answer)
            return std::nullopt;
        crypto::SecureString password(*answer);
        OPENSSL_cleanse(answer->data(), answer->size());
        return password;
    }

private:
    Prompts& prompts_;
};

// Certificates, keys and PKCS #12 files are small: a larger file is no such thing, and is not read
// into memory whole.
constexpr std::uint64_t kMaxImportFileSize = 16 * 1048576;

// The file's bytes; refused without reading when it is too large or no regular file (a FIFO would
// block the window).
std::string readImportFile(const std::string& path) {
    if (fileSizeForGate(path) > kMaxImportFileSize)
        throw Error("Файл " + path + " слишком велик для сертификата или ключа (больше 16 Мб)");
    return readFileContent(path);
}

QString dateOnly(const std::string& dateTime) {
    return qs(dateTime.substr(0, dateTime.find(' ')));
}

} // namespace

CertificatesPage::CertificatesPage(Prompts& prompts, QWidget* parent) : QWidget(parent), prompts_(prompts) {
    setObjectName(QStringLiteral("certificatesPage"));
    storeLabel = new QLabel(QStringLiteral("Хранилище:"), this);
    storeLabel->setObjectName(QStringLiteral("storeLabel"));
    storeBox = new QComboBox(this);
    storeBox->setObjectName(QStringLiteral("storeBox"));
    storeBox->addItem(QStringLiteral("Личные (MY)"),
                      QString::fromLatin1(crypto::CertificateStore::kPersonal));
    storeBox->addItem(QStringLiteral("Корневые (Root)"),
                      QString::fromLatin1(crypto::CertificateStore::kRoot));
    storeBox->addItem(QStringLiteral("Промежуточные (CA)"),
                      QString::fromLatin1(crypto::CertificateStore::kIntermediate));
    storeLabel->setBuddy(storeBox);

    certificateList = new QTreeWidget(this);
    certificateList->setObjectName(QStringLiteral("certificateList"));
    certificateList->setHeaderLabels({QStringLiteral("Кому выдан"), QStringLiteral("Кем выдан"),
                                      QStringLiteral("Действителен по"), QStringLiteral("Ключ")});
    certificateList->setRootIsDecorated(false);
    certificateList->setUniformRowHeights(true);
    certificateList->setSelectionMode(QAbstractItemView::SingleSelection);
    certificateList->setSelectionBehavior(QAbstractItemView::SelectRows);
    certificateList->setAllColumnsShowFocus(true);
    // The names share the room the date and the key column leave.
    certificateList->header()->setStretchLastSection(false);
    certificateList->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    certificateList->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    certificateList->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    certificateList->header()->setSectionResizeMode(3, QHeaderView::ResizeToContents);

    viewButton = makeButton(this, "viewButton", QStringLiteral("Просмотр…"), false);
    importButton = makeButton(this, "importButton", QStringLiteral("Импорт…"), true);
    importWithKeyButton = makeButton(this, "importWithKeyButton", QStringLiteral("Импорт с ключом…"), true);
    exportButton = makeButton(this, "exportButton", QStringLiteral("Экспорт…"), false);
    removeButton = makeButton(this, "removeButton", QStringLiteral("Удалить…"), false);
    testCertificateButton =
        makeButton(this, "testCertificateButton", QStringLiteral("Тестовый сертификат"), true);

    connectGuarded(viewButton, prompts_, [this] { viewCertificate(); });
    connectGuarded(importButton, prompts_, [this] { importFile(); });
    connectGuarded(importWithKeyButton, prompts_, [this] { importWithKey(); });
    connectGuarded(exportButton, prompts_, [this] { exportCertificate(); });
    connectGuarded(removeButton, prompts_, [this] { removeCertificate(); });
    connectGuarded(testCertificateButton, prompts_, [this] { makeTestCertificate(); });
    connect(storeBox, &QComboBox::currentIndexChanged, this,
            [this] { runGuarded(prompts_, [this] { refresh(); }); });
    connect(certificateList, &QTreeWidget::itemSelectionChanged, this, &CertificatesPage::updateButtons);
    connect(certificateList, &QTreeWidget::itemDoubleClicked, this,
            [this] { runGuarded(prompts_, [this] { viewCertificate(); }); });
    updateButtons();
}

CertificatesPage::~CertificatesPage() = default;

std::string CertificatesPage::storeName() const {
    return storeBox->currentData().toString().toStdString();
}

// The store choice at the top, the list below it, the buttons in a column on the right.
void CertificatesPage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const QSize page = event->size();
    const int height = rowHeight({storeBox, viewButton});
    int width = 0;
    for (const QPushButton* b :
         {viewButton, importButton, importWithKeyButton, exportButton, removeButton, testCertificateButton})
        width = std::max(width, buttonSize(b).width());
    const int right = page.width() - kPageMargin - width;

    int y = kPageMargin;
    const QSize label = storeLabel->sizeHint();
    storeLabel->setGeometry(kPageMargin, y + (height - label.height()) / 2, label.width(), label.height());
    const int boxLeft = kPageMargin + label.width() + kPathLabelGap;
    storeBox->setGeometry(boxLeft, y, std::max(storeBox->sizeHint().width(), 180), height);
    y += height + kControlGap;
    certificateList->setGeometry(kPageMargin, y, std::max(0, right - kControlGap - kPageMargin),
                                 std::max(0, page.height() - y - kPageMargin));
    const int gap = 6;
    for (QPushButton* b :
         {viewButton, importButton, importWithKeyButton, exportButton, removeButton, testCertificateButton}) {
        b->setGeometry(right, y, width, height);
        y += height + gap;
    }
}

void CertificatesPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Another program (plombar-cli) may have changed the store meanwhile.
    runGuarded(prompts_, [this] { refresh(); });
}

void CertificatesPage::refresh() {
    // Emptied first: a store that cannot be read shows no stale list.
    entries_.clear();
    certificateList->clear();
    updateButtons();
    const bool personal = storeName() == crypto::CertificateStore::kPersonal;
    importWithKeyButton->setEnabled(personal);
    testCertificateButton->setEnabled(personal);

    entries_ = crypto::CertificateStore::open(storeName()).entries();
    const QBrush grey = palette().brush(QPalette::Disabled, QPalette::Text);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const crypto::CertificateDescription d = entries_[i].describe();
        auto* item = new QTreeWidgetItem(certificateList,
                                         {qs(d.issuedTo), qs(d.issuedBy), dateOnly(d.validTo),
                                          d.hasPrivateKey ? QStringLiteral("Есть") : QStringLiteral("Нет")});
        item->setData(0, Qt::UserRole, QVariant::fromValue<qulonglong>(i));
        QString tip = qs(d.subject) + QStringLiteral("\nОтпечаток: ") + qs(d.thumbprint);
        if (d.expired || d.notYetValid)
            tip += QLatin1Char('\n') + unusableReason(d);
        for (int column = 0; column < certificateList->columnCount(); ++column) {
            item->setToolTip(column, tip);
            if (d.expired || d.notYetValid)
                item->setForeground(column, grey);
        }
    }
}

const crypto::StoreEntry* CertificatesPage::selectedEntry() const {
    const auto selected = certificateList->selectedItems();
    if (selected.isEmpty())
        return nullptr;
    const auto index = static_cast<std::size_t>(selected.first()->data(0, Qt::UserRole).toULongLong());
    return index < entries_.size() ? &entries_[index] : nullptr;
}

void CertificatesPage::updateButtons() {
    const bool chosen = selectedEntry() != nullptr;
    viewButton->setEnabled(chosen);
    exportButton->setEnabled(chosen);
    removeButton->setEnabled(chosen);
}

void CertificatesPage::viewCertificate() {
    if (const crypto::StoreEntry* entry = selectedEntry())
        prompts_.viewCertificate(entry->describe());
}

void CertificatesPage::import(const std::string& file, const std::string* keyFile) {
    const std::string bytes = readImportFile(file);
    crypto::SecureString key;
    if (keyFile != nullptr) {
        std::string keyBytes = readImportFile(*keyFile);
        key.assign(keyBytes);
        OPENSSL_cleanse(keyBytes.data(), keyBytes.size());
    }
    ImportPasswords passwords(prompts_);
    crypto::CertificateStore store = crypto::CertificateStore::open(storeName());
    const crypto::ImportedEntry imported =
        store.importFile(bytes, file, keyFile != nullptr ? &key : nullptr,
                         keyFile != nullptr ? *keyFile : std::string(), passwords);
    refresh();
    prompts_.showMessage("Сертификат «" + imported.entry.describe().issuedTo + "» добавлен в хранилище «" +
                         store.name() + "»" + (imported.keyImported ? " вместе с закрытым ключом" : ""));
}

void CertificatesPage::importFile() {
    if (!importDialog.run(prompts_))
        return;
    import(importDialog.fileName(), nullptr);
}

void CertificatesPage::importWithKey() {
    if (!importDialog.run(prompts_))
        return;
    const std::string certificate = importDialog.fileName();
    if (!keyFileDialog.run(prompts_))
        return;
    const std::string key = keyFileDialog.fileName();
    import(certificate, &key);
}

void CertificatesPage::exportCertificate() {
    const crypto::StoreEntry* entry = selectedEntry();
    if (entry == nullptr)
        return;
    const auto path =
        prompts_.saveFile("certificateExportDialog", "Сертификат DER|*.cer|Сертификат PEM|*.pem", "");
    if (!path)
        return;
    const bool pem = hasExtension(*path, ".pem");
    crypto::CertificateStore::open(storeName())
        .exportCertificate(entry->certificate,
                           pem ? crypto::CertificateEncoding::Pem : crypto::CertificateEncoding::Der, *path);
    prompts_.showMessage("Сертификат записан в файл " + *path + (pem ? " (PEM)" : " (DER)"));
}

void CertificatesPage::removeCertificate() {
    const crypto::StoreEntry* entry = selectedEntry();
    if (entry == nullptr)
        return;
    const crypto::CertificateDescription d = entry->describe();
    const std::string thumbprint = entry->certificate.thumbprint();
    if (!prompts_.confirm("Удалить сертификат «" + d.issuedTo + "» (отпечаток " + thumbprint +
                          ") из хранилища «" + storeName() + "»" +
                          (entry->hasKey ? " вместе с его закрытым ключом" : "") + "? Это нельзя отменить."))
        return;
    crypto::CertificateStore::open(storeName()).remove(thumbprint);
    refresh();
}

void CertificatesPage::makeTestCertificate() {
    crypto::CertificateStore store = crypto::CertificateStore::open(crypto::CertificateStore::kPersonal);
    const crypto::ImportedEntry made = store.makeTestCertificate({});
    refresh();
    prompts_.showMessage("Создан тестовый сертификат «" + made.entry.describe().issuedTo + "» (отпечаток " +
                         made.entry.certificate.thumbprint() + ") в хранилище «MY»");
}

} // namespace plombar::app
