#include "CertificateDialogs.h"

#include "CertificateTexts.h"

#include <QBrush>
#include <QDialogButtonBox>
#include <QFont>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace plombar::app {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// "dd.MM.yyyy HH:mm:ss" → "dd.MM.yyyy": the list shows the date only, the view dialog the time too.
QString dateOnly(const std::string& dateTime) {
    return qs(dateTime.substr(0, dateTime.find(' ')));
}

QLabel* plainLabel(const QString& text, QWidget* parent = nullptr) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QLabel* boldLabel(const QString& text) {
    auto* label = plainLabel(text);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    return label;
}

void setButtonTexts(QDialogButtonBox* box) {
    // Our own texts, so the dialogs read the same with or without Qt's translations.
    if (QPushButton* ok = box->button(QDialogButtonBox::Ok))
        ok->setText(QStringLiteral("OK"));
    if (QPushButton* cancel = box->button(QDialogButtonBox::Cancel))
        cancel->setText(QStringLiteral("Отмена"));
}

} // namespace

namespace {

// Columns of the selection list.
enum Column {
    kIssuedTo,
    kOrganization,
    kFriendlyName,
    kIssuedBy,
    kValidTo,
    kKeyAlgorithm,
    kPrivateKey,
    kState,
    kColumnCount
};

// "dd.MM.yyyy HH:mm:ss" → "yyyyMMddHHmmss": sorts by date.
QString dateSortKey(const std::string& dateTime) {
    const QString t = qs(dateTime);
    return t.mid(6, 4) + t.mid(3, 2) + t.left(2) + t.mid(11);
}

// A row that sorts its date column by date and its other columns by text, ignoring case.
class CertificateItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;

    bool operator<(const QTreeWidgetItem& other) const override {
        const int column = treeWidget() != nullptr ? treeWidget()->sortColumn() : 0;
        const QVariant mine = data(column, kSortRole);
        const QVariant theirs = other.data(column, kSortRole);
        if (mine.isValid() && theirs.isValid())
            return mine.toString() < theirs.toString();
        return text(column).compare(other.text(column), Qt::CaseInsensitive) < 0;
    }

    static constexpr int kSortRole = Qt::UserRole + 1;
};

// The row's tooltip: who it is, the thumbprint that tells two certificates of one person apart, and
// why it will not do, if so.
QString rowToolTip(const crypto::CertificateDescription& c, const QString& reason) {
    QString tip = qs(c.subject) + QStringLiteral("\nОтпечаток: ") + qs(c.thumbprint);
    if (!reason.isEmpty())
        tip += QLatin1Char('\n') + reason;
    return tip;
}

} // namespace

CertificateSelectionDialog::CertificateSelectionDialog(
    const std::string& title, const std::string& displayText,
    const std::vector<crypto::CertificateDescription>& certificates, std::function<void(std::size_t)> view,
    QWidget* parent)
    : QDialog(parent), viewCertificate_(std::move(view)) {
    setObjectName(QStringLiteral("CertificateSelectionDialog"));
    setWindowTitle(title.empty() ? QStringLiteral("Выбор сертификата") : qs(title));
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(
        plainLabel(displayText.empty() ? QStringLiteral("Выберите сертификат из списка.") : qs(displayText)));

    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("certificateList"));
    list_->setColumnCount(kColumnCount);
    list_->setHeaderLabels({QStringLiteral("Кому выдан"), QStringLiteral("Организация"),
                            QStringLiteral("Понятное имя"), QStringLiteral("Кем выдан"),
                            QStringLiteral("Действителен по"), QStringLiteral("Алгоритм ключа"),
                            QStringLiteral("Закрытый ключ"), QStringLiteral("Состояние")});
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setAllColumnsShowFocus(true);
    QTreeWidgetItem* firstUsable = nullptr;
    const QBrush grey = palette().brush(QPalette::Disabled, QPalette::Text);
    for (std::size_t i = 0; i < certificates.size(); ++i) {
        const auto& c = certificates[i];
        const QString reason = unusableReason(c);
        auto* item = new CertificateItem(
            list_, QStringList{qs(c.issuedTo), qs(c.organization), qs(c.friendlyName), qs(c.issuedBy),
                               dateOnly(c.validTo), qs(c.keyAlgorithm),
                               c.hasPrivateKey ? QStringLiteral("Есть") : QStringLiteral("Нет"),
                               reason.isEmpty() ? QStringLiteral("Действителен") : reason});
        item->setData(0, Qt::UserRole, QVariant::fromValue<qulonglong>(i));
        item->setData(kValidTo, CertificateItem::kSortRole, dateSortKey(c.validTo));
        const QString tip = rowToolTip(c, reason);
        for (int column = 0; column < kColumnCount; ++column) {
            item->setToolTip(column, tip);
            // Greyed, yet it can still be chosen: a recipient's certificate needs no key of ours.
            if (!reason.isEmpty())
                item->setForeground(column, grey);
        }
        if (reason.isEmpty() && firstUsable == nullptr)
            firstUsable = item;
    }
    int columnsWidth = 0;
    for (int column = 0; column < list_->columnCount(); ++column) {
        list_->resizeColumnToContents(column);
        list_->setColumnWidth(column, std::min(list_->columnWidth(column) + 12, 320));
        columnsWidth += list_->columnWidth(column);
    }
    // Sortable by every column; the store's order until the user clicks a header.
    list_->header()->setSortIndicator(-1, Qt::AscendingOrder);
    list_->setSortingEnabled(true);
    list_->header()->setSortIndicatorShown(true);
    layout->addWidget(list_);

    // An empty store shows how to fill it instead of an empty table.
    emptyNote_ = plainLabel(QStringLiteral(
        "В хранилище нет сертификатов. Добавьте свой сертификат на странице «Сертификаты» (файл PKCS #12 "
        "или сертификат с файлом ключа) или командой «plombar-cli store import ФАЙЛ»."));
    emptyNote_->setObjectName(QStringLiteral("emptyStoreNote"));
    layout->addWidget(emptyNote_);
    list_->setVisible(!certificates.empty());
    emptyNote_->setVisible(certificates.empty());

    // The view button on the left, OK and Cancel on the right.
    auto* row = new QHBoxLayout;
    view_ = new QPushButton(QStringLiteral("Просмотр сертификата"), this);
    view_->setObjectName(QStringLiteral("viewButton"));
    view_->setAutoDefault(false);
    row->addWidget(view_);
    row->addStretch();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    setButtonTexts(buttons);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    row->addWidget(buttons);
    layout->addLayout(row);

    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(view_, &QPushButton::clicked, this, &CertificateSelectionDialog::viewSelected);
    // Driven by the selection, not the current row: see the class comment.
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &CertificateSelectionDialog::updateButtons);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (item != nullptr && item->isSelected())
            accept();
    });
    if (firstUsable != nullptr) {
        list_->setCurrentItem(firstUsable);
        firstUsable->setSelected(true);
    }
    updateButtons();

    // Wide enough for every column, within the screen.
    const int frame = 2 * list_->frameWidth() + list_->verticalScrollBar()->sizeHint().width();
    int width = std::max(640, columnsWidth + frame + layout->contentsMargins().left() +
                                  layout->contentsMargins().right());
    if (const QScreen* where = screen())
        width = std::min(width, where->availableGeometry().width() * 9 / 10);
    if (certificates.empty()) {
        // The note and the buttons, no more.
        emptyNote_->setMinimumWidth(480);
        resize(sizeHint());
        return;
    }
    resize(width, 360);
}

std::optional<std::size_t> CertificateSelectionDialog::selectedIndex() const {
    const auto selected = list_->selectedItems();
    if (selected.isEmpty())
        return std::nullopt;
    return static_cast<std::size_t>(selected.first()->data(0, Qt::UserRole).toULongLong());
}

void CertificateSelectionDialog::updateButtons() {
    const bool chosen = selectedIndex().has_value();
    ok_->setEnabled(chosen);
    view_->setEnabled(chosen);
}

void CertificateSelectionDialog::viewSelected() {
    if (const auto index = selectedIndex(); index && viewCertificate_)
        viewCertificate_(*index);
}

CertificateViewDialog::CertificateViewDialog(const crypto::CertificateDescription& c, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("CertificateViewDialog"));
    setWindowTitle(QStringLiteral("Сертификат"));
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    auto* tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("tabs"));
    layout->addWidget(tabs);

    // General
    auto* general = new QWidget;
    auto* generalLayout = new QVBoxLayout(general);
    generalLayout->addWidget(boldLabel(QStringLiteral("Сведения о сертификате")));
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    generalLayout->addWidget(line);
    auto* form = new QFormLayout;
    form->addRow(boldLabel(QStringLiteral("Кому выдан:")), plainLabel(qs(c.issuedTo)));
    form->addRow(boldLabel(QStringLiteral("Кем выдан:")), plainLabel(qs(c.issuedBy)));
    form->addRow(boldLabel(QStringLiteral("Действителен:")),
                 plainLabel(QStringLiteral("с %1 по %2").arg(qs(c.validFrom), qs(c.validTo))));
    if (!c.organization.empty())
        form->addRow(boldLabel(QStringLiteral("Организация:")), plainLabel(qs(c.organization)));
    if (!c.friendlyName.empty())
        form->addRow(boldLabel(QStringLiteral("Понятное имя:")), plainLabel(qs(c.friendlyName)));
    // Tells two certificates of one person apart.
    auto* thumbprint = plainLabel(qs(c.thumbprint));
    thumbprint->setObjectName(QStringLiteral("thumbprint"));
    form->addRow(boldLabel(QStringLiteral("Отпечаток:")), thumbprint);
    generalLayout->addLayout(form);
    auto* key = plainLabel(c.hasPrivateKey ? QStringLiteral("Есть закрытый ключ для этого сертификата.")
                                           : QStringLiteral("Закрытого ключа для этого сертификата нет."));
    key->setObjectName(QStringLiteral("privateKeyNote"));
    generalLayout->addWidget(key);
    generalLayout->addStretch();
    tabs->addTab(general, QStringLiteral("Общие"));

    // Details
    auto* detailsPage = new QWidget;
    auto* detailsLayout = new QVBoxLayout(detailsPage);
    std::vector<std::pair<QString, QString>> rows = {
        {QStringLiteral("Версия"), qs(c.version)},
        {QStringLiteral("Серийный номер"), qs(c.serialNumber)},
        {QStringLiteral("Алгоритм подписи"), qs(c.signatureAlgorithm)},
        {QStringLiteral("Издатель"), qs(c.issuer)},
        {QStringLiteral("Действителен с"), qs(c.validFrom)},
        {QStringLiteral("Действителен по"), qs(c.validTo)},
        {QStringLiteral("Субъект"), qs(c.subject)},
        {QStringLiteral("Открытый ключ"), qs(c.publicKeyAlgorithm)},
        {QStringLiteral("Параметры открытого ключа"), qs(c.publicKeyParameters)},
        {QStringLiteral("Отпечаток"), qs(c.thumbprint)},
    };
    for (std::size_t i = 0; i < c.extensions.size(); ++i) {
        const auto& [name, value] = c.extensions[i];
        const std::string oid = i < c.extensionOids.size() ? c.extensionOids[i] : std::string();
        rows.emplace_back(extensionName(oid, name), extensionValue(oid, value));
    }

    details_ = new QTableWidget(static_cast<int>(rows.size()), 2, detailsPage);
    details_->setObjectName(QStringLiteral("details"));
    details_->setHorizontalHeaderLabels({QStringLiteral("Поле"), QStringLiteral("Значение")});
    details_->verticalHeader()->hide();
    details_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    details_->setSelectionBehavior(QAbstractItemView::SelectRows);
    details_->setSelectionMode(QAbstractItemView::SingleSelection);
    // No field is cut off: long values wrap, and rows grow to hold them whenever the width changes.
    details_->setWordWrap(true);
    details_->setTextElideMode(Qt::ElideNone);
    details_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        const auto& [name, value] = rows[static_cast<std::size_t>(r)];
        auto* nameItem = new QTableWidgetItem(name);
        nameItem->setToolTip(name);
        details_->setItem(r, 0, nameItem);
        auto* item = new QTableWidgetItem(value);
        item->setData(Qt::UserRole, value);
        details_->setItem(r, 1, item);
    }
    details_->resizeColumnToContents(0);
    details_->setColumnWidth(0, std::min(details_->columnWidth(0), 220));
    details_->horizontalHeader()->setStretchLastSection(true);
    // Once the view has taken the new width (the signal comes before).
    connect(details_->horizontalHeader(), &QHeaderView::sectionResized, details_,
            [this] { QTimer::singleShot(0, details_, [this] { details_->resizeRowsToContents(); }); });
    details_->resizeRowsToContents();
    detailsLayout->addWidget(details_, 3);

    value_ = new QPlainTextEdit(detailsPage);
    value_->setObjectName(QStringLiteral("fieldValue"));
    value_->setReadOnly(true);
    detailsLayout->addWidget(value_, 2);
    connect(details_, &QTableWidget::itemSelectionChanged, this, [this] {
        const auto selected = details_->selectedItems();
        value_->setPlainText(selected.isEmpty()
                                 ? QString()
                                 : details_->item(selected.first()->row(), 1)->data(Qt::UserRole).toString());
    });
    tabs->addTab(detailsPage, QStringLiteral("Состав"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    setButtonTexts(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
    resize(600, 540);
}

PasswordDialog::PasswordDialog(const std::string& keyOwner, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("PasswordDialog"));
    setWindowTitle(QStringLiteral("Пароль"));
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(plainLabel(QStringLiteral("Введите пароль закрытого ключа:")));
    if (!keyOwner.empty())
        layout->addWidget(boldLabel(qs(keyOwner)));
    edit_ = new QLineEdit(this);
    edit_->setObjectName(QStringLiteral("password"));
    edit_->setEchoMode(QLineEdit::Password);
    layout->addWidget(edit_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    setButtonTexts(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    edit_->setFocus();
    setMinimumWidth(400);
}

namespace {

// Overwrites the characters of `text` where they lie, capacity included (freed unwiped, they
// would linger), when only the line edit and `text` hold that buffer: a typed password. A text
// given with setText() shares its buffer with the caller's string, which is the caller's to wipe.
void wipeEditText(const QString& text) {
    const auto* data = const_cast<QString&>(text).data_ptr().d_ptr();
    if (data == nullptr || data->ref_.loadRelaxed() != 2 || text.capacity() == 0)
        return;
    std::fill_n(const_cast<QChar*>(text.constData()), text.capacity(), QChar(u'\0'));
}

// Appends the UTF-8 form of one code point without allocating (the caller reserved room).
void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

} // namespace

std::string PasswordDialog::takePassword() {
    const QString typed = edit_->text(); // shares the line edit's buffer, copies nothing
    // UTF-8 takes at most three bytes per UTF-16 unit; reserved at once (and beyond the short-string
    // buffer), the string never reallocates and leaves no partial copy behind.
    std::string password;
    password.reserve(static_cast<std::size_t>(typed.size()) * 3 + 32);
    for (qsizetype i = 0; i < typed.size(); ++i) {
        char32_t c = typed.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < typed.size() && typed.at(i + 1).isLowSurrogate())
            c = QChar::surrogateToUcs4(static_cast<char16_t>(c), typed.at(++i).unicode());
        else if (QChar::isSurrogate(c))
            c = 0xFFFD;
        appendUtf8(password, c);
    }
    const qsizetype typedLength = typed.size();
    wipeEditText(typed);
    // The undo history keeps every typed character and survives setText() in its vector's memory:
    // filling it with as many entries of a harmless character overwrites them, then it is dropped.
    edit_->setText(QString());
    edit_->insert(QString(std::max<qsizetype>(typedLength * 4, 256), QChar(u'*')));
    edit_->setText(QString());
    return password;
}

// The typed password does not stay in the widget's buffer longer than the dialog.
PasswordDialog::~PasswordDialog() {
    wipeEditText(edit_->text());
    edit_->clear();
}

} // namespace plombar::app
