#include "ScriptedPrompts.h"

#include <QRegularExpression>

namespace plombar::app::test {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

QString quoted(const std::string& text) {
    return QLatin1Char('"') + qs(text) + QLatin1Char('"');
}

} // namespace

void ScriptedPrompts::record(const QString& entry, bool scripted) {
    const QString line = scripted ? entry : QStringLiteral("UNSCRIPTED ") + entry;
    log << line;
    if (onPrompt)
        onPrompt(line);
}

QStringList ScriptedPrompts::pendingAnswers() const {
    QStringList pending;
    for (const auto& f : files_)
        pending << QStringLiteral("file: ") + (f ? qs(*f) : QStringLiteral("cancel"));
    for (const auto& c : certificates_)
        pending << QStringLiteral("certificate: ") + (c.index
                                                          ? QString::number(static_cast<qulonglong>(*c.index))
                                                          : QStringLiteral("cancel"));
    for (const auto& p : passwords_)
        pending << QStringLiteral("password: ") + (p ? QStringLiteral("(given)") : QStringLiteral("cancel"));
    for (const auto& s : saves_)
        pending << QStringLiteral("save: ") + (s ? qs(*s) : QStringLiteral("cancel"));
    for (const bool yes : confirms_)
        pending << QStringLiteral("confirm: ") + (yes ? QStringLiteral("yes") : QStringLiteral("no"));
    return pending;
}

QStringList ScriptedPrompts::unscripted() const {
    return log.filter(QRegularExpression(QStringLiteral("^UNSCRIPTED ")));
}

void ScriptedPrompts::reset() {
    log.clear();
    progressShown_ = false;
    cancelAt_.reset();
    files_.clear();
    certificates_.clear();
    passwords_.clear();
    saves_.clear();
    confirms_.clear();
}

std::optional<std::string> ScriptedPrompts::openFile(const std::string& dialogName, const std::string& filter,
                                                     const std::string& initialFile) {
    const QString entry = QStringLiteral("openFile: %1 filter=%2 initial=%3")
                              .arg(qs(dialogName), quoted(filter), quoted(initialFile));
    if (files_.empty()) {
        record(entry, false);
        return std::nullopt;
    }
    auto answer = std::move(files_.front());
    files_.pop_front();
    record(entry);
    return answer;
}

void ScriptedPrompts::showMessage(const std::string& text) {
    record(QStringLiteral("message: ") + qs(text));
}

void ScriptedPrompts::showError(const std::string& text) {
    record(QStringLiteral("error: ") + qs(text));
}

void ScriptedPrompts::showDetailedError(const std::string& text, const std::string& details) {
    record(QStringLiteral("detailedError: %1 details=%2").arg(qs(text), quoted(details)));
}

std::optional<std::size_t>
ScriptedPrompts::selectCertificate(const std::string& title, const std::string& displayText,
                                   const std::vector<crypto::CertificateDescription>& certificates) {
    QStringList names;
    for (const auto& c : certificates)
        names << qs(c.issuedTo);
    const QString entry = QStringLiteral("selectCertificate: title=%1 text=%2 [%3]")
                              .arg(quoted(title), quoted(displayText), names.join(QStringLiteral("; ")));
    if (certificates_.empty()) {
        record(entry, false);
        return std::nullopt;
    }
    CertificateAnswer answer = std::move(certificates_.front());
    certificates_.pop_front();
    record(entry);
    for (std::size_t row : answer.viewFirst) {
        if (row < certificates.size())
            viewCertificate(certificates[row]);
        else
            record(QStringLiteral("viewCertificate: row %1 of %2 does not exist")
                       .arg(static_cast<qulonglong>(row))
                       .arg(static_cast<qulonglong>(certificates.size())),
                   false);
    }
    if (answer.index && *answer.index >= certificates.size()) {
        record(QStringLiteral("selectCertificate: row %1 of %2 does not exist")
                   .arg(static_cast<qulonglong>(*answer.index))
                   .arg(static_cast<qulonglong>(certificates.size())),
               false);
        return std::nullopt;
    }
    return answer.index;
}

void ScriptedPrompts::viewCertificate(const crypto::CertificateDescription& certificate) {
    record(QStringLiteral("viewCertificate: ") + qs(certificate.issuedTo));
}

std::optional<std::string> ScriptedPrompts::askPassword(const std::string& keyOwner) {
    const QString entry = QStringLiteral("password: ") + qs(keyOwner);
    if (passwords_.empty()) {
        record(entry, false);
        return std::nullopt;
    }
    auto answer = std::move(passwords_.front());
    passwords_.pop_front();
    record(entry);
    return answer;
}

void ScriptedPrompts::openFolder(const std::string& folder) {
    record(QStringLiteral("openFolder: ") + qs(folder));
}

std::optional<std::string> ScriptedPrompts::saveFile(const std::string& dialogName, const std::string& filter,
                                                     const std::string& initialFile) {
    const QString entry = QStringLiteral("saveFile: %1 filter=%2 initial=%3")
                              .arg(qs(dialogName), quoted(filter), quoted(initialFile));
    if (saves_.empty()) {
        record(entry, false);
        return std::nullopt;
    }
    auto answer = std::move(saves_.front());
    saves_.pop_front();
    record(entry);
    return answer;
}

bool ScriptedPrompts::confirm(const std::string& text) {
    const QString entry = QStringLiteral("confirm: ") + qs(text);
    if (confirms_.empty()) {
        record(entry, false);
        return false;
    }
    const bool yes = confirms_.front();
    confirms_.pop_front();
    record(entry);
    return yes;
}

class ScriptedPrompts::ScriptedProgressView final : public ProgressView {
public:
    explicit ScriptedProgressView(ScriptedPrompts& prompts) : prompts_(prompts) {}

    bool update(const std::string& title, std::uint64_t done, std::uint64_t) override {
        if (title != stage_) {
            stage_ = title;
            updates_ = 0;
            prompts_.record(QStringLiteral("progress: ") + qs(title));
        }
        ++updates_;
        const auto& point = prompts_.cancelAt_;
        if (point && done >= point->bytes && (point->stage.empty() || point->stage == title) &&
            updates_ >= point->update) {
            prompts_.cancelAt_.reset();
            prompts_.record(QStringLiteral("cancel: ") + qs(title));
            return false;
        }
        return true;
    }

private:
    ScriptedPrompts& prompts_;
    std::string stage_;
    int updates_ = 0;
};

std::unique_ptr<ProgressView> ScriptedPrompts::openProgress() {
    if (!progressShown_)
        return nullptr;
    return std::make_unique<ScriptedProgressView>(*this);
}

ProgressTimings ScriptedPrompts::progressTimings() const {
    return {std::chrono::milliseconds(0), std::chrono::milliseconds(0)};
}

} // namespace plombar::app::test
