#pragma once

// What every command of plombar-cli shares: exit codes, the option parser, messages, passwords and
// the choice of a certificate in the store.

#include "crypto/CertificateStore.h"
#include "crypto/CryptoError.h"
#include "crypto/PasswordSource.h"
#include "crypto/SecureString.h"

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace plombar::cli {

// Distinct exit codes, so that scripts can tell the failures apart. Listed in every --help.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,         // anything not listed below
    kExitUsage = 2,           // unknown command or option, missing argument
    kExitFileNotFound = 3,    // an input file is missing or cannot be read
    kExitNotACertificate = 4, // not a certificate, PKCS #12 file or private key
    kExitWrongPassword = 5,   // wrong password (PKCS #12 or private key)
    kExitKeyMismatch = 6,     // the private key does not belong to the certificate
    kExitNotInStore = 7,      // no certificate (or more than one) matches in the store
    kExitEngineMissing = 8,   // the GOST engine for OpenSSL is not installed
    kExitCancelled = 9,       // password entry cancelled, or no terminal to ask on
    kExitNoKey = 10,          // the certificate's private key cannot be used
    kExitSignFailed = 11,     // the signing calls failed
    kExitWriteFailed = 12,    // an output file cannot be written
    kExitArchiveFailed = 15,  // the signature is written, but packing it into a 7z archive failed
                              // (13 and 14 are encrypt's and decrypt's own failures)
};

// The exit-code lines of a command's --help, for the codes it can give.
std::string ExitCodeHelp(const std::vector<int>& codes);

// A failure that ends the command: its message goes to stderr, its code is the exit code.
class CliError : public std::runtime_error {
public:
    CliError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

// Options of one command: "--name value", "--name=value" or "--flag"; "--" ends the options, so a
// file whose name starts with "-" can follow it.
class Arguments {
public:
    // `valued` and `flags` list the command's options without their dashes.
    Arguments(const std::vector<std::string>& arguments, const std::vector<std::string>& valued,
              const std::vector<std::string>& flags);

    bool has(const std::string& flag) const { return flags_.count(flag) != 0; }
    std::optional<std::string> value(const std::string& option) const;
    const std::vector<std::string>& positional() const { return positional_; }
    // The one positional argument the command needs, or a usage error naming it.
    std::string single(const char* what) const;

private:
    std::map<std::string, std::string> values_;
    std::map<std::string, bool> flags_;
    std::vector<std::string> positional_;
};

// Whether "--help" or "-h" stands among the options: not after "--", and not as the value of one of
// the `valued` options (a file named "--help" given with --out is a file, not a request for help).
bool HelpAsked(const std::vector<std::string>& arguments, const std::vector<std::string>& valued);

// Where passwords come from: never from the command line (it shows in the process list).
//   --password-file FILE   the first line of FILE
//   --password-fd N        read from file descriptor N up to the first line break
//   otherwise              asked on the terminal (/dev/tty) without echo
class PasswordInput : public crypto::PasswordSource {
public:
    explicit PasswordInput(const Arguments& arguments);

    // A password for `prompt`: from the file or descriptor (the same one every time it is asked),
    // else from the terminal. Raises CliError(kExitCancelled) when there is no terminal, or when the
    // input ends (Ctrl-D) before the line does; CliError(kExitFileNotFound) with the reason when the
    // file or descriptor cannot be read (a folder, a closed descriptor): never a wrong password.
    crypto::SecureString get(const std::string& prompt);
    bool interactive() const { return !file_ && !fd_; }

    // As a password source: the question for a key or file, asked as get() asks (its CliErrors pass
    // through); a password from a file or descriptor is given once, so a wrong one fails at once.
    std::optional<crypto::SecureString> password(const crypto::PasswordRequest& request) override;
    int attempts() const override { return interactive() ? crypto::kPasswordAttempts : 1; }

    bool wrongPasswordSeen() const { return wrong_; }

private:
    std::optional<std::string> file_;
    std::optional<int> fd_;
    std::optional<crypto::SecureString> cached_;
    bool wrong_ = false;
};

extern const char* const kPasswordOptionsHelp;
// What a malformed thumbprint gives, for the help of every command that takes one.
extern const char* const kThumbprintHelp;

// Messages: plain lines on stdout; errors "plombar-cli: ..." on stderr. A line that does not reach
// stdout (a full disk, a closed descriptor) is not lost silently: ReportStandardOutputFailure says so.
void printLine(const std::string& text);
void printError(const std::string& text);

// Flushes stdout and tells whether anything written to it (lines, help texts) failed to arrive;
// the first time it does, its message goes to stderr. The command's result then counts as not given.
bool ReportStandardOutputFailure();

// Opens /dev/null on those of descriptors 0, 1 and 2 that are closed when the program starts: read-only
// for 1 and 2, so that writing to a closed stdout still fails, and no file the program opens takes
// their number and gets the messages written into it.
void ReserveStandardDescriptors();

// A certificate of the store chosen by --thumbprint (full or a unique prefix of 4 to 40 hex digits;
// blanks and colons ignored, any case) or --subject (an exact common name, else a part of the
// subject line). choiceFrom raises CliError(kExitUsage) for a thumbprint that is not hex or too short
// or long, before anything else is done; findCertificate raises CliError(kExitNotInStore) when none
// or several match.
struct CertificateChoice {
    std::optional<std::string> thumbprint; // as typed
    std::optional<std::string> subject;
    bool given() const { return thumbprint || subject; }
    std::string describe() const;
};
CertificateChoice choiceFrom(const Arguments& arguments, const std::string& positionalThumbprint = {});
crypto::StoreEntry findEntry(const crypto::CertificateStore& store, const CertificateChoice& choice);
// The same choice among `entries` (a store's, in its order): the index of the one that matches.
std::size_t chooseEntry(const std::vector<crypto::StoreEntry>& entries, const CertificateChoice& choice);

// The exit code for a crypto failure: 5 a wrong password, 6 a key of another certificate, 4 what
// is no certificate or key, 8 no GOST engine, 9 a cancelled question, else 1.
int exitCodeFor(const crypto::CryptoError& error);

// The whole content of an input file; CliError(kExitFileNotFound) with the system's reason.
// A file larger than the memory the system can give raises OutOfMemoryError.
std::string readInputFile(const std::string& path);
// The same for a file with secrets (a private key): read straight into memory that is wiped.
crypto::SecureString readSecretFile(const std::string& path);

// A plainer word for a name that is not a regular file (its system text says little): `before`
// and the line, for kNotAFileError or an error carrying it; else empty.
std::string notAFileLine(std::uint32_t code, const std::string& before);
std::string notAFileLine(const std::exception& error, const std::string& before);

// Raises CliError(kExitEngineMissing) when the GOST engine is not usable.
void requireGostEngine(const std::string& command);

} // namespace plombar::cli
