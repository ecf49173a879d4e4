#include "SystemErrors.h"

#include "Paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

namespace plombar {

namespace {

struct MessageEntry {
    std::uint32_t code;
    const char* english;
    const char* russian;
};

// Windows' texts for every code that our layers produce, as its message table words
// them (inserts such as %1 are kept unexpanded, as the message functions return them).
constexpr MessageEntry kMessages[] = {
    {0, "The operation completed successfully.", "Операция успешно завершена."},
    {1, "Incorrect function.", "Неверная функция."},
    {2, "The system cannot find the file specified.", "Не удается найти указанный файл."},
    {3, "The system cannot find the path specified.", "Системе не удается найти указанный путь."},
    {4, "The system cannot open the file.", "Системе не удается открыть файл."},
    {5, "Access is denied.", "Отказано в доступе."},
    {6, "The handle is invalid.", "Неверный дескриптор."},
    {8, "Not enough memory resources are available to process this command.",
     "Недостаточно памяти для обработки команды."},
    {13, "The data is invalid.", "Недопустимые данные."},
    {14, "Not enough memory resources are available to complete this operation.",
     "Недостаточно памяти для завершения операции."},
    {18, "There are no more files.", "Больше файлов нет."},
    {29, "The system cannot write to the specified device.",
     "Системе не удается произвести запись на указанное устройство."},
    {30, "The system cannot read from the specified device.",
     "Системе не удается произвести чтение с указанного устройства."},
    {31, "A device attached to the system is not functioning.",
     "Присоединенное к системе устройство не работает."},
    {32, "The process cannot access the file because it is being used by another process.",
     "Процесс не может получить доступ к файлу, так как этот файл занят другим процессом."},
    {33, "The process cannot access the file because another process has locked a portion of the file.",
     "Процесс не может получить доступ к файлу, так как часть этого файла заблокирована другим процессом."},
    {39, "The disk is full.", "Диск заполнен."},
    {50, "The request is not supported.", "Такой запрос не поддерживается."},
    {80, "The file exists.", "Файл существует."},
    {86, "The specified network password is not correct.", "Сетевой пароль указан неверно."},
    {87, "The parameter is incorrect.", "Параметр задан неверно."},
    {112, "There is not enough space on the disk.", "Недостаточно места на диске."},
    {123, "The filename, directory name, or volume label syntax is incorrect.",
     "Синтаксическая ошибка в имени файла, имени папки или метке тома."},
    {126, "The specified module could not be found.", "Не найден указанный модуль."},
    {127, "The specified procedure could not be found.", "Не найдена указанная процедура."},
    {183, "Cannot create a file when that file already exists.",
     "Невозможно создать файл, так как он уже существует."},
    {193, "%1 is not a valid Win32 application.", "%1 не является приложением Win32."},
    {206, "The filename or extension is too long.",
     "Имя файла или его расширение имеет слишком большую длину."},
    {223, "The file size exceeds the limit allowed and cannot be saved.",
     "Размер файла превышает установленное ограничение, сохранение файла невозможно."},
    {234, "More data is available.", "Имеются дополнительные данные."},
    {267, "The directory name is invalid.", "Неверно задано имя папки."},
    {1117, "The request could not be performed because of an I/O device error.",
     "Запрос не был выполнен из-за ошибки ввода/вывода на устройстве."},
    {1223, "The operation was canceled by the user.", "Операция была отменена пользователем."},
    {1920, "The file cannot be accessed by the system.", "Системе не удается получить доступ к файлу."},

    {0x80004001, "Not implemented", "Не реализовано"},
    {0x80004002, "No such interface supported", "Интерфейс не поддерживается"},
    {0x80004003, "Invalid pointer", "Недопустимый указатель"},
    {0x80004004, "Operation aborted", "Операция прервана"},
    {0x80004005, "Unspecified error", "Неопознанная ошибка"},
    {0x8000FFFF, "Catastrophic failure", "Разрушительный сбой"},
    {0x80040111, "ClassFactory cannot supply requested class",
     "Фабрика класса не может предоставить запрошенный класс"},

    {0x80090003, "Bad Key.", "Плохой ключ."},
    {0x80090005, "Bad Data.", "Плохие данные."},
    {0x80090006, "Invalid Signature.", "Неправильная подпись."},
    {0x80090008, "Invalid algorithm specified.", "Указан неправильный алгоритм."},
    {0x8009000D, "Key does not exist.", "Ключ не существует."},
    {0x8009000E, "Insufficient memory available for the operation.",
     "Недостаточно памяти для выполнения операции."},
    {0x80090010, "Access denied.", "Отказано в доступе."},
    {0x80090016, "Keyset does not exist", "Набор ключей не существует"},
    {0x8009001D, "Provider DLL failed to initialize correctly.", "Ошибка при инициализации DLL поставщика."},

    {0x80091001, "An error occurred while performing an operation on a cryptographic message.",
     "Ошибка при выполнении операции над криптографическим сообщением."},
    {0x80091002, "Unknown cryptographic algorithm.", "Неизвестный криптографический алгоритм."},
    {0x80091003, "The object identifier is poorly formatted.",
     "Идентификатор объекта имеет неверный формат."},
    {0x80091004, "Invalid cryptographic message type.", "Недопустимый тип криптографического сообщения."},
    {0x80091007, "The hash value is not correct.", "Неправильное значение хеша."},
    {0x80091008, "The index value is not valid.", "Недопустимое значение индекса."},
    {0x8009100B, "The enveloped-data message does not contain the specified recipient.",
     "Конвертированное сообщение не содержит указанного получателя."},
    {0x8009100E, "Cannot find the original signer.", "Не удается найти исходного подписавшего."},
    {0x80092001, "The length specified for the output data was insufficient.",
     "Длина, указанная для выходных данных, недостаточна."},
    {0x80092002, "An error occurred during encode or decode operation.",
     "Ошибка при кодировании или декодировании."},
    {0x80092003, "An error occurred while reading or writing to a file.",
     "Ошибка при чтении или записи файла."},
    {0x80092004, "Cannot find object or property.", "Не удается найти объект или свойство."},
    {0x80092005, "The object or property already exists.", "Объект или свойство уже существует."},
    {0x80092009, "Cannot find the requested object.", "Не удается найти запрошенный объект."},
    {0x8009200A, "The type of the cryptographic message being decoded is different than what was expected.",
     "Тип декодируемого криптографического сообщения отличается от ожидаемого."},
    {0x8009200B, "The certificate does not have a property that references a private key.",
     "Сертификат не имеет свойства, ссылающегося на закрытый ключ."},
    {0x8009200C, "Cannot find the certificate and private key to use for decryption.",
     "Не удается найти сертификат и закрытый ключ для расшифровки."},
    {0x8009200D, "Not a cryptographic message or the cryptographic message is not formatted correctly.",
     "Сообщение не является криптографическим или имеет неправильный формат."},
    {0x8009200E, "The signed cryptographic message does not have a signer for the specified signer index.",
     "Подписанное криптографическое сообщение не содержит подписавшего с указанным индексом."},
    {0x8009200F, "Final closure is pending until additional frees or closes.",
     "Окончательное закрытие отложено до дополнительных освобождений или закрытий."},
    {0x80093100, "ASN1 internal encode or decode error.",
     "Внутренняя ошибка кодирования или декодирования ASN1."},
    {0x80093102, "ASN1 unexpected end of data.", "ASN1: непредвиденный конец данных."},
    {0x80093103, "ASN1 corrupted data.", "ASN1: поврежденные данные."},
    {0x80093104, "ASN1 value too large.", "ASN1: слишком большое значение."},
    {0x8009310B, "ASN1 bad tag value met.", "ASN1: обнаружено неверное значение тега."},
};

const MessageEntry* findMessage(std::uint32_t code) {
    for (const auto& entry : kMessages)
        if (entry.code == code)
            return &entry;
    return nullptr;
}

bool isTrimmedTail(unsigned char c) {
    return c == ' ' || c == '.' || c < 0x20 || c == 0x7F;
}

// Cuts a UTF-8 text to at most `limit` characters without splitting a character.
std::string cutToCharacters(std::string text, std::size_t limit) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (chars == limit) {
                text.resize(i);
                break;
            }
            ++chars;
        }
    }
    return text;
}

bool folderMissing(const char* path) {
    if (path == nullptr || *path == '\0')
        return false;
    const std::string full = absolutePath(path);
    std::string_view p(full);
    const auto slash = p.find_last_of('/');
    if (slash == std::string_view::npos || slash == 0)
        return false;
    const std::string folder(p.substr(0, slash));
    struct stat st {};
    return ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
}

} // namespace

std::uint32_t systemCodeFromErrno(int err, const char* path) noexcept {
    using namespace winerr;
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return folderMissing(path) ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
        return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EIO:
        return ERROR_IO_DEVICE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

MessageLanguage currentMessageLanguage() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return std::strncmp(value, "ru", 2) == 0 ? MessageLanguage::Russian : MessageLanguage::English;
    }
    return MessageLanguage::English;
}

std::string systemMessage(std::uint32_t code, MessageLanguage language) {
    const MessageEntry* entry = findMessage(code);
    if (entry == nullptr && (code & 0xFFFF0000u) == 0x80070000u) // HRESULT wrapping a Win32 code
        entry = findMessage(code & 0xFFFFu);
    if (entry == nullptr && (code & 0xFFFF0000u) == 0x88000000u) // the archive library's errno results
        entry = findMessage(systemCodeFromErrno(static_cast<int>(code & 0xFFFFu)));
    if (entry == nullptr)
        return {};
    std::string text =
        cutToCharacters(language == MessageLanguage::Russian ? entry->russian : entry->english, 256);
    while (!text.empty() && isTrimmedTail(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

std::string systemMessage(std::uint32_t code) {
    return systemMessage(code, currentMessageLanguage());
}

} // namespace plombar
