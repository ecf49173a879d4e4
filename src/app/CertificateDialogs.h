#pragma once

#include "crypto/CertificateDescription.h"

#include <QDialog>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTreeWidget;

namespace plombar::app {

// The modal certificate selection dialog: one row per certificate (issued to, organisation, friendly
// name, issued by, valid until, key algorithm, private key present, state), sortable by any column.
// A certificate that is not valid now or has no private key is greyed with the reason in its state
// and tooltip, yet can be chosen; the first other row is selected at start. Every row's tooltip
// shows the subject and the thumbprint. An empty list shows how to add a certificate instead. OK
// and "view" work on the selected row only: the list's current row alone (which it takes on
// gaining focus) is not a choice.
class CertificateSelectionDialog : public QDialog {
    Q_OBJECT

public:
    // `view` shows one certificate (by index) in the view dialog.
    CertificateSelectionDialog(const std::string& title, const std::string& displayText,
                               const std::vector<crypto::CertificateDescription>& certificates,
                               std::function<void(std::size_t)> view, QWidget* parent = nullptr);

    // The chosen certificate's index; nullopt when no row is selected.
    std::optional<std::size_t> selectedIndex() const;

    QTreeWidget* list() const { return list_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* viewButton() const { return view_; }
    QLabel* emptyStoreNote() const { return emptyNote_; }

private:
    void updateButtons();
    void viewSelected();

    QTreeWidget* list_ = nullptr;
    QLabel* emptyNote_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* view_ = nullptr;
    std::function<void(std::size_t)> viewCertificate_;
};

// The modal certificate view dialog: the General tab (issued to, issued by, validity, private key)
// and the Details tab (every field, with the selected field's full value below the table).
class CertificateViewDialog : public QDialog {
    Q_OBJECT

public:
    explicit CertificateViewDialog(const crypto::CertificateDescription& certificate,
                                   QWidget* parent = nullptr);

    QTableWidget* details() const { return details_; }

private:
    QTableWidget* details_ = nullptr;
    QPlainTextEdit* value_ = nullptr;
};

// The key password dialog: a masked line, OK and "Отмена".
class PasswordDialog : public QDialog {
    Q_OBJECT

public:
    explicit PasswordDialog(const std::string& keyOwner, QWidget* parent = nullptr);
    ~PasswordDialog() override;

    QLineEdit* passwordEdit() const { return edit_; }

    // The typed password as UTF-8, in a string whose buffer holds nothing else (its move takes
    // the buffer along, leaving no copy). The line edit is emptied and its text and undo history
    // are overwritten, so that the password stays nowhere in the widget's memory.
    std::string takePassword();

private:
    QLineEdit* edit_ = nullptr;
};

} // namespace plombar::app
