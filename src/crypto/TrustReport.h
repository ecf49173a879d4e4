#pragma once

// The verification report's lines about one signer beyond the signature itself: the certificate's
// chain, its revocation status, the signing time, and the heading of each signer of a message with
// several. The texts are the program's own and exact; reasons come out escaped for display.

#include "crypto/CertificateChain.h"
#include "crypto/Revocation.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plombar::crypto {

inline constexpr const char* kChainBuiltLine = "V Цепочка сертификатов построена до доверенного корневого";
inline constexpr const char* kChainNotBuiltPrefix = "X Цепочка сертификатов не построена: ";
inline constexpr const char* kNotRevokedLine = "V Сертификат не отозван";
inline constexpr const char* kRevokedPrefix = "X Сертификат отозван ";
inline constexpr const char* kRevocationUnknownPrefix = "? Статус отзыва не проверен: ";
inline constexpr const char* kSigningTimePrefix = "Время подписи: ";

// "DD.MM.YYYY" and "DD.MM.YYYY HH:MM:SS" of a moment in UTC.
std::string dateText(std::chrono::sys_seconds time);
std::string dateTimeText(std::chrono::sys_seconds time);

// "V Цепочка сертификатов построена до доверенного корневого" or
// "X Цепочка сертификатов не построена: REASON".
std::string chainLine(const ChainResult& chain);
// "V Сертификат не отозван", "X Сертификат отозван DD.MM.YYYY" or
// "? Статус отзыва не проверен: REASON".
std::string revocationLine(const RevocationStatus& status);
// "Время подписи: DD.MM.YYYY HH:MM:SS UTC" for a signing time in seconds since 1970 (UTC).
std::string signingTimeLine(std::int64_t secondsSince1970);
// "Подпись N из M" (N counted from 1).
std::string signerHeadingLine(std::size_t number, std::size_t count);

// Everything a verify flow asks about one signer's certificate, in one call.
struct TrustOptions {
    RevocationOptions revocation;               // offline, cache folder, fetch limits
    std::optional<std::chrono::sys_seconds> at; // default: now (also for the revocation check)
};
struct TrustVerdict {
    ChainResult chain;
    RevocationStatus revocation;
    bool trusted() const noexcept { return chain.built && revocation.state == RevocationState::NotRevoked; }
};
// Builds the chain (buildChain) and checks revocation along it (checkRevocation), also along the
// part that was built when the chain was not.
TrustVerdict checkTrust(const Certificate& signer, const std::vector<Certificate>& messageCertificates,
                        const TrustAnchors& anchors, const TrustOptions& options = {});
// The chain line, the revocation line and, with a signing time, its line: in the report's order.
std::vector<std::string> trustLines(const TrustVerdict& verdict, std::optional<std::int64_t> signingTime);

} // namespace plombar::crypto
