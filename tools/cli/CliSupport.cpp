#include "CliSupport.h"

#include "crypto/CertificateText.h"
#include "crypto/GostRuntime.h"
#include "platform/AvailableMemory.h"
#include "platform/Errors.h"
#include "platform/InputFile.h"
#include "platform/Paths.h"
#include "platform/SystemErrors.h"
#include "platform/UniqueFd.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace plombar::cli {

using namespace plombar::crypto;

const char* const kPasswordOptionsHelp =
    "  --password-file FILE  взять пароль из первой строки файла FILE\n"
    "  --password-fd N       прочитать пароль из дескриптора N (до перевода строки)\n"
    "                        без них пароль спрашивается на терминале без эха;\n"
    "                        Ctrl-D вместо пароля отменяет ввод (код 9);\n"
    "                        файл или дескриптор, который не читается (папка,\n"
    "                        закрытый дескриптор), — ошибка с кодом 3, а не неверный пароль;\n"
    "                        в командной строке пароль не передаётся никогда\n";

const char* const kThumbprintHelp =
    "Отпечаток, который не может быть отпечатком SHA-1 или его началом (не шестнадцатеричный,\n"
    "короче 4 или длиннее 40 цифр), — ошибка в команде (код 2); код 7 значит, что такого\n"
    "сертификата в хранилище нет.\n";

std::string ExitCodeHelp(const std::vector<int>& codes) {
    static const std::map<int, const char*> kTexts = {
        {kExitOk, "успех"},
        {kExitFailure, "иная ошибка (и когда вывод не дошёл до стандартного вывода)"},
        {kExitUsage, "неверная команда или параметр"},
        {kExitFileNotFound, "входной файл не найден или не читается (также файл или дескриптор пароля)"},
        {kExitNotACertificate, "файл не является сертификатом, файлом PKCS #12 или закрытым ключом"},
        {kExitWrongPassword, "неверный пароль"},
        {kExitKeyMismatch, "закрытый ключ не соответствует сертификату"},
        {kExitNotInStore, "сертификат не найден в хранилище (или найден не один)"},
        {kExitEngineMissing, "не установлен модуль ГОСТ для OpenSSL (libengine-gost-openssl)"},
        {kExitCancelled, "ввод пароля отменён (Ctrl-D) или нет терминала для него"},
        {kExitNoKey, "закрытый ключ сертификата недоступен"},
        {kExitSignFailed, "подписание не удалось"},
        {kExitWriteFailed, "не удалось записать выходной файл"},
        {kExitArchiveFailed, "подпись записана, но архив 7z не создан"},
    };
    std::string text = "Коды завершения:\n";
    for (int code : codes) {
        char line[16];
        std::snprintf(line, sizeof line, "  %2d  ", code);
        text += line;
        text += kTexts.at(code);
        text += "\n";
    }
    return text;
}

Arguments::Arguments(const std::vector<std::string>& arguments, const std::vector<std::string>& valued,
                     const std::vector<std::string>& flags) {
    const auto isIn = [](const std::vector<std::string>& list, const std::string& name) {
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            positional_.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument.rfind("--", 0) != 0)
            throw CliError(kExitUsage, "неизвестный параметр «" + argument +
                                           "» (имя файла, начинающееся с «-», пишите после «--»)");
        std::string name = argument.substr(2);
        std::optional<std::string> inlineValue;
        if (const auto equals = name.find('='); equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name.resize(equals);
        }
        if (isIn(flags, name) && !inlineValue) {
            flags_[name] = true;
        } else if (isIn(valued, name)) {
            if (inlineValue) {
                values_[name] = *inlineValue;
            } else {
                if (i + 1 >= arguments.size())
                    throw CliError(kExitUsage, "у параметра «--" + name + "» нет значения");
                values_[name] = arguments[++i];
            }
        } else {
            // Only the name: what follows "=" may be a secret typed where it does not belong.
            throw CliError(kExitUsage, "неизвестный параметр «--" + name + "»");
        }
    }
}

bool HelpAsked(const std::vector<std::string>& arguments, const std::vector<std::string>& valued) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--")
            return false;
        if (argument == "--help" || argument == "-h")
            return true;
        if (argument.rfind("--", 0) == 0 && argument.find('=') == std::string::npos &&
            std::find(valued.begin(), valued.end(), argument.substr(2)) != valued.end())
            ++i; // its value, whatever it looks like
    }
    return false;
}

std::optional<std::string> Arguments::value(const std::string& option) const {
    const auto found = values_.find(option);
    if (found == values_.end())
        return std::nullopt;
    return found->second;
}

std::string Arguments::single(const char* what) const {
    if (positional_.size() != 1)
        throw CliError(kExitUsage, positional_.empty() ? std::string("не указан ") + what
                                                       : std::string("лишние аргументы после ") + what);
    return positional_.front();
}

// ---------------------------------------------------------------------------------------------
// Passwords

namespace {

// The terminal's settings while echo is off, so that an interrupt can give them back.
struct TerminalState {
    int fd = -1;
    termios saved{};
    bool active = false;
};
TerminalState gTerminal;

void restoreTerminal() {
    if (gTerminal.active) {
        ::tcsetattr(gTerminal.fd, TCSAFLUSH, &gTerminal.saved);
        gTerminal.active = false;
    }
}

extern "C" void interruptDuringPassword(int signal) {
    restoreTerminal();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Echo off on the terminal for its lifetime, given back however the entry ends (a line, the end of
// input, an error, a signal).
class EchoOff {
public:
    explicit EchoOff(int fd) {
        termios settings{};
        if (::tcgetattr(fd, &settings) != 0)
            return; // not a terminal: nothing to switch
        gTerminal.fd = fd;
        gTerminal.saved = settings;
        gTerminal.active = true;
        ::signal(SIGINT, interruptDuringPassword);
        ::signal(SIGTERM, interruptDuringPassword);
        ::signal(SIGHUP, interruptDuringPassword);
        settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        settings.c_lflag |= ECHONL;
        ::tcsetattr(fd, TCSAFLUSH, &settings);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
    ~EchoOff() {
        if (!gTerminal.active)
            return;
        restoreTerminal();
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGHUP, SIG_DFL);
    }
};

void stripLineEnd(SecureString& text) {
    if (!text.empty() && text.data()[text.size() - 1] == '\r')
        text.pop_back();
}

// One line from `fd` without its line break. `complete` tells whether the line break came (false:
// the input ended first). A failing read raises CliError(`code`) naming `source` and the reason.
SecureString readLineFrom(int fd, bool& complete, int code, const std::string& source) {
    SecureString text;
    complete = false;
    char c = 0;
    for (;;) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw CliError(code, "пароль не прочитан: " + source + " не читается: " + std::strerror(errno));
        if (n == 0)
            break;
        if (c == '\n') {
            complete = true;
            break;
        }
        text.push_back(c);
        if (text.size() > 4096)
            throw CliError(kExitUsage, "пароль длиннее 4096 байт");
    }
    c = 0;
    stripLineEnd(text);
    return text;
}

SecureString readFromTerminal(const std::string& prompt) {
    UniqueFd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!tty)
        throw CliError(kExitCancelled,
                       "нет терминала, чтобы спросить пароль: укажите --password-file или --password-fd");
    const EchoOff echoOff(tty.get());
    // Asked once echo is off: switching it drops what was typed before, so the question comes when
    // the answer can be taken.
    (void)!::write(tty.get(), prompt.data(), prompt.size());
    bool complete = false;
    SecureString password = readLineFrom(tty.get(), complete, kExitCancelled, "терминал");
    // The end of input (Ctrl-D) before the line is ended is a cancel, never a password.
    if (!complete)
        throw CliError(kExitCancelled, "ввод пароля отменён (конец ввода)");
    return password;
}

} // namespace

PasswordInput::PasswordInput(const Arguments& arguments) {
    file_ = arguments.value("password-file");
    if (const auto fd = arguments.value("password-fd")) {
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(fd->c_str(), &end, 10);
        if (fd->empty() || *end != '\0' || errno != 0 || value < 0 || value > 65535)
            throw CliError(kExitUsage, "«--password-fd» ждёт номер дескриптора, а не «" + *fd + "»");
        fd_ = static_cast<int>(value);
    }
    if (file_ && fd_)
        throw CliError(kExitUsage, "укажите либо --password-file, либо --password-fd");
}

SecureString PasswordInput::get(const std::string& prompt) {
    if (cached_)
        return *cached_;
    bool complete = false;
    if (file_) {
        // A named pipe without a writer would wait forever; a pipe's password comes by --password-fd.
        InputFile file(*file_);
        if (file.openErrno() == EISDIR) // refused before it is opened, said as reading it would
            throw CliError(kExitFileNotFound, "пароль не прочитан: файл пароля «" + *file_ +
                                                  "» не читается: " + std::strerror(EISDIR));
        if (!file.isOpen())
            throw CliError(
                kExitFileNotFound,
                "пароль не прочитан: файл пароля «" + *file_ + "» не открывается: " +
                    systemMessage(file.openError()) + notAFileLine(file.openError(), "\n") +
                    (file.openError() == kNotAFileError ? "; пароль из канала: --password-fd N" : ""));
        cached_ = readLineFrom(file.handle(), complete, kExitFileNotFound, "файл пароля «" + *file_ + "»");
        return *cached_;
    }
    if (fd_) {
        cached_ = readLineFrom(*fd_, complete, kExitFileNotFound, "дескриптор " + std::to_string(*fd_));
        return *cached_;
    }
    return readFromTerminal(prompt);
}

std::optional<SecureString> PasswordInput::password(const PasswordRequest& request) {
    if (request.previousWasWrong)
        wrong_ = true;
    std::string prompt = request.previousWasWrong ? "Неверный пароль. " : "";
    switch (request.purpose) {
    case PasswordRequest::Purpose::StoreKey:
        prompt += "Пароль закрытого ключа «" + request.subject + "»: ";
        break;
    case PasswordRequest::Purpose::KeyFile:
        prompt += "Пароль закрытого ключа «" + request.keyFile + "»: ";
        break;
    case PasswordRequest::Purpose::Pkcs12File:
        prompt += "Пароль PKCS #12 «" + request.keyFile + "»: ";
        break;
    }
    return get(prompt);
}

// ---------------------------------------------------------------------------------------------

namespace {

// The first error that kept something from reaching stdout (an errno value), and whether it has
// been reported.
int gStandardOutputError = 0;
bool gStandardOutputErrorReported = false;

void noteStandardOutputError() {
    if (gStandardOutputError == 0)
        gStandardOutputError = errno != 0 ? errno : EIO;
}

} // namespace

void printLine(const std::string& text) {
    errno = 0;
    // Written and flushed line by line, so that a failing stdout is seen at the line that failed.
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fputc('\n', stdout) == EOF ||
        std::fflush(stdout) != 0)
        noteStandardOutputError();
}

bool ReportStandardOutputFailure() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
        noteStandardOutputError();
    if (gStandardOutputError == 0)
        return false;
    if (!gStandardOutputErrorReported) {
        gStandardOutputErrorReported = true;
        printError(std::string("вывод не записан: стандартный вывод не принимает его (") +
                   std::strerror(gStandardOutputError) + ")");
    }
    return true;
}

void ReserveStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is taken, which is `fd`: the ones below it are open by now. Left
        // open for the life of the process, as the standard descriptors are.
        (void)::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    }
}

void printError(const std::string& text) {
    std::cerr << "plombar-cli: " << text << std::endl;
}

std::string CertificateChoice::describe() const {
    if (thumbprint)
        return "с отпечатком «" + *thumbprint + "»";
    if (subject)
        return "с именем «" + *subject + "»";
    return {};
}

namespace {

// A thumbprint as typed (any case, blanks and colons between the digits) in lower-case hex digits
// only. What cannot be a thumbprint or its start is a mistake in the command, whichever command it
// is given to, and never "not in the store".
std::string normalisedThumbprint(const std::string& typed) {
    std::string digits;
    for (char c : typed) {
        if (c == ' ' || c == ':')
            continue;
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            throw CliError(kExitUsage, "отпечаток «" + typed + "» не шестнадцатеричный");
        digits += c;
    }
    if (digits.size() < 4)
        throw CliError(kExitUsage, "отпечаток должен иметь хотя бы 4 шестнадцатеричные цифры");
    if (digits.size() > 40)
        throw CliError(kExitUsage, "отпечаток «" + typed + "» длиннее 40 шестнадцатеричных цифр SHA-1");
    return digits;
}

} // namespace

CertificateChoice choiceFrom(const Arguments& arguments, const std::string& positionalThumbprint) {
    CertificateChoice choice;
    choice.thumbprint = arguments.value("thumbprint");
    choice.subject = arguments.value("subject");
    if (!positionalThumbprint.empty()) {
        if (choice.thumbprint)
            throw CliError(kExitUsage, "отпечаток указан дважды");
        choice.thumbprint = positionalThumbprint;
    }
    if (choice.thumbprint && choice.subject)
        throw CliError(kExitUsage, "укажите либо --thumbprint, либо --subject");
    if (!choice.given())
        throw CliError(kExitUsage, "не указан сертификат (--thumbprint ОТПЕЧАТОК или --subject ИМЯ)");
    if (choice.thumbprint)
        normalisedThumbprint(*choice.thumbprint); // refuses a malformed one now
    return choice;
}

std::size_t chooseEntry(const std::vector<StoreEntry>& entries, const CertificateChoice& choice) {
    std::vector<std::size_t> found;
    if (choice.thumbprint) {
        const std::string wanted = normalisedThumbprint(*choice.thumbprint);
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (entries[i].certificate.thumbprint().compare(0, wanted.size(), wanted) == 0)
                found.push_back(i);
    } else if (choice.subject) {
        // An exact common name first; only without one, a part of the subject line.
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (entries[i].certificate.commonName() == *choice.subject)
                found.push_back(i);
        if (found.empty())
            for (std::size_t i = 0; i < entries.size(); ++i)
                if (entries[i].certificate.subjectText().find(*choice.subject) != std::string::npos)
                    found.push_back(i);
    }
    if (found.empty())
        throw CliError(kExitNotInStore, "в хранилище нет сертификата " + choice.describe());
    if (found.size() > 1) {
        std::string text = "в хранилище несколько сертификатов " + choice.describe() + ":";
        for (const std::size_t i : found)
            text +=
                "\n  " + entries[i].certificate.thumbprint() + "  " + entries[i].certificate.subjectText();
        throw CliError(kExitNotInStore, text + "\nукажите отпечаток");
    }
    return found.front();
}

StoreEntry findEntry(const CertificateStore& store, const CertificateChoice& choice) {
    std::vector<StoreEntry> entries = store.entries();
    return std::move(entries[chooseEntry(entries, choice)]);
}

int exitCodeFor(const CryptoError& error) {
    switch (error.kind()) {
    case CryptoFailure::WrongPassword:
        return kExitWrongPassword;
    case CryptoFailure::KeyMismatch:
        return kExitKeyMismatch;
    case CryptoFailure::NotACertificate:
    case CryptoFailure::BadKey:
        return kExitNotACertificate;
    case CryptoFailure::EngineMissing:
        return kExitEngineMissing;
    case CryptoFailure::Cancelled:
        return kExitCancelled;
    default:
        return kExitFailure;
    }
}

namespace {

// Reads a whole input file into `bytes` (a std::string or a SecureString). The file is read
// straight into its holder, so no other copy of a key's text is left, and a file larger than the
// memory the system can give fails as a load into a memory stream does.
template <typename Bytes> void readWholeInput(const std::string& path, Bytes& bytes) {
    InputFile file(path);
    if (!file.isOpen())
        throw CliError(kExitFileNotFound, "файл «" + path +
                                              "» не открывается: " + systemMessage(file.openError()) +
                                              notAFileLine(file.openError(), "\n"));
    switch (readWholeFile(file, bytes, SIZE_MAX - 1)) {
    case ReadFileResult::Ok:
        return;
    case ReadFileResult::Changed:
        throw CliError(kExitFileNotFound, "файл «" + path + "» изменил размер, пока его читали");
    case ReadFileResult::Failed:
        break;
    case ReadFileResult::TooLarge:
        throw OutOfMemoryError();
    }
    throw CliError(kExitFileNotFound, "файл «" + path + "» не читается: " +
                                          systemMessage(systemCodeFromErrno(errno, path.c_str())));
}

} // namespace

std::string readInputFile(const std::string& path) {
    std::string bytes;
    readWholeInput(path, bytes);
    return bytes;
}

SecureString readSecretFile(const std::string& path) {
    SecureString bytes;
    readWholeInput(path, bytes);
    return bytes;
}

std::string notAFileLine(std::uint32_t code, const std::string& before) {
    if (code != kNotAFileError)
        return {};
    return before + "это не обычный файл, а именованный канал, сокет или устройство: "
                    "читаются и заменяются только обычные файлы";
}

std::string notAFileLine(const std::exception& error, const std::string& before) {
    std::uint32_t code = 0;
    if (const auto* open = dynamic_cast<const FileOpenError*>(&error))
        code = open->code();
    else if (const auto* create = dynamic_cast<const FileCreateError*>(&error))
        code = create->code();
    else if (const auto* io = dynamic_cast<const InputOutputError*>(&error))
        code = io->code();
    return notAFileLine(code, before);
}

void requireGostEngine(const std::string& command) {
    if (!GostRuntimeReady())
        throw CliError(kExitEngineMissing, "команда «" + command + "» невозможна: " + GostRuntimeErrorText());
}

} // namespace plombar::cli
