// plombar-cli store list | show | import | export | remove | new-test-cert

#include "CliSupport.h"
#include "Commands.h"

#include "crypto/CertStore.h"
#include "crypto/CertificateFactory.h"
#include "crypto/CertificateText.h"
#include "crypto/GostRuntime.h"
#include "crypto/PrivateKey.h"
#include "platform/AtomicFile.h"
#include "platform/Errors.h"
#include "platform/Streams.h"

#include <ctime>

namespace plombar::cli {

using namespace plombar::crypto;

namespace {

constexpr const char* kStoreHelp =
    "plombar-cli store КОМАНДА ...\n"
    "Личное хранилище сертификатов «MY» ($XDG_DATA_HOME/plombar/stores/MY).\n"
    "\n"
    "  list                       перечислить сертификаты\n"
    "  show СЕРТИФИКАТ            показать сертификат подробно\n"
    "  import ФАЙЛ [--key КЛЮЧ]   добавить PKCS #12 или сертификат (DER, PEM) с ключом\n"
    "  export СЕРТИФИКАТ --out ФАЙЛ [--pem]   выгрузить сертификат\n"
    "  remove СЕРТИФИКАТ          удалить сертификат и его ключ\n"
    "  new-test-cert [--alg 2001|2012-256|2012-512] [--subject ИМЯ]\n"
    "                             создать самоподписанный тестовый сертификат с ключом\n"
    "\n"
    "СЕРТИФИКАТ: отпечаток SHA-1 (или его начало), --thumbprint ОТПЕЧАТОК или --subject ИМЯ;\n"
    "отпечаток не из 4–40 шестнадцатеричных цифр — ошибка в команде (код 2).\n"
    "Подробнее: plombar-cli store КОМАНДА --help\n";

struct StoreSubcommand {
    const char* name;
    int (*run)(const std::vector<std::string>& arguments);
    const char* help;
    std::vector<int> exitCodes;
    bool takesThumbprint = false;
};

StoreHandle openStore() {
    StoreHandle store(CertOpenSystemStoreA(0, kPersonalStoreName));
    if (!store)
        throw CliError(kExitFailure, LastCryptoDiagnostic());
    return store;
}

std::string dateOnly(const std::string& localTime) {
    return localTime.substr(0, 10);
}

// The valued options of every store command, for telling a value from a request for help.
const std::vector<std::string> kStoreValuedOptions = {
    "thumbprint", "subject", "out", "key", "name", "alg", "password-file", "password-fd", "days"};

// ---------------------------------------------------------------------------------------------

int runList(const std::vector<std::string>& arguments) {
    Arguments args(arguments, {}, {});
    if (!args.positional().empty())
        throw CliError(kExitUsage, "у «store list» нет аргументов");
    StoreHandle store = openStore();
    int count = 0;
    PCCERT_CONTEXT context = nullptr;
    while ((context = CertEnumCertificatesInStore(store.get(), context)) != nullptr) {
        const CertificateDescription d = DescribeCertificate(context);
        std::string line = d.thumbprint + "  " + (d.hasPrivateKey ? "ключ" : "—   ") + "  до " +
                           dateOnly(d.validTo) + "  " + d.keyAlgorithm + "  " + d.subject;
        if (!d.friendlyName.empty())
            line += "  [" + d.friendlyName + "]";
        printLine(line);
        ++count;
    }
    if (count == 0)
        printLine("Хранилище «MY» пусто (" + PersonalStoreFolder() + ")");
    return kExitOk;
}

int runShow(const std::vector<std::string>& arguments) {
    Arguments args(arguments, {"thumbprint", "subject"}, {});
    if (args.positional().size() > 1)
        throw CliError(kExitUsage, "лишние аргументы");
    const CertificateChoice choice = choiceFrom(args, args.positional().empty() ? "" : args.positional()[0]);
    StoreHandle store = openStore();
    const CertContextHandle context = findCertificate(store.get(), choice);
    const CertificateDescription d = DescribeCertificate(context.get());
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
    printLine("Файл: " + CertificateStoreEntryPath(context.get()) + ".cer");
    return kExitOk;
}

// ---------------------------------------------------------------------------------------------
// import

X509Ptr parseCertificate(const std::string& bytes) {
    // Decoding holds a certificate several times over; see CertCreateCertificateContext.
    if (!MemoryAvailableFor(std::uint64_t{4} * bytes.size()))
        throw OutOfMemoryError();
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
    // PEM is looked for only where it can be: reading a large file of anything else line by line
    // would copy all of it once more.
    if (!certificate && bytes.find("-----BEGIN") != std::string::npos) {
        BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        certificate.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
    ClearOpenSslErrors();
    return certificate;
}

Pkcs12Ptr parsePkcs12(const std::string& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    Pkcs12Ptr pkcs12(d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())));
    ClearOpenSslErrors();
    return pkcs12;
}

struct ImportedIdentity {
    X509Ptr certificate;
    EvpPkeyPtr key;
    SecureString keyPassword; // how the key is kept in the store; empty: unencrypted
    std::string friendlyName;
};

ImportedIdentity importPkcs12(const std::string& file, PKCS12* pkcs12, PasswordSource& passwords) {
    SecureString password;
    bool known = false;
    if (PKCS12_mac_present(pkcs12)) {
        // A file without a password (or with the empty one) is opened without asking.
        if (PKCS12_verify_mac(pkcs12, nullptr, 0) == 1 || PKCS12_verify_mac(pkcs12, "", 0) == 1) {
            known = true;
        } else {
            password = passwords.get("Пароль PKCS #12 «" + file + "»: ");
            if (PKCS12_verify_mac(pkcs12, password.c_str(), static_cast<int>(password.size())) != 1) {
                ClearOpenSslErrors();
                throw CliError(kExitWrongPassword, "неверный пароль файла PKCS #12 «" + file + "»");
            }
            known = true;
        }
    }
    if (!known)
        password = passwords.get("Пароль PKCS #12 «" + file + "»: ");
    ClearOpenSslErrors();
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    STACK_OF(X509)* authorities = nullptr;
    const int parsed = PKCS12_parse(pkcs12, password.c_str(), &key, &certificate, &authorities);
    ImportedIdentity identity;
    identity.key.reset(key);
    identity.certificate.reset(certificate);
    X509StackPtr authorityHolder(authorities);
    if (parsed != 1) {
        const std::string reason = TakeOpenSslErrors();
        if (!PKCS12_mac_present(pkcs12))
            throw CliError(kExitWrongPassword,
                           "файл PKCS #12 «" + file + "» не открывается: неверный пароль? (" + reason + ")");
        throw CliError(GostRuntimeReady() ? kExitNotACertificate : kExitEngineMissing,
                       "файл PKCS #12 «" + file + "» не разбирается: " + reason);
    }
    if (!identity.certificate)
        throw CliError(kExitNotACertificate, "в файле PKCS #12 «" + file + "» нет сертификата");
    if (identity.key && X509_check_private_key(identity.certificate.get(), identity.key.get()) != 1) {
        ClearOpenSslErrors();
        throw CliError(kExitKeyMismatch, "закрытый ключ в «" + file + "» не соответствует сертификату");
    }
    int aliasLength = 0;
    if (const unsigned char* alias = X509_alias_get0(identity.certificate.get(), &aliasLength))
        identity.friendlyName.assign(reinterpret_cast<const char*>(alias),
                                     static_cast<std::size_t>(aliasLength));
    identity.keyPassword = password;
    return identity;
}

ImportedIdentity importCertificate(const std::string& file, const std::string& bytes,
                                   const std::optional<std::string>& keyFile, PasswordSource& passwords) {
    ImportedIdentity identity;
    identity.certificate = parseCertificate(bytes);
    if (!identity.certificate)
        throw CliError(kExitNotACertificate,
                       "«" + file + "» не является сертификатом (DER или PEM) или файлом PKCS #12");
    if (!keyFile)
        return identity;
    SecureString keyBytes = readSecretFile(*keyFile);
    std::string reason;
    KeyDecodeResult result = decodePrivateKey(keyBytes.view(), nullptr, identity.key, &reason);
    if (result == KeyDecodeResult::PasswordNeeded) {
        identity.keyPassword = passwords.get("Пароль закрытого ключа «" + *keyFile + "»: ");
        result = decodePrivateKey(keyBytes.view(), &identity.keyPassword, identity.key, &reason);
    }
    switch (result) {
    case KeyDecodeResult::Ok:
        break;
    case KeyDecodeResult::WrongPassword:
        throw CliError(kExitWrongPassword, "неверный пароль закрытого ключа «" + *keyFile + "»");
    case KeyDecodeResult::Unusable:
        throw CliError(GostRuntimeReady() ? kExitNotACertificate : kExitEngineMissing,
                       "закрытый ключ «" + *keyFile + "» не используется: " + reason);
    default:
        throw CliError(kExitNotACertificate, "«" + *keyFile + "» не является закрытым ключом (PKCS #8)");
    }
    if (X509_check_private_key(identity.certificate.get(), identity.key.get()) != 1) {
        ClearOpenSslErrors();
        throw CliError(kExitKeyMismatch,
                       "закрытый ключ «" + *keyFile + "» не соответствует сертификату «" + file + "»");
    }
    return identity;
}

void reportEntry(const char* what, X509* certificate, const std::string& thumbprint, bool hasKey,
                 bool encrypted) {
    printLine(std::string(what) + " " + thumbprint);
    printLine("  " + NameToText(X509_get_subject_name(certificate)));
    printLine(std::string("  закрытый ключ: ") +
              (hasKey ? (encrypted ? "есть, защищён паролем" : "есть") : "нет"));
}

int runImport(const std::vector<std::string>& arguments) {
    Arguments args(arguments, {"key", "name", "password-file", "password-fd"}, {"no-key-password"});
    const std::string file = args.single("файл для импорта");
    requireGostEngine("store import");
    PasswordSource passwords(args);
    const std::string bytes = readInputFile(file);
    ImportedIdentity identity;
    if (Pkcs12Ptr pkcs12 = parsePkcs12(bytes); pkcs12 && !args.value("key")) {
        identity = importPkcs12(file, pkcs12.get(), passwords);
    } else {
        identity = importCertificate(file, bytes, args.value("key"), passwords);
    }
    if (args.has("no-key-password"))
        identity.keyPassword.clear();
    if (const auto name = args.value("name"))
        identity.friendlyName = *name;
    SecureString keyPem;
    if (identity.key)
        keyPem = encodePrivateKeyPem(identity.key.get(), &identity.keyPassword);
    const std::string thumbprint = AddStoreEntry(PersonalStoreFolder(), identity.certificate.get(),
                                                 identity.key ? &keyPem : nullptr, identity.friendlyName);
    reportEntry("Сертификат добавлен в хранилище:", identity.certificate.get(), thumbprint,
                static_cast<bool>(identity.key), !identity.keyPassword.empty());
    return kExitOk;
}

// ---------------------------------------------------------------------------------------------

int runExport(const std::vector<std::string>& arguments) {
    Arguments args(arguments, {"thumbprint", "subject", "out"}, {"pem"});
    if (args.positional().size() > 1)
        throw CliError(kExitUsage, "лишние аргументы");
    const auto out = args.value("out");
    if (!out || out->empty())
        throw CliError(kExitUsage, "не указан выходной файл (--out ФАЙЛ)");
    const CertificateChoice choice = choiceFrom(args, args.positional().empty() ? "" : args.positional()[0]);
    StoreHandle store = openStore();
    const CertContextHandle context = findCertificate(store.get(), choice);
    std::string bytes(reinterpret_cast<const char*>(context->pbCertEncoded), context->cbCertEncoded);
    if (args.has("pem")) {
        BioPtr bio(BIO_new(BIO_s_mem()));
        const auto* p = context->pbCertEncoded;
        X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(context->cbCertEncoded)));
        PEM_write_bio_X509(bio.get(), certificate.get());
        bytes = BioText(bio.get());
    }
    SaveFileAtomically(*out, bytes.data(), bytes.size());
    printLine("Сертификат " + CertificateThumbprint(context.get()) + " записан в «" + *out + "»");
    return kExitOk;
}

int runRemove(const std::vector<std::string>& arguments) {
    Arguments args(arguments, {"thumbprint", "subject"}, {});
    if (args.positional().size() > 1)
        throw CliError(kExitUsage, "лишние аргументы");
    const CertificateChoice choice = choiceFrom(args, args.positional().empty() ? "" : args.positional()[0]);
    std::string thumbprint;
    std::string subject;
    {
        StoreHandle store = openStore();
        const CertContextHandle context = findCertificate(store.get(), choice);
        thumbprint = CertificateThumbprint(context.get());
        subject = CertificateSubjectText(context.get());
    }
    // The entry may carry another file name than its thumbprint when put there by hand.
    RemoveStoreEntry(PersonalStoreFolder(), thumbprint);
    printLine("Сертификат удалён: " + thumbprint + "  " + subject);
    return kExitOk;
}

int runNewTestCertificate(const std::vector<std::string>& arguments) {
    Arguments args(arguments, {"alg", "subject", "days", "name", "password-file", "password-fd"},
                   {"encrypt-key"});
    if (!args.positional().empty())
        throw CliError(kExitUsage, "лишние аргументы");
    KeyAlgorithm algorithm = KeyAlgorithm::Gost2012_256;
    if (const auto alg = args.value("alg")) {
        if (!ParseKeyAlgorithm(*alg, algorithm) ||
            (algorithm != KeyAlgorithm::Gost2001 && algorithm != KeyAlgorithm::Gost2012_256 &&
             algorithm != KeyAlgorithm::Gost2012_512))
            throw CliError(kExitUsage, "«--alg» ждёт 2001, 2012-256 или 2012-512, а не «" + *alg + "»");
    }
    long days = 365;
    if (const auto text = args.value("days")) {
        char* end = nullptr;
        days = std::strtol(text->c_str(), &end, 10);
        if (text->empty() || *end != '\0' || days < 1 || days > 36500)
            throw CliError(kExitUsage, "«--days» ждёт число дней от 1 до 36500");
    }
    requireGostEngine("store new-test-cert");
    PasswordSource passwords(args);
    const std::string subjectText = args.value("subject").value_or("CN=Тестовый пользователь Пломбаря");
    X509NamePtr subject;
    try {
        subject = ParseSubjectText(subjectText);
    } catch (const Error& e) {
        throw CliError(kExitUsage, e.message());
    }
    SecureString keyPassword;
    if (args.has("encrypt-key")) {
        keyPassword = passwords.get("Новый пароль закрытого ключа: ");
        if (passwords.interactive() && passwords.get("Повторите пароль: ").view() != keyPassword.view())
            throw CliError(kExitUsage, "пароли не совпадают");
        if (keyPassword.empty())
            throw CliError(kExitUsage, "пустой пароль не защищает ключ");
    }
    EvpPkeyPtr key = GenerateKey(algorithm);
    CertificateFields fields;
    fields.subject = subject.get();
    fields.notBefore = std::time(nullptr) - 3600;
    fields.notAfter = fields.notBefore + days * 24 * 3600 + 3600;
    X509Ptr certificate = MakeCertificate(fields, key.get());
    const SecureString keyPem = encodePrivateKeyPem(key.get(), &keyPassword);
    const std::string thumbprint = AddStoreEntry(PersonalStoreFolder(), certificate.get(), &keyPem,
                                                 args.value("name").value_or("Тестовый сертификат Пломбаря"));
    reportEntry("Создан тестовый сертификат", certificate.get(), thumbprint, true, !keyPassword.empty());
    ASN1_OBJECT* keyObject = nullptr;
    X509_PUBKEY_get0_param(&keyObject, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(certificate.get()));
    printLine("  алгоритм: " + PublicKeyAlgorithmName(DottedOid(keyObject)));
    return kExitOk;
}

const StoreSubcommand kSubcommands[] = {
    {"list",
     runList,
     "plombar-cli store list\n"
     "Перечисляет сертификаты хранилища «MY»: отпечаток, наличие закрытого ключа, срок,\n"
     "алгоритм ключа, владелец и понятное имя.\n",
     {kExitOk, kExitFailure, kExitUsage}},
    {"show",
     runShow,
     "plombar-cli store show (ОТПЕЧАТОК | --thumbprint ОТПЕЧАТОК | --subject ИМЯ)\n"
     "Показывает сертификат подробно. ОТПЕЧАТОК: SHA-1 или его начало (от 4 цифр);\n"
     "ИМЯ: общее имя (CN) целиком или часть строки владельца.\n",
     {kExitOk, kExitFailure, kExitUsage, kExitNotInStore},
     true},
    {"import",
     runImport,
     "plombar-cli store import ФАЙЛ [--key КЛЮЧ] [--name ИМЯ] [--no-key-password]\n"
     "                         [--password-file ФАЙЛ | --password-fd N]\n"
     "Добавляет в хранилище файл PKCS #12 (.pfx, .p12; ГОСТ-защита поддерживается) вместе с\n"
     "его ключом, или сертификат (DER или PEM) с ключом из файла КЛЮЧ (PKCS #8 PEM или DER,\n"
     "зашифрованный или нет). Ключ хранится зашифрованным тем же паролем (PBES2, AES-256),\n"
     "если пароль был; --no-key-password хранит его без пароля (файл с правами 0600).\n"
     "  --name ИМЯ            понятное имя записи\n",
     {kExitOk, kExitFailure, kExitUsage, kExitFileNotFound, kExitNotACertificate, kExitWrongPassword,
      kExitKeyMismatch, kExitEngineMissing, kExitCancelled, kExitWriteFailed}},
    {"export",
     runExport,
     "plombar-cli store export (ОТПЕЧАТОК | --thumbprint ОТПЕЧАТОК | --subject ИМЯ) --out ФАЙЛ [--pem]\n"
     "Записывает сертификат (без ключа) в ФАЙЛ: DER, или PEM с --pem.\n",
     {kExitOk, kExitFailure, kExitUsage, kExitNotInStore, kExitWriteFailed},
     true},
    {"remove",
     runRemove,
     "plombar-cli store remove (ОТПЕЧАТОК | --thumbprint ОТПЕЧАТОК | --subject ИМЯ)\n"
     "Удаляет сертификат, его закрытый ключ и понятное имя из хранилища.\n",
     {kExitOk, kExitFailure, kExitUsage, kExitNotInStore},
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
