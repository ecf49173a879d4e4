#include "CertificateTexts.h"

#include <QStringList>

#include <iterator>
#include <string_view>

namespace plombar::app {

namespace {

struct Translation {
    std::string_view from;
    const char* to;
};

// By OID: the extensions a GOST certificate of a Russian CA carries.
constexpr Translation kExtensionNames[] = {
    {"2.5.29.14", "Идентификатор ключа субъекта"},
    {"2.5.29.15", "Использование ключа"},
    {"2.5.29.16", "Период использования закрытого ключа"},
    {"2.5.29.17", "Альтернативное имя субъекта"},
    {"2.5.29.18", "Альтернативное имя издателя"},
    {"2.5.29.19", "Основные ограничения"},
    {"2.5.29.31", "Точки распространения списков отзыва (CRL)"},
    {"2.5.29.32", "Политики сертификата"},
    {"2.5.29.35", "Идентификатор ключа центра сертификатов"},
    {"2.5.29.37", "Улучшенный ключ"},
    {"1.3.6.1.5.5.7.1.1", "Доступ к информации о центрах сертификации"},
    {"1.2.643.100.111", "Средство электронной подписи владельца"},
    {"1.2.643.100.112", "Средства электронной подписи и УЦ издателя"},
};

// OpenSSL's names of the key usage bits.
constexpr Translation kKeyUsages[] = {
    {"Digital Signature", "Цифровая подпись"},         {"Non Repudiation", "Неотрекаемость"},
    {"Key Encipherment", "Шифрование ключей"},         {"Data Encipherment", "Шифрование данных"},
    {"Key Agreement", "Согласование ключей"},          {"Certificate Sign", "Подписывание сертификатов"},
    {"CRL Sign", "Подписывание списков отзыва (CRL)"}, {"Encipher Only", "Только шифрование"},
    {"Decipher Only", "Только расшифровка"},
};

// OpenSSL's names of the extended key usages, with their OIDs.
struct Purpose {
    std::string_view from;
    const char* to;
    const char* oid;
};
constexpr Purpose kExtendedUsages[] = {
    {"TLS Web Server Authentication", "Проверка подлинности сервера", "1.3.6.1.5.5.7.3.1"},
    {"TLS Web Client Authentication", "Проверка подлинности клиента", "1.3.6.1.5.5.7.3.2"},
    {"Code Signing", "Подписывание кода", "1.3.6.1.5.5.7.3.3"},
    {"E-mail Protection", "Защищённая электронная почта", "1.3.6.1.5.5.7.3.4"},
    {"Time Stamping", "Установка штампа времени", "1.3.6.1.5.5.7.3.8"},
    {"OCSP Signing", "Подписывание ответов OCSP", "1.3.6.1.5.5.7.3.9"},
    {"Any Extended Key Usage", "Любое назначение", "2.5.29.37.0"},
};

const char* translationOf(const Translation* begin, const Translation* end, std::string_view key) {
    for (const Translation* t = begin; t != end; ++t)
        if (t->from == key)
            return t->to;
    return nullptr;
}

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

QString extensionName(const std::string& oid, const std::string& name) {
    const char* russian = translationOf(std::begin(kExtensionNames), std::end(kExtensionNames), oid);
    if (russian == nullptr)
        return qs(name);
    const std::string_view critical = ", критическое";
    const bool isCritical = name.size() >= critical.size() && name.ends_with(critical);
    return QString::fromUtf8(russian) + QStringLiteral(" (") + qs(oid) + QLatin1Char(')') +
           (isCritical ? qs(critical) : QString());
}

QString extensionValue(const std::string& oid, const std::string& value) {
    const bool keyUsage = oid == "2.5.29.15";
    const bool extendedUsage = oid == "2.5.29.37";
    if (!keyUsage && !extendedUsage)
        return qs(value);
    QStringList items;
    for (const QString& item : qs(value).split(QStringLiteral(", "))) {
        const std::string key = item.toStdString();
        if (keyUsage) {
            const char* russian = translationOf(std::begin(kKeyUsages), std::end(kKeyUsages), key);
            items << (russian != nullptr ? QString::fromUtf8(russian) : item);
            continue;
        }
        QString shown = item;
        for (const Purpose& p : kExtendedUsages)
            if (p.from == key)
                shown = QString::fromUtf8(p.to) + QStringLiteral(" (") + QString::fromUtf8(p.oid) +
                        QLatin1Char(')');
        items << shown;
    }
    return items.join(QStringLiteral(", "));
}

QString unusableReason(const crypto::CertificateDescription& certificate) {
    if (certificate.expired)
        return QStringLiteral("Срок действия истёк");
    if (certificate.notYetValid)
        return QStringLiteral("Срок действия ещё не наступил");
    if (!certificate.hasPrivateKey)
        return QStringLiteral("Нет закрытого ключа");
    return {};
}

} // namespace plombar::app
