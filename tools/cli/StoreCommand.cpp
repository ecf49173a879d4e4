// plombar-cli store list | show | import | export | remove | new-test-cert

#include "CliSupport.h"
#include "Commands.h"

#include "crypto/CertificateStore.h"
#include "crypto/CertificateText.h"
#include "platform/Errors.h"

namespace plombar::cli {

using namespace plombar::crypto;

namespace {

constexpr const char* kStoreHelp =
    "plombar-cli store КОМАНДА ...\n"
    "Личное хранилище сертификатов «MY» ($XDG_DATA_HOME/plombar/stores/MY).\n"
    "Рядом, так же устроены, хранилища «Root» (доверенные корневые сертификаты) и «CA»\n"
    "(промежуточные сертификаты): в них только сертификаты, без ключей; их выбирает --store.\n"
    "\n"
    "  list                       перечислить сертификаты\n"
    "  show СЕРТИФИКАТ            показать сертификат подробно\n"
    "  import ФАЙЛ [--key КЛЮЧ]   добавить PKCS #12 или сертификат (DER, PEM) с ключом\n"
    "  export СЕРТИФИКАТ --out ФАЙЛ [--pem]   выгрузить сертификат\n"
    "  remove СЕРТИФИКАТ          удалить сертификат и его ключ\n"
    "  new-test-cert [--alg 2001|2012-256|2012-512] [--subject ИМЯ]\n"
    "                             создать самоподписанный тестовый сертификат с ключом\n"
    "  --store MY|Root|CA         (у list, show, import, export, remove) хранилище; по умолчанию MY\n"
    "\n"
    "СЕРТИФИКАТ: отпечаток SHA-1 (или его начало), --thumbprint ОТПЕЧАТОК или --subject ИМЯ;\n"
    "отпечаток не из 4–40 шестнадцатеричных цифр — ошибка в команде (код 2).\n"
    "Подробнее: plombar-cli store КОМАНДА --help\n";

constexpr const char* kStoreOptionHelp =
    "  --store ИМЯ           хранилище: MY (личное, по умолчанию), Root (доверенные корневые\n"
    "                        сертификаты) или CA (промежуточные сертификаты)\n";

struct StoreSubcommand {
    const char* name;
    int (*run)(const std::vector<std::string>& arguments);
    const char* help;
    std::vector<int> exitCodes;
    bool takesThumbprint = false;
    bool takesStore = false;
};

// The store named by --store (MY when not given); another name is a mistake in the command.
std::string storeNameFrom(const Arguments& args) {
    const std::string typed = args.value("store").value_or(CertificateStore::kPersonal);
    const std::optional<std::string> name = CertificateStore::canonicalName(typed);
    if (!name)
        throw CliError(kExitUsage, "неизвестное хранилище «" + typed + "»: есть MY, Root и CA");
    return *name;
}

std::string dateOnly(const std::string& localTime) {
    return localTime.substr(0, 10);
}

// The valued options of every store command, for telling a value from a request for help.
const std::vector<std::string> kStoreValuedOptions = {
    "thumbprint", "subject", "out", "key", "name", "alg", "password-file", "password-fd", "days", "store"};

// The certificate a command names, in the store --store names.
struct Chosen {
    CertificateStore store;
    StoreEntry entry;
};
Chosen chosenEntry(const Arguments& args) {
    if (args.positional().size() > 1)
        throw CliError(kExitUsage, "лишние аргументы");
    const CertificateChoice choice = choiceFrom(args, args.positional().empty() ? "" : args.positional()[0]);
    CertificateStore store = CertificateStore::open(storeNameFrom(args));
    StoreEntry entry = findEntry(store, choice);
    return {std::move(store), std::move(entry)};
}

// ---------------------------------------------------------------------------------------------

int runList(const std::vector<std::string>& arguments) {
    Arguments args(arguments, {"store"}, {});
    if (!args.positional().empty())
        throw CliError(kExitUsage, "у «store list» нет аргументов");
    const CertificateStore store = CertificateStore::open(storeNameFrom(args));
    const std::vector<StoreEntry> entries = store.entries();
    for (const StoreEntry& entry : entries) {
        const CertificateDescription d = entry.describe();
        std::string line = d.thumbprint + "  " + (d.hasPrivateKey ? "ключ" : "—   ") + "  до " +
                           dateOnly(d.validTo) + "  " + d.keyAlgorithm + "  " + d.subject;
        if (!d.friendlyName.empty())
            line += "  [" + d.friendlyName + "]";
        printLine(line);
    }
    if (entries.empty())
        printLine("Хранилище «" + store.name() + "» пусто (" + store.folder() + ")");
    return kExitOk;
}

int runShow(const std::vector<std::string>& arguments) {
    Arguments args(arguments, {"thumbprint", "subject", "store"}, {});
    const StoreEntry entry = chosenEntry(args).entry;
    const CertificateDescription d = entry.describe();
    const auto field = [](const char* name, const std::string& value) {
        printLine(std::string(name) + " " + value);
    };
    field("Кому выдан:", d.issuedTo);
    field("Кем выдан:", d.issuedBy);
    field("Действителен с:", d.validFrom);
    field("Действителен по:", d.validTo);
    field("Алгоритм ключа:", d.keyAlgorithm);
    field("Закрытый ключ:", d.hasPrivateKey ? "есть" : "нет");
    if (!d.friendlyName.empty())
        field("Понятное имя:", d.friendlyName);
    field("Версия:", d.version);
    field("Серийный номер:", d.serialNumber);
    field("Алгоритм подписи:", d.signatureAlgorithm);
    field("Издатель:", d.issuer);
    field("Владелец:", d.subject);
    field("Открытый ключ:", d.publicKeyAlgorithm);
    field("Параметры ключа:", d.publicKeyParameters);
    field("Отпечаток (SHA-1):", d.thumbprint);
    if (!d.extensions.empty()) {
        printLine("Расширения:");
        for (const auto& [name, value] : d.extensions) {
            std::string indented;
            for (char c : value) {
                indented += c;
                if (c == '\n')
                    indented += "      ";
            }
            printLine("  " + name + ":\n      " + indented);
        }
    }
    printLine("Файл: " + entry.certificateFile());
    return kExitOk;
}

// ---------------------------------------------------------------------------------------------

void reportEntry(const char* what, const ImportedEntry& imported) {
    printLine(std::string(what) + " " + imported.entry.certificate.thumbprint());
    printLine("  " + imported.entry.certificate.subjectText());
    printLine(std::string("  закрытый ключ: ") +
              (imported.keyImported ? (imported.keyEncrypted ? "есть, защищён паролем" : "есть") : "нет"));
}

int runImport(const std::vector<std::string>& arguments) {
    Arguments args(arguments, {"key", "name", "password-file", "password-fd", "store"}, {"no-key-password"});
    const std::string file = args.single("файл для импорта");
    const std::string storeName = storeNameFrom(args);
    const std::optional<std::string> keyFile = args.value("key");
    if (keyFile && storeName != CertificateStore::kPersonal)
        throw CliError(kExitUsage, "в хранилище «" + storeName + "» ключи не хранятся: --key только для MY");
    requireGostEngine("store import");
    PasswordInput passwords(args);
    const std::string bytes = readInputFile(file);
    SecureString keyBytes;
    if (keyFile)
        keyBytes = readSecretFile(*keyFile);
    ImportOptions options;
    options.friendlyName = args.value("name");
    options.keyUnencrypted = args.has("no-key-password");
    CertificateStore store = CertificateStore::open(storeName);
    const ImportedEntry imported = store.importFile(bytes, file, keyFile ? &keyBytes : nullptr,
                                                    keyFile.value_or(std::string()), passwords, options);
    reportEntry("Сертификат добавлен в хранилище:", imported);
    return kExitOk;
}

// ---------------------------------------------------------------------------------------------

int runExport(const std::vector<std::string>& arguments) {
    Arguments args(arguments, {"thumbprint", "subject", "out", "store"}, {"pem"});
    if (args.positional().size() > 1)
        throw CliError(kExitUsage, "лишние аргументы");
    const auto out = args.value("out");
    if (!out || out->empty())
        throw CliError(kExitUsage, "не указан выходной файл (--out ФАЙЛ)");
    const Chosen chosen = chosenEntry(args);
    chosen.store.exportCertificate(chosen.entry.certificate,
                                   args.has("pem") ? CertificateEncoding::Pem : CertificateEncoding::Der,
                                   *out);
    printLine("Сертификат " + chosen.entry.certificate.thumbprint() + " записан в «" + *out + "»");
    return kExitOk;
}

int runRemove(const std::vector<std::string>& arguments) {
    Arguments args(arguments, {"thumbprint", "subject", "store"}, {});
    Chosen chosen = chosenEntry(args);
    const Certificate& certificate = chosen.entry.certificate;
    chosen.store.remove(certificate.thumbprint());
    printLine("Сертификат удалён: " + certificate.thumbprint() + "  " + certificate.subjectText());
    return kExitOk;
}

int runNewTestCertificate(const std::vector<std::string>& arguments) {
    Arguments args(arguments, {"alg", "subject", "days", "name", "password-file", "password-fd"},
                   {"encrypt-key"});
    if (!args.positional().empty())
        throw CliError(kExitUsage, "лишние аргументы");
    TestCertificateRequest request;
    if (const auto alg = args.value("alg")) {
        if (!ParseKeyAlgorithm(*alg, request.algorithm) ||
            (request.algorithm != KeyAlgorithm::Gost2001 && request.algorithm != KeyAlgorithm::Gost2012_256 &&
             request.algorithm != KeyAlgorithm::Gost2012_512))
            throw CliError(kExitUsage, "«--alg» ждёт 2001, 2012-256 или 2012-512, а не «" + *alg + "»");
    }
    if (const auto text = args.value("days")) {
        char* end = nullptr;
        request.days = std::strtol(text->c_str(), &end, 10);
        if (text->empty() || *end != '\0' || request.days < 1 || request.days > 36500)
            throw CliError(kExitUsage, "«--days» ждёт число дней от 1 до 36500");
    }
    requireGostEngine("store new-test-cert");
    PasswordInput passwords(args);
    request.subject = args.value("subject").value_or(request.subject);
    try {
        ParseSubjectText(request.subject); // a mistake in the command, before any question
    } catch (const Error& e) {
        throw CliError(kExitUsage, e.message());
    }
    if (args.has("encrypt-key")) {
        request.keyPassword = passwords.get("Новый пароль закрытого ключа: ");
        if (passwords.interactive() &&
            passwords.get("Повторите пароль: ").view() != request.keyPassword.view())
            throw CliError(kExitUsage, "пароли не совпадают");
        if (request.keyPassword.empty())
            throw CliError(kExitUsage, "пустой пароль не защищает ключ");
    }
    request.friendlyName = args.value("name").value_or(request.friendlyName);
    CertificateStore store = CertificateStore::open(CertificateStore::kPersonal);
    const ImportedEntry made = store.makeTestCertificate(request);
    reportEntry("Создан тестовый сертификат", made);
    printLine("  алгоритм: " + PublicKeyAlgorithmName(made.entry.certificate.publicKeyAlgorithm()));
    return kExitOk;
}

const StoreSubcommand kSubcommands[] = {
    {"list",
     runList,
     "plombar-cli store list [--store MY|Root|CA]\n"
     "Перечисляет сертификаты хранилища («MY» или названного --store): отпечаток, наличие\n"
     "закрытого ключа, срок, алгоритм ключа, владелец и понятное имя.\n",
     {kExitOk, kExitFailure, kExitUsage},
     false,
     true},
    {"show",
     runShow,
     "plombar-cli store show (ОТПЕЧАТОК | --thumbprint ОТПЕЧАТОК | --subject ИМЯ) [--store MY|Root|CA]\n"
     "Показывает сертификат подробно. ОТПЕЧАТОК: SHA-1 или его начало (от 4 цифр);\n"
     "ИМЯ: общее имя (CN) целиком или часть строки владельца.\n",
     {kExitOk, kExitFailure, kExitUsage, kExitNotInStore},
     true,
     true},
    {"import",
     runImport,
     "plombar-cli store import ФАЙЛ [--key КЛЮЧ] [--name ИМЯ] [--no-key-password] [--store MY|Root|CA]\n"
     "                         [--password-file ФАЙЛ | --password-fd N]\n"
     "Добавляет в хранилище файл PKCS #12 (.pfx, .p12; ГОСТ-защита поддерживается) вместе с\n"
     "его ключом, или сертификат (DER или PEM) с ключом из файла КЛЮЧ (PKCS #8 PEM или DER,\n"
     "зашифрованный или нет). Ключ хранится зашифрованным тем же паролем (PBES2, AES-256),\n"
     "если пароль был; --no-key-password хранит его без пароля (файл с правами 0600).\n"
     "Сертификат читается из DER, из текста Base64 (с переводами строк или без) и из PEM.\n"
     "В хранилища Root и CA импортируется только сертификат, без ключа и не из PKCS #12.\n"
     "  --name ИМЯ            понятное имя записи\n",
     {kExitOk, kExitFailure, kExitUsage, kExitFileNotFound, kExitNotACertificate, kExitWrongPassword,
      kExitKeyMismatch, kExitEngineMissing, kExitCancelled, kExitWriteFailed},
     false,
     true},
    {"export",
     runExport,
     "plombar-cli store export (ОТПЕЧАТОК | --thumbprint ОТПЕЧАТОК | --subject ИМЯ) --out ФАЙЛ [--pem]\n"
     "                         [--store MY|Root|CA]\n"
     "Записывает сертификат (без ключа) в ФАЙЛ: DER, или PEM с --pem.\n",
     {kExitOk, kExitFailure, kExitUsage, kExitNotInStore, kExitWriteFailed},
     true,
     true},
    {"remove",
     runRemove,
     "plombar-cli store remove (ОТПЕЧАТОК | --thumbprint ОТПЕЧАТОК | --subject ИМЯ) [--store MY|Root|CA]\n"
     "Удаляет сертификат, его закрытый ключ и понятное имя из хранилища.\n",
     {kExitOk, kExitFailure, kExitUsage, kExitNotInStore},
     true,
     true},
    {"new-test-cert",
     runNewTestCertificate,
     "plombar-cli store new-test-cert [--alg 2001|2012-256|2012-512] [--subject ИМЯ] [--days N]\n"
     "                                [--name ИМЯ] [--encrypt-key [--password-file ФАЙЛ | --password-fd N]]\n"
     "Создаёт самоподписанный тестовый сертификат ГОСТ с закрытым ключом в хранилище, чтобы\n"
     "сразу попробовать подпись, проверку, шифрование и расшифровку.\n"
     "  --alg      алгоритм ключа (по умолчанию 2012-256)\n"
     "  --subject  владелец: «Иванов Иван» или «CN=Иванов Иван, O=Ромашка, C=RU»\n"
     "  --days     срок действия в днях (по умолчанию 365)\n"
     "  --encrypt-key  защитить ключ паролем\n",
     {kExitOk, kExitFailure, kExitUsage, kExitFileNotFound, kExitEngineMissing, kExitCancelled,
      kExitWriteFailed}},
};

} // namespace

int runStoreCommand(const std::vector<std::string>& arguments) {
    if (arguments.empty() || arguments[0] == "--help" || arguments[0] == "-h") {
        std::printf("%s", kStoreHelp);
        return arguments.empty() ? kExitUsage : kExitOk;
    }
    for (const StoreSubcommand& subcommand : kSubcommands) {
        if (arguments[0] != subcommand.name)
            continue;
        const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
        if (HelpAsked(rest, kStoreValuedOptions)) {
            std::string text = subcommand.help;
            if (std::string(subcommand.name) == "import" || std::string(subcommand.name) == "new-test-cert")
                text += kPasswordOptionsHelp;
            if (subcommand.takesStore)
                text += kStoreOptionHelp;
            if (subcommand.takesThumbprint)
                text += kThumbprintHelp;
            std::printf("%s\n%s", text.c_str(), ExitCodeHelp(subcommand.exitCodes).c_str());
            return kExitOk;
        }
        return subcommand.run(rest);
    }
    throw CliError(kExitUsage,
                   "неизвестная команда «store " + arguments[0] + "» (см. plombar-cli store --help)");
}

} // namespace plombar::cli
