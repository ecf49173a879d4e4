#pragma once

#include <cstdint>
#include <string>

// System error codes keep their Windows numbers, because the program's messages print them
// ("I/O error 6", "... - 2148081675"); errno values are mapped to them in one place.
namespace plombar {

namespace winerr {
inline constexpr std::uint32_t ERROR_SUCCESS = 0;
inline constexpr std::uint32_t ERROR_INVALID_FUNCTION = 1;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr std::uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_INVALID_DATA = 13;
inline constexpr std::uint32_t ERROR_OUTOFMEMORY = 14;
inline constexpr std::uint32_t ERROR_NO_MORE_FILES = 18;
inline constexpr std::uint32_t ERROR_WRITE_FAULT = 29;
inline constexpr std::uint32_t ERROR_READ_FAULT = 30;
inline constexpr std::uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr std::uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr std::uint32_t ERROR_LOCK_VIOLATION = 33;
inline constexpr std::uint32_t ERROR_HANDLE_DISK_FULL = 39;
inline constexpr std::uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr std::uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr std::uint32_t ERROR_INVALID_PASSWORD = 86;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_DISK_FULL = 112;
inline constexpr std::uint32_t ERROR_INVALID_NAME = 123;
inline constexpr std::uint32_t ERROR_MOD_NOT_FOUND = 126;
inline constexpr std::uint32_t ERROR_PROC_NOT_FOUND = 127;
inline constexpr std::uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr std::uint32_t ERROR_BAD_EXE_FORMAT = 193;
inline constexpr std::uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr std::uint32_t ERROR_FILE_TOO_LARGE = 223;
inline constexpr std::uint32_t ERROR_MORE_DATA = 234;
inline constexpr std::uint32_t ERROR_DIRECTORY = 267;
inline constexpr std::uint32_t ERROR_IO_DEVICE = 1117;
inline constexpr std::uint32_t ERROR_CANCELLED = 1223;
inline constexpr std::uint32_t ERROR_CANT_ACCESS_FILE = 1920;

inline constexpr std::uint32_t E_NOTIMPL = 0x80004001;
inline constexpr std::uint32_t E_NOINTERFACE = 0x80004002;
inline constexpr std::uint32_t E_POINTER = 0x80004003;
inline constexpr std::uint32_t E_ABORT = 0x80004004;
inline constexpr std::uint32_t E_FAIL = 0x80004005;
inline constexpr std::uint32_t E_UNEXPECTED = 0x8000FFFF;
inline constexpr std::uint32_t E_OUTOFMEMORY = 0x8007000E;
inline constexpr std::uint32_t E_INVALIDARG = 0x80070057;
inline constexpr std::uint32_t CLASS_E_CLASSNOTAVAILABLE = 0x80040111;

inline constexpr std::uint32_t NTE_BAD_DATA = 0x80090005;
inline constexpr std::uint32_t NTE_BAD_SIGNATURE = 0x80090006;
inline constexpr std::uint32_t NTE_BAD_KEY = 0x80090003;
inline constexpr std::uint32_t NTE_BAD_ALGID = 0x80090008;
inline constexpr std::uint32_t NTE_NO_KEY = 0x8009000D;
inline constexpr std::uint32_t NTE_NO_MEMORY = 0x8009000E;
inline constexpr std::uint32_t NTE_PERM = 0x80090010;
inline constexpr std::uint32_t NTE_BAD_KEYSET = 0x80090016;
inline constexpr std::uint32_t NTE_PROVIDER_DLL_FAIL = 0x8009001D;

inline constexpr std::uint32_t CRYPT_E_MSG_ERROR = 0x80091001;
inline constexpr std::uint32_t CRYPT_E_UNKNOWN_ALGO = 0x80091002;
inline constexpr std::uint32_t CRYPT_E_OID_FORMAT = 0x80091003;
inline constexpr std::uint32_t CRYPT_E_INVALID_MSG_TYPE = 0x80091004;
inline constexpr std::uint32_t CRYPT_E_HASH_VALUE = 0x80091007;
inline constexpr std::uint32_t CRYPT_E_INVALID_INDEX = 0x80091008;
inline constexpr std::uint32_t CRYPT_E_RECIPIENT_NOT_FOUND = 0x8009100B;
inline constexpr std::uint32_t CRYPT_E_SIGNER_NOT_FOUND = 0x8009100E;
inline constexpr std::uint32_t CRYPT_E_BAD_LEN = 0x80092001;
inline constexpr std::uint32_t CRYPT_E_BAD_ENCODE = 0x80092002;
inline constexpr std::uint32_t CRYPT_E_FILE_ERROR = 0x80092003;
inline constexpr std::uint32_t CRYPT_E_NOT_FOUND = 0x80092004;
inline constexpr std::uint32_t CRYPT_E_EXISTS = 0x80092005;
inline constexpr std::uint32_t CRYPT_E_NO_MATCH = 0x80092009;
inline constexpr std::uint32_t CRYPT_E_UNEXPECTED_MSG_TYPE = 0x8009200A;
inline constexpr std::uint32_t CRYPT_E_NO_KEY_PROPERTY = 0x8009200B;
inline constexpr std::uint32_t CRYPT_E_NO_DECRYPT_CERT = 0x8009200C;
inline constexpr std::uint32_t CRYPT_E_BAD_MSG = 0x8009200D;
inline constexpr std::uint32_t CRYPT_E_NO_SIGNER = 0x8009200E;
inline constexpr std::uint32_t CRYPT_E_PENDING_CLOSE = 0x8009200F;
inline constexpr std::uint32_t CRYPT_E_ASN1_ERROR = 0x80093100;
inline constexpr std::uint32_t CRYPT_E_ASN1_EOD = 0x80093102;
inline constexpr std::uint32_t CRYPT_E_ASN1_CORRUPT = 0x80093103;
inline constexpr std::uint32_t CRYPT_E_ASN1_LARGE = 0x80093104;
inline constexpr std::uint32_t CRYPT_E_ASN1_BADTAG = 0x8009310B;
} // namespace winerr

// The code for a name whose bytes are not a file's content: a FIFO, a socket or a device given
// where a file is read or written. Windows gives 1920, "The file cannot be accessed by the system",
// when it meets such a name (a socket file, or the FIFOs and device nodes that WSL keeps as
// reparse points), and its text says what went wrong. A folder keeps code 5, "Access is denied",
// which is what Windows answers when a folder is opened as a file.
inline constexpr std::uint32_t kNotAFileError = winerr::ERROR_CANT_ACCESS_FILE;

// Maps an errno value to its Windows-numbered code. ENOENT becomes 3 instead of 2 when a folder
// on `path` is missing (pass the path the failing call was given, or nullptr when there is none).
std::uint32_t systemCodeFromErrno(int err, const char* path = nullptr) noexcept;

// The system's message text for a code, as Windows words it, in Russian when the
// locale (LC_ALL, LC_MESSAGES, LANG, first one set) starts with "ru", else in English. At most 256
// characters; trailing blanks, control characters and full stops removed; empty for an unknown
// code. HRESULTs that wrap a Win32 code (0x8007xxxx) and the archive library's errno results
// (0x8800xxxx) give the text of the code they carry.
std::string systemMessage(std::uint32_t code);

// The same in a chosen language, for tests and for callers that must not depend on the locale.
enum class MessageLanguage { English, Russian };
std::string systemMessage(std::uint32_t code, MessageLanguage language);
MessageLanguage currentMessageLanguage();

} // namespace plombar
