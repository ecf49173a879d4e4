#include "TrustReport.h"

#include "platform/DisplayText.h"

#include <cstdio>
#include <ctime>

namespace plombar::crypto {

namespace {

std::tm utc(std::chrono::sys_seconds time) {
    const std::time_t t = static_cast<std::time_t>(time.time_since_epoch().count());
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm;
}

} // namespace

std::string dateText(std::chrono::sys_seconds time) {
    const std::tm tm = utc(time);
    char text[32];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900);
    return text;
}

std::string dateTimeText(std::chrono::sys_seconds time) {
    const std::tm tm = utc(time);
    char text[32];
    std::snprintf(text, sizeof text, " %02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    return dateText(time) + text;
}

std::string chainLine(const ChainResult& chain) {
    if (chain.built)
        return kChainBuiltLine;
    return kChainNotBuiltPrefix + escapeForDisplay(chain.reason);
}

std::string revocationLine(const RevocationStatus& status) {
    switch (status.state) {
    case RevocationState::NotRevoked:
        return kNotRevokedLine;
    case RevocationState::Revoked:
        return kRevokedPrefix + dateText(status.revokedAt);
    case RevocationState::Unknown:
        break;
    }
    return kRevocationUnknownPrefix + escapeForDisplay(status.reason);
}

std::string signingTimeLine(std::int64_t secondsSince1970) {
    return kSigningTimePrefix +
           dateTimeText(std::chrono::sys_seconds(std::chrono::seconds(secondsSince1970))) + " UTC";
}

std::string signerHeadingLine(std::size_t number, std::size_t count) {
    return "Подпись " + std::to_string(number) + " из " + std::to_string(count);
}

TrustVerdict checkTrust(const Certificate& signer, const std::vector<Certificate>& messageCertificates,
                        const TrustAnchors& anchors, const TrustOptions& options) {
    TrustVerdict verdict;
    verdict.chain = buildChain(signer, messageCertificates, anchors, options.at);
    RevocationOptions revocation = options.revocation;
    if (!revocation.at)
        revocation.at = options.at;
    verdict.revocation = checkRevocation(verdict.chain.chain, revocation);
    return verdict;
}

std::vector<std::string> trustLines(const TrustVerdict& verdict, std::optional<std::int64_t> signingTime) {
    std::vector<std::string> lines{chainLine(verdict.chain), revocationLine(verdict.revocation)};
    if (signingTime)
        lines.push_back(signingTimeLine(*signingTime));
    return lines;
}

} // namespace plombar::crypto
