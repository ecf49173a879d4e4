#pragma once

// The Russian names the certificate dialogs give to a certificate's extensions and to the usages
// they list, where OpenSSL names them in English.

#include "crypto/CertificateDescription.h"

#include <QString>

#include <string>

namespace plombar::app {

// "Использование ключа (2.5.29.15)" for the key usage extension; for one without a Russian name,
// `name` as the crypto layer gave it ("1.2.3.4" or "<OpenSSL's name> (<OID>)"). A ", критическое"
// at the end of `name` stays.
QString extensionName(const std::string& oid, const std::string& name);

// The extension's value with the key usages and extended key usages that OpenSSL spells in English
// put in Russian ("Цифровая подпись, Неотрекаемость"; "Проверка подлинности клиента
// (1.3.6.1.5.5.7.3.2)"); any other value as it is.
QString extensionValue(const std::string& oid, const std::string& value);

// Why a certificate will not do for signing now, empty when it will: "Срок действия истёк",
// "Срок действия ещё не наступил" or "Нет закрытого ключа".
QString unusableReason(const crypto::CertificateDescription& certificate);

} // namespace plombar::app
