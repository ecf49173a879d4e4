#pragma once

#include <QDialog>

#include <string>

class QPlainTextEdit;
class QPushButton;
class QToolButton;

namespace plombar::app {

// An error report with a technical tail: the stop icon, one plain sentence, and below it, folded
// under "Подробности", the details (OpenSSL's errors, say) for whoever needs them. OK closes it.
// Without details there is nothing to unfold and the expander is hidden.
class DetailedErrorDialog : public QDialog {
    Q_OBJECT

public:
    DetailedErrorDialog(const std::string& title, const std::string& text, const std::string& details,
                        QWidget* parent = nullptr);

    QToolButton* detailsButton() const { return expander_; }
    QPlainTextEdit* detailsView() const { return details_; }
    QPushButton* okButton() const { return ok_; }

private:
    void showDetails(bool shown);

    QToolButton* expander_ = nullptr;
    QPlainTextEdit* details_ = nullptr;
    QPushButton* ok_ = nullptr;
};

} // namespace plombar::app
