#include "Unit1.h"

#include "Dispatch.h"
#include "Prompts.h"
#include "platform/FileSize.h"

#include <QCheckBox>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QTabWidget>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <utility>

namespace plombar::app {

namespace {

constexpr int kWindowWidth = 625;
constexpr int kWindowHeight = 343;
constexpr int kWindowLeft = 192;
constexpr int kWindowTop = 124;
// The page control sits at (8, 16) and keeps the same distance to the right and bottom edges that
// it has in a window of the initial size, where it measures 593 x 281.
constexpr int kPagesLeft = 8;
constexpr int kPagesTop = 16;
constexpr int kPagesRightGap = kWindowWidth - kPagesLeft - 593;
constexpr int kPagesBottomGap = kWindowHeight - kPagesTop - 281;

constexpr int kMargin = 16;  // from the page's edges
constexpr int kGap = 12;     // between controls side by side or rows
constexpr int kLabelGap = 6; // between a button and the path shown under it
constexpr int kMinButtonWidth = 90;

// A page that places its controls whenever its size changes; the tab widget gives a page its size
// only when the page is shown.
class TabSheet : public QWidget {
public:
    explicit TabSheet(std::function<void(QSize)> arrange) : arrange_(std::move(arrange)) {}

protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        arrange_(event->size());
    }

private:
    std::function<void(QSize)> arrange_;
};

QPushButton* makeButton(QWidget* page, const char* name, const QString& caption, bool enabled) {
    auto* button = new QPushButton(caption, page);
    button->setObjectName(QString::fromLatin1(name));
    button->setEnabled(enabled);
    button->setAutoDefault(false);
    return button;
}

QCheckBox* makeCheckBox(QWidget* page, const char* name, const QString& caption) {
    auto* box = new QCheckBox(caption, page);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

QLabel* makeLabel(QWidget* page, const char* name) {
    auto* label = new QLabel(page);
    label->setObjectName(QString::fromLatin1(name));
    // A path is text, never markup: a file named "<b>x" must show as it is.
    label->setTextFormat(Qt::PlainText);
    // A long path runs past the page's edge; it can still be selected and copied.
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->adjustSize();
    return label;
}

QSize buttonSize(const QPushButton* button) {
    const QSize hint = button->sizeHint();
    return {std::max(hint.width(), kMinButtonWidth), hint.height()};
}

int rowHeight(std::initializer_list<const QWidget*> widgets) {
    int height = 0;
    for (const QWidget* w : widgets)
        height = std::max(height, w->sizeHint().height());
    return height;
}

int labelLineHeight(const QLabel* label) {
    return label->fontMetrics().height();
}

} // namespace

TForm1::TForm1(Prompts& prompts, QWidget* parent) : QWidget(parent), prompts_(prompts) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Пломбарь 1.7 от 12.12.2018"));

    createControls();
    setFocusOrder();
    connectEvents();

    setMinimumSize(kWindowWidth, kWindowHeight);
    resize(kWindowWidth, kWindowHeight);
    move(kWindowLeft, kWindowTop);
    PageControl1->setCurrentIndex(0);
}

TForm1::~TForm1() = default;

void TForm1::createControls() {
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setGeometry(kPagesLeft, kPagesTop, 593, 281);

    auto makePage = [this](const char* name, const QString& caption, void (TForm1::*arrange)(QSize)) {
        auto* page = new TabSheet([this, arrange](QSize size) { (this->*arrange)(size); });
        page->setObjectName(QString::fromLatin1(name));
        PageControl1->addTab(page, caption);
        return page;
    };
    TabSheet1 = makePage("TabSheet1", QStringLiteral("Подпись"), &TForm1::arrangeSigningPage);
    TabSheet2 = makePage("TabSheet2", QStringLiteral("Верификация"), &TForm1::arrangeVerificationPage);
    TabSheet3 = makePage("TabSheet3", QStringLiteral("Шифрование"), &TForm1::arrangeEncryptionPage);
    TabSheet4 = makePage("TabSheet4", QStringLiteral("DECRYPT"), &TForm1::arrangeDecryptionPage);

    CheckBox1 = makeCheckBox(TabSheet1, "CheckBox1", QStringLiteral("Упаковать файлы 7zip"));
    Button2 = makeButton(TabSheet1, "Button2", QStringLiteral("Открыть файл для подписания"), true);
    Button1 = makeButton(TabSheet1, "Button1", QStringLiteral("Подписать"), false);
    CheckBox2 = makeCheckBox(TabSheet1, "CheckBox2", QStringLiteral("BASE64"));
    CheckBox3 = makeCheckBox(TabSheet1, "CheckBox3", QStringLiteral("Прикрепленная"));
    Label2 = makeLabel(TabSheet1, "Label2");

    Button4 = makeButton(TabSheet2, "Button4", QStringLiteral("Исходный файл"), true);
    Label1 = makeLabel(TabSheet2, "Label1");
    Button5 = makeButton(TabSheet2, "Button5", QStringLiteral("Файл подписи"), true);
    Label3 = makeLabel(TabSheet2, "Label3");
    Button3 = makeButton(TabSheet2, "Button3", QStringLiteral("Проверить"), false);
    Memo1 = new QPlainTextEdit(TabSheet2);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setFocusPolicy(Qt::StrongFocus);
    // Read-only, so Tab has nothing to insert: let it move the focus on.
    Memo1->setTabChangesFocus(true);
    Memo1->setPlainText(QStringLiteral("Memo1"));

    Button11 = makeButton(TabSheet3, "Button11", QStringLiteral("Выбрать Сертификат"), false);
    CheckBox4 = makeCheckBox(TabSheet3, "CheckBox4", QStringLiteral("Выбрать сертификат из файла"));
    Label6 = makeLabel(TabSheet3, "Label6");
    Button6 = makeButton(TabSheet3, "Button6", QStringLiteral("Открыть файл"), true);
    Label4 = makeLabel(TabSheet3, "Label4");
    Button7 = makeButton(TabSheet3, "Button7", QStringLiteral("Зашифровать"), false);

    Button8 = makeButton(TabSheet4, "Button8", QStringLiteral("Открыть файл"), true);
    Button9 = makeButton(TabSheet4, "Button9", QStringLiteral("DECRYPT"), false);
    Label5 = makeLabel(TabSheet4, "Label5");
}

// The area around the pages shows the application-workspace colour, as an MDI area does. Painted
// here rather than set as the background role, which would hand a light text colour to every
// control on the pages.
void TForm1::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().brush(QPalette::Dark));
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const QSize size = event->size();
    PageControl1->setGeometry(kPagesLeft, kPagesTop, std::max(0, size.width() - kPagesLeft - kPagesRightGap),
                              std::max(0, size.height() - kPagesTop - kPagesBottomGap));
}

// Signing: the packing box at the top, the two buttons side by side below it, the two format boxes
// side by side below those, the chosen path at the bottom.
void TForm1::arrangeSigningPage(QSize) {
    int y = kMargin;
    CheckBox1->setGeometry(QRect(QPoint(kMargin, y), CheckBox1->sizeHint()));
    y += CheckBox1->height() + kGap;

    const int buttons = rowHeight({Button2, Button1});
    Button2->setGeometry(kMargin, y, buttonSize(Button2).width(), buttons);
    const int right = Button2->geometry().right() + 1 + kGap;
    Button1->setGeometry(right, y, buttonSize(Button1).width(), buttons);
    y += buttons + kGap;

    CheckBox2->setGeometry(QRect(QPoint(kMargin, y), CheckBox2->sizeHint()));
    CheckBox3->setGeometry(QRect(QPoint(right, y), CheckBox3->sizeHint()));
    y += rowHeight({CheckBox2, CheckBox3}) + kGap;

    Label2->move(kMargin, y);
}

// Verification: each choice button with its path under it, "Проверить" at the top right, the
// report filling the rest of the page.
void TForm1::arrangeVerificationPage(QSize page) {
    const int width = std::max(buttonSize(Button4).width(), buttonSize(Button5).width());
    const int height = rowHeight({Button4, Button5, Button3});
    const int line = labelLineHeight(Label1);

    int y = kMargin;
    Button4->setGeometry(kMargin, y, width, height);
    y += height + kLabelGap;
    Label1->move(kMargin, y);
    y += line + kGap;
    Button5->setGeometry(kMargin, y, width, height);
    y += height + kLabelGap;
    Label3->move(kMargin, y);
    y += line + kGap;

    const int verifyWidth = buttonSize(Button3).width();
    Button3->setGeometry(page.width() - kMargin - verifyWidth, kMargin, verifyWidth, height);

    Memo1->setGeometry(kMargin, y, std::max(0, page.width() - 2 * kMargin),
                       std::max(0, page.height() - y - kMargin));
}

// Encryption: "Выбрать Сертификат" at the top left with the source box and the certificate path to
// its right, the file choice with its path below, "Зашифровать" lower down.
void TForm1::arrangeEncryptionPage(QSize) {
    const int line = labelLineHeight(Label6);
    const int height = rowHeight({Button11, Button6, Button7});

    int y = kMargin;
    Button11->setGeometry(kMargin, y, buttonSize(Button11).width(), height);
    const int right = Button11->geometry().right() + 1 + kGap;
    const QSize box = CheckBox4->sizeHint();
    CheckBox4->setGeometry(QRect(QPoint(right, y + (height - box.height()) / 2), box));
    y += height + kLabelGap;
    Label6->move(right, y);
    y += line + kGap;

    Button6->setGeometry(kMargin, y, buttonSize(Button6).width(), height);
    y += height + kLabelGap;
    Label4->move(kMargin, y);
    y += line + 2 * kGap;

    Button7->setGeometry(kMargin, y, buttonSize(Button7).width(), height);
}

// Decryption: the two buttons side by side, the path under them.
void TForm1::arrangeDecryptionPage(QSize) {
    const int height = rowHeight({Button8, Button9});
    Button8->setGeometry(kMargin, kMargin, buttonSize(Button8).width(), height);
    Button9->setGeometry(Button8->geometry().right() + 1 + kGap, kMargin, buttonSize(Button9).width(),
                         height);
    Label5->move(kMargin, kMargin + height + kLabelGap);
}

void TForm1::setFocusOrder() {
    QWidget* const chain[] = {Button1, Button2, CheckBox1, CheckBox2, CheckBox3, Memo1,   Button3, Button4,
                              Button5, Button7, Button6,   CheckBox4, Button11,  Button8, Button9};
    for (std::size_t i = 1; i < std::size(chain); ++i)
        setTabOrder(chain[i - 1], chain[i]);
}

void TForm1::connectGuarded(QPushButton* button, void (TForm1::*handler)()) {
    connect(button, &QPushButton::clicked, this,
            [this, handler] { runGuarded(prompts_, [this, handler] { (this->*handler)(); }); });
}

void TForm1::connectEvents() {
    connectGuarded(Button1, &TForm1::Button1Click);
    connectGuarded(Button2, &TForm1::Button2Click);
    connectGuarded(Button3, &TForm1::Button3Click);
    connectGuarded(Button4, &TForm1::Button4Click);
    connectGuarded(Button5, &TForm1::Button5Click);
    connectGuarded(Button6, &TForm1::Button6Click);
    connectGuarded(Button7, &TForm1::Button7Click);
    connectGuarded(Button8, &TForm1::Button8Click);
    connectGuarded(Button9, &TForm1::Button9Click);
    connectGuarded(Button11, &TForm1::Button11Click);
    // Every change of the box runs the handler, whether the user clicked or a handler set it.
    connect(CheckBox4, &QCheckBox::toggled, this,
            [this] { runGuarded(prompts_, [this] { CheckBox4Click(); }); });
}

bool TForm1::IsFileSizeAllowed(const std::string& path) {
    return FileSizeForGate(path) <= MaxInputFileSize;
}

void TForm1::setLabelText(QLabel* label, const std::string& text) {
    label->setText(QString::fromStdString(text));
    label->adjustSize();
    label->repaint();
}

// A choice that the size gate checks. The gate also runs when the dialog was cancelled, on the
// path chosen before (or on no path, which fails with "I/O error 6"). A gate error leaves the slot
// with the dialog's result while the label and the button keep their state; a refusal empties the
// slot and the label. The operation button is only ever enabled here, never disabled.
void TForm1::chooseGated(TOpenDialog& dialog, std::string& slot, QLabel* label, QPushButton* operation) {
    if (dialog.execute(prompts_))
        slot = dialog.fileName();
    if (!IsFileSizeAllowed(slot)) {
        slot.clear();
        prompts_.showMessage("Размер файла не должен превышать 299 Мб");
    }
    setLabelText(label, slot);
    if (!slot.empty() && operation != nullptr)
        operation->setEnabled(true);
}

// A choice on the verification page: no gate and no check that the file exists; a cancel empties
// the slot.
void TForm1::chooseUngated(TOpenDialog& dialog, std::string& slot, QLabel* label) {
    slot.clear();
    if (dialog.execute(prompts_))
        slot = dialog.fileName();
    setLabelText(label, slot);
    if (!VerifyDataFileName.empty() && !VerifySignatureFileName.empty())
        Button3->setEnabled(true);
}

void TForm1::Button2Click() {
    chooseGated(OpenDialog2, SignFileName, Label2, Button1);
}
void TForm1::Button6Click() {
    chooseGated(OpenDialog4, EncryptFileName, Label4, Button7);
}
void TForm1::Button8Click() {
    chooseGated(OpenDialog5, DecryptFileName, Label5, Button9);
}
// Choosing the certificate file never enables "Зашифровать": only a file to encrypt does. A gate
// error keeps the chosen path in the slot, and "Зашифровать" will use it, so the label shows it too.
void TForm1::Button11Click() {
    try {
        chooseGated(OpenDialog6, RecipientCertFileName, Label6, nullptr);
    } catch (...) {
        setLabelText(Label6, RecipientCertFileName);
        throw;
    }
}

void TForm1::Button4Click() {
    chooseUngated(OpenDialog1, VerifyDataFileName, Label1);
}
void TForm1::Button5Click() {
    chooseUngated(OpenDialog3, VerifySignatureFileName, Label3);
}

// While the box is ticked the label shows the certificate file that "Зашифровать" will use: the
// slot keeps its path through every untick and tick, and encrypting for a file the window does not
// show would be encrypting for someone the user cannot see. Unticked, the label is empty.
void TForm1::CheckBox4Click() {
    setLabelText(Label6, CheckBox4->isChecked() ? RecipientCertFileName : std::string());
    Button11->setEnabled(CheckBox4->isChecked());
}

} // namespace plombar::app
