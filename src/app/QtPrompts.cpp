#include "QtPrompts.h"

#include "CertificateDialogs.h"
#include "Dispatch.h"
#include "ErrorDialog.h"
#include "FileFilter.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QUrl>

#include <algorithm>
#include <utility>

namespace plombar::app {

namespace {

// A message box in the middle of the screen rather than over its parent window.
class ScreenCentredMessageBox : public QMessageBox {
public:
    ScreenCentredMessageBox(Icon icon, const QString& title, const QString& text, QWidget* parent)
        : QMessageBox(icon, title, text, QMessageBox::Ok, parent) {
        // The text is shown as given: a path with "<" is not markup.
        setTextFormat(Qt::PlainText);
        button(QMessageBox::Ok)->setText(QStringLiteral("OK"));
        setEscapeButton(QMessageBox::Ok);
    }

protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        if (const QScreen* where = screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(where->availableGeometry().center());
            move(frame.topLeft());
        }
    }
};

} // namespace

QtPrompts::QtPrompts(std::string title, QWidget* parent) : title_(std::move(title)), parent_(parent) {}

QWidget* QtPrompts::dialogParent() const {
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    return parent_.data();
}

// Qt's own file dialog (no title of its own: Qt's default caption for opening or saving), named
// for the tests, with the filter's entries, opened on `initialFile`. A typed name of a file that
// does not exist is accepted; whether it will do is for the caller.
std::optional<std::string> QtPrompts::runFileDialog(QFileDialog::AcceptMode mode,
                                                    const std::string& dialogName, const std::string& filter,
                                                    const std::string& initialFile) {
    BusyCursorPause normalCursor;
    QFileDialog dialog(dialogParent());
    dialog.setObjectName(QString::fromStdString(dialogName));
    dialog.setAcceptMode(mode);
    dialog.setFileMode(QFileDialog::AnyFile);
    const QStringList filters = qtNameFilters(filter);
    if (!filters.isEmpty())
        dialog.setNameFilters(filters);
    if (!initialFile.empty()) {
        const QFileInfo last(QString::fromStdString(initialFile));
        dialog.setDirectory(last.absolutePath());
        dialog.selectFile(last.fileName());
    }
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return std::nullopt;
    return chosen.first().toStdString();
}

std::optional<std::string> QtPrompts::openFile(const std::string& dialogName, const std::string& filter,
                                               const std::string& initialFile) {
    return runFileDialog(QFileDialog::AcceptOpen, dialogName, filter, initialFile);
}

void QtPrompts::showMessage(const std::string& text) {
    BusyCursorPause normalCursor;
    ScreenCentredMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title_),
                                QString::fromStdString(text), dialogParent());
    box.exec();
}

void QtPrompts::showError(const std::string& text) {
    BusyCursorPause normalCursor;
    ScreenCentredMessageBox box(QMessageBox::Critical, QString::fromStdString(title_),
                                QString::fromStdString(text), dialogParent());
    box.exec();
}

void QtPrompts::showDetailedError(const std::string& text, const std::string& details) {
    BusyCursorPause normalCursor;
    DetailedErrorDialog dialog(title_, text, details, dialogParent());
    dialog.exec();
}

std::optional<std::size_t>
QtPrompts::selectCertificate(const std::string& title, const std::string& displayText,
                             const std::vector<crypto::CertificateDescription>& certificates) {
    BusyCursorPause normalCursor;
    CertificateSelectionDialog dialog(
        title, displayText, certificates,
        [this, &certificates](std::size_t i) { viewCertificate(certificates.at(i)); }, dialogParent());
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.selectedIndex();
}

void QtPrompts::viewCertificate(const crypto::CertificateDescription& certificate) {
    BusyCursorPause normalCursor;
    CertificateViewDialog dialog(certificate, dialogParent());
    dialog.exec();
}

std::optional<std::string> QtPrompts::askPassword(const std::string& keyOwner) {
    BusyCursorPause normalCursor;
    PasswordDialog dialog(keyOwner, dialogParent());
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.takePassword();
}

std::optional<std::string> QtPrompts::saveFile(const std::string& dialogName, const std::string& filter,
                                               const std::string& initialFile) {
    return runFileDialog(QFileDialog::AcceptSave, dialogName, filter, initialFile);
}

bool QtPrompts::confirm(const std::string& text) {
    BusyCursorPause normalCursor;
    QMessageBox box(QMessageBox::Question, QString::fromStdString(title_), QString::fromStdString(text),
                    QMessageBox::Yes | QMessageBox::No, dialogParent());
    box.setTextFormat(Qt::PlainText);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("Да"));
    box.button(QMessageBox::No)->setText(QStringLiteral("Нет"));
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

namespace {

// A window-modal QProgressDialog: the window repaints while update() runs its events, its controls
// take no input meanwhile. The bar counts in thousandths, as sizes past 2 GB do not fit an int.
class DialogProgressView final : public ProgressView {
public:
    explicit DialogProgressView(QWidget* parent) : dialog_(parent) {
        dialog_.setWindowModality(Qt::WindowModal);
        dialog_.setCancelButton(new QPushButton(QStringLiteral("Отмена"), &dialog_));
        dialog_.setAutoReset(false);
        dialog_.setAutoClose(false);
        dialog_.setMinimumDuration(0);
        dialog_.setRange(0, scale);
        dialog_.setObjectName(QStringLiteral("progressDialog"));
    }

    bool update(const std::string& title, std::uint64_t done, std::uint64_t total) override {
        const QString text = QString::fromStdString(title);
        if (dialog_.windowTitle() != text) {
            dialog_.setWindowTitle(text);
            dialog_.setLabelText(text);
        }
        dialog_.setMaximum(total == 0 ? 0 : scale); // 0: a busy bar, the size is not known
        const std::uint64_t part = total == 0 ? 0 : (done >= total ? scale : done / (total / scale + 1));
        dialog_.setValue(static_cast<int>(std::min<std::uint64_t>(part, scale)));
        if (!dialog_.isVisible()) {
            BusyCursorPause pause;
            dialog_.show();
        }
        QApplication::processEvents();
        return !dialog_.wasCanceled();
    }

private:
    static constexpr int scale = 1000;
    QProgressDialog dialog_;
};

} // namespace

std::unique_ptr<ProgressView> QtPrompts::openProgress() {
    return std::make_unique<DialogProgressView>(dialogParent());
}

void QtPrompts::openFolder(const std::string& folder) {
    // fromLocalFile, not QUrl(folder): "#", "?" and spaces in a folder name are not URL syntax here.
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder)));
}

} // namespace plombar::app
