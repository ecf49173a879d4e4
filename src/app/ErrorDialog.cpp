#include "ErrorDialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace plombar::app {

DetailedErrorDialog::DetailedErrorDialog(const std::string& title, const std::string& text,
                                         const std::string& details, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("DetailedErrorDialog"));
    setWindowTitle(QString::fromStdString(title));
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    auto* icon = new QLabel(this);
    const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical, nullptr, this).pixmap(iconSize));
    icon->setAlignment(Qt::AlignTop);
    row->addWidget(icon);
    auto* message = new QLabel(QString::fromStdString(text), this);
    message->setObjectName(QStringLiteral("message"));
    message->setTextFormat(Qt::PlainText);
    message->setWordWrap(true);
    message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    message->setMinimumWidth(360);
    row->addWidget(message, 1);
    layout->addLayout(row);

    expander_ = new QToolButton(this);
    expander_->setObjectName(QStringLiteral("detailsButton"));
    expander_->setText(QStringLiteral("Подробности"));
    expander_->setCheckable(true);
    expander_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    expander_->setArrowType(Qt::RightArrow);
    expander_->setAutoRaise(true);
    expander_->setVisible(!details.empty());
    layout->addWidget(expander_, 0, Qt::AlignLeft);

    details_ = new QPlainTextEdit(this);
    details_->setObjectName(QStringLiteral("details"));
    details_->setReadOnly(true);
    details_->setPlainText(QString::fromStdString(details));
    details_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    details_->setVisible(false);
    layout->addWidget(details_, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    ok_->setText(QStringLiteral("OK"));
    ok_->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);

    connect(expander_, &QToolButton::toggled, this, &DetailedErrorDialog::showDetails);
    ok_->setFocus();
}

void DetailedErrorDialog::showDetails(bool shown) {
    expander_->setArrowType(shown ? Qt::DownArrow : Qt::RightArrow);
    details_->setVisible(shown);
    adjustSize();
}

} // namespace plombar::app
