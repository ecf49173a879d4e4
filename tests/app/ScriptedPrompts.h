#pragma once

// A scripted stand-in for the prompts, for GUI tests that drive the real MainWindow.
//
// Script the user's answers before the click, in the order the handler will ask:
//
//     ScriptedPrompts prompts;
//     MainWindow window(prompts);
//     prompts.answerFile("/tmp/a.txt");        // the next open-file dialog confirms /tmp/a.txt
//     prompts.answerCertificate(0);            // the next certificate selection picks row 0
//     prompts.answerPassword("secret");        // the next key password prompt
//     QVERIFY(clickEnabled(window, window.signingPage->chooseFileButton)); // (GuiTest.h)
//     QCOMPARE(prompts.log, QStringList({...}));
//
// Every prompt is recorded in `log` as one "kind: text" entry, in the order asked:
//
//     openFile: <dialog name> filter="<filter>" initial="<file it opens on>"
//     message: <text>                      plain message box
//     error: <text>                        the application's error report
//     detailedError: <text> details="<details>"   the error report with "Подробности"
//     selectCertificate: title="<title>" text="<display text>" [<issued to>; <issued to>; ...]
//     viewCertificate: <issued to>
//     password: <key owner>
//     openFolder: <folder>
//     saveFile: <dialog name> filter="<filter>" initial="<file>"
//     confirm: <question>
//     progress: <stage>                   the progress dialog shows a stage (only when scripted)
//     cancel: <stage>                     "Отмена" pressed
//
// A prompt that needs an answer (openFile, selectCertificate, password) and finds its queue empty is
// recorded as "UNSCRIPTED <entry>" and answered with cancel, so that a test fails on the log and
// never blocks. Message boxes, error reports, certificate views and folder openings need no script.
//
// `onPrompt` is called with each entry right after it is recorded and before the answer is given:
// use it to look at the window while the handler waits (labels, slots, cursor), or throw from it
// to make a prompt fail.
//
// answerCertificate/cancelCertificate may list rows that the user views (through the selection
// dialog's view button) before answering; each is recorded as a viewCertificate entry.

#include "Prompts.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plombar::app::test {

class ScriptedPrompts : public Prompts {
public:
    // Answers, consumed in order per kind.
    void answerFile(const std::string& path) { files_.emplace_back(path); }
    void cancelFile() { files_.emplace_back(std::nullopt); }
    void answerCertificate(std::size_t index, std::vector<std::size_t> viewFirst = {}) {
        certificates_.push_back({index, std::move(viewFirst)});
    }
    void cancelCertificate(std::vector<std::size_t> viewFirst = {}) {
        certificates_.push_back({std::nullopt, std::move(viewFirst)});
    }
    void answerPassword(const std::string& password) { passwords_.emplace_back(password); }
    void cancelPassword() { passwords_.emplace_back(std::nullopt); }
    void answerSave(const std::string& path) { saves_.emplace_back(path); }
    void cancelSave() { saves_.emplace_back(std::nullopt); }
    void answerConfirm(bool yes) { confirms_.push_back(yes); }

    // The progress dialog shows at once and is updated on every advance (no delay, no throttle);
    // "Отмена" is pressed once `bytes` of a stage named `stage` are done (any stage when empty), at
    // the stage's `update`-th update or later (a stage's first update is its start).
    // Without this, no progress dialog is shown and nothing is logged for progress.
    void showProgress() { progressShown_ = true; }
    void cancelProgressAt(std::uint64_t bytes, const std::string& stage = "", int update = 1) {
        progressShown_ = true;
        cancelAt_ = {bytes, stage, update};
    }

    // Scripted answers not consumed yet, one line each ("file: /tmp/a", "certificate: cancel", ...).
    QStringList pendingAnswers() const;
    // The log entries of prompts that found no scripted answer.
    QStringList unscripted() const;
    // Forgets the log and every pending answer (onPrompt stays).
    void reset();

    QStringList log;
    std::function<void(const QString& entry)> onPrompt;

    std::optional<std::string> openFile(const std::string& dialogName, const std::string& filter,
                                        const std::string& initialFile) override;
    void showMessage(const std::string& text) override;
    void showError(const std::string& text) override;
    void showDetailedError(const std::string& text, const std::string& details) override;
    std::optional<std::size_t>
    selectCertificate(const std::string& title, const std::string& displayText,
                      const std::vector<crypto::CertificateDescription>& certificates) override;
    void viewCertificate(const crypto::CertificateDescription& certificate) override;
    std::optional<std::string> askPassword(const std::string& keyOwner) override;
    void openFolder(const std::string& folder) override;
    std::optional<std::string> saveFile(const std::string& dialogName, const std::string& filter,
                                        const std::string& initialFile) override;
    bool confirm(const std::string& text) override;
    std::unique_ptr<ProgressView> openProgress() override;
    ProgressTimings progressTimings() const override;

private:
    class ScriptedProgressView;
    struct CancelPoint {
        std::uint64_t bytes;
        std::string stage;
        int update;
    };

    struct CertificateAnswer {
        std::optional<std::size_t> index;
        std::vector<std::size_t> viewFirst;
    };

    // Records one entry (prefixed "UNSCRIPTED " when `scripted` is false) and runs onPrompt.
    void record(const QString& entry, bool scripted = true);

    std::deque<std::optional<std::string>> files_;
    std::deque<CertificateAnswer> certificates_;
    std::deque<std::optional<std::string>> passwords_;
    std::deque<std::optional<std::string>> saves_;
    std::deque<bool> confirms_;
    bool progressShown_ = false;
    std::optional<CancelPoint> cancelAt_;
};

} // namespace plombar::app::test
