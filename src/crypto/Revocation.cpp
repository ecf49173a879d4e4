#include "Revocation.h"

#include "TrustReport.h"
#include "platform/AtomicFile.h"
#include "platform/DisplayText.h"
#include "platform/Errors.h"
#include "platform/FileReader.h"
#include "platform/HexText.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace plombar::crypto {

namespace {

using CrlPtr = std::unique_ptr<X509_CRL, OpenSslDeleter<X509_CRL_free>>;
using DistPointsPtr = std::unique_ptr<STACK_OF(DIST_POINT), OpenSslDeleter<CRL_DIST_POINTS_free>>;
using IssuingPointPtr = std::unique_ptr<ISSUING_DIST_POINT, OpenSslDeleter<ISSUING_DIST_POINT_free>>;

constexpr std::size_t kMaxCrlSize = std::size_t{16} << 20;
// Addresses tried per certificate: a certificate listing a hundred that do not answer must not
// hold the check up for a hundred time limits.
constexpr std::size_t kMaxAddresses = 4;

using Deadline = std::chrono::steady_clock::time_point;

using Clock = std::chrono::sys_seconds;

std::optional<Clock> timeOf(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1)
        return std::nullopt;
    return Clock(std::chrono::seconds(timegm(&tm)));
}

std::string quoted(const Certificate& certificate) {
    return "«" + certificate.commonName() + "»";
}

// The addresses of the full-name distribution points (not those of another CRL issuer).
struct DistributionPoints {
    bool any = false;
    std::vector<std::string> httpUrls;
};

DistributionPoints distributionPoints(const Certificate& certificate) {
    DistributionPoints points;
    DistPointsPtr list(static_cast<STACK_OF(DIST_POINT)*>(
        X509_get_ext_d2i(certificate.x509(), NID_crl_distribution_points, nullptr, nullptr)));
    if (!list)
        return points;
    for (int i = 0; i < sk_DIST_POINT_num(list.get()); ++i) {
        const DIST_POINT* point = sk_DIST_POINT_value(list.get(), i);
        points.any = true;
        if (point->distpoint == nullptr || point->distpoint->type != 0 || point->CRLissuer != nullptr)
            continue;
        const GENERAL_NAMES* names = point->distpoint->name.fullname;
        for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, j);
            if (name->type != GEN_URI)
                continue;
            const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
            std::string url(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                            static_cast<std::size_t>(ASN1_STRING_length(uri)));
            const std::string scheme = url.substr(0, url.find(':'));
            if ((scheme == "http" || scheme == "https" || scheme == "HTTP" || scheme == "HTTPS") &&
                points.httpUrls.size() < kMaxAddresses)
                points.httpUrls.push_back(std::move(url));
        }
    }
    return points;
}

std::string sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    return hexText(digest, length, HexCase::Lower);
}

// The cache folder, made if missing; empty when it cannot be made or others could plant files in it.
std::string usableCacheFolder(const std::string& folder) {
    std::string path;
    std::size_t from = 1;
    for (;;) {
        const std::size_t slash = folder.find('/', from);
        path = folder.substr(0, slash);
        if (!path.empty() && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return {};
        if (slash == std::string::npos)
            break;
        from = slash + 1;
    }
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return {};
    return folder;
}

CrlPtr parseCrl(const std::string& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(bytes.size())));
    if (crl && p != reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size())
        crl.reset(); // bytes after the CRL: not one DER CRL
    if (!crl) {
        BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        crl.reset(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
    }
    ClearOpenSslErrors();
    return crl;
}

struct CrlCheck {
    bool usable = false;
    bool stale = false; // sound, but its next update has passed
    std::string reason;
};

// Whether `crl` may answer for `certificate`, issued by `issuer`, at `now`.
CrlCheck checkCrl(X509_CRL* crl, const Certificate& certificate, const Certificate& issuer, Clock now,
                  const std::string& url) {
    CrlCheck check;
    const std::string where = " (" + displayUrl(url) + ")";
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_subject_name(issuer.x509())) != 0) {
        check.reason = "список отзыва выпущен не издателем сертификата " + quoted(certificate) + where;
        return check;
    }
    EVP_PKEY* key = X509_get0_pubkey(issuer.x509());
    if (key == nullptr || X509_CRL_verify(crl, key) != 1) {
        ClearOpenSslErrors();
        check.reason = "неверная подпись списка отзыва" + where;
        return check;
    }
    if ((X509_get_extension_flags(issuer.x509()) & EXFLAG_KUSAGE) != 0 &&
        (X509_get_key_usage(issuer.x509()) & KU_CRL_SIGN) == 0) {
        check.reason = "издатель " + quoted(issuer) + " не вправе подписывать списки отзыва";
        return check;
    }
    const STACK_OF(X509_EXTENSION)* extensions = X509_CRL_get0_extensions(crl);
    for (int i = 0; i < sk_X509_EXTENSION_num(extensions); ++i) {
        X509_EXTENSION* extension = sk_X509_EXTENSION_value(extensions, i);
        const int nid = OBJ_obj2nid(X509_EXTENSION_get_object(extension));
        if (nid == NID_issuing_distribution_point) {
            IssuingPointPtr scope(static_cast<ISSUING_DIST_POINT*>(X509V3_EXT_d2i(extension)));
            const bool isCa = X509_check_ca(certificate.x509()) != 0;
            if (!scope || scope->indirectCRL || scope->onlyattr || scope->onlysomereasons != nullptr ||
                (scope->onlyuser && isCa) || (scope->onlyCA && !isCa)) {
                check.reason = "список отзыва не охватывает сертификат " + quoted(certificate) + where;
                return check;
            }
        } else if (X509_EXTENSION_get_critical(extension) != 0) {
            check.reason = "неизвестное критическое расширение в списке отзыва" + where;
            return check;
        }
    }
    const std::optional<Clock> thisUpdate = timeOf(X509_CRL_get0_lastUpdate(crl));
    if (!thisUpdate || *thisUpdate > now) {
        check.reason = "список отзыва еще не действует" + where;
        return check;
    }
    const std::optional<Clock> nextUpdate = timeOf(X509_CRL_get0_nextUpdate(crl));
    check.usable = true;
    if (!nextUpdate || *nextUpdate <= now) {
        check.stale = true;
        check.reason = nextUpdate ? "список отзыва устарел " + dateText(*nextUpdate) + where
                                  : "в списке отзыва нет даты следующего выпуска" + where;
    }
    return check;
}

std::string readCached(const std::string& path) {
    try {
        return readFileContent(path, kMaxCrlSize);
    } catch (const Error&) {
        return {}; // missing, unreadable or too large: as if not cached
    }
}

struct CertificateStatus {
    RevocationState state = RevocationState::Unknown;
    Clock revokedAt{};
    std::string reason;
};

CertificateStatus lookUp(X509_CRL* crl, const Certificate& certificate) {
    CertificateStatus status;
    X509_REVOKED* entry = nullptr;
    // 1: listed; 2: listed with the reason removeFromCRL, which takes a hold back.
    if (X509_CRL_get0_by_serial(crl, &entry, X509_get_serialNumber(certificate.x509())) == 1 &&
        entry != nullptr) {
        status.state = RevocationState::Revoked;
        status.revokedAt = timeOf(X509_REVOKED_get0_revocationDate(entry)).value_or(Clock{});
    } else {
        status.state = RevocationState::NotRevoked;
    }
    return status;
}

CertificateStatus checkCertificate(const Certificate& certificate, const Certificate& issuer,
                                   const RevocationOptions& options, const std::string& cache, Clock now,
                                   Deadline deadline) {
    CertificateStatus status;
    const DistributionPoints points = distributionPoints(certificate);
    if (points.httpUrls.empty()) {
        status.reason =
            points.any ? "в сертификате " + quoted(certificate) + " нет адреса списка отзыва по HTTP"
                       : "в сертификате " + quoted(certificate) + " нет точки распространения списка отзыва";
        return status;
    }
    for (const std::string& url : points.httpUrls) {
        const std::string where = " (" + displayUrl(url) + ")";
        const std::string cachePath = cache.empty() ? std::string() : cache + "/" + sha256Hex(url) + ".crl";
        if (!cachePath.empty()) {
            if (CrlPtr cached = parseCrl(readCached(cachePath))) {
                const CrlCheck check = checkCrl(cached.get(), certificate, issuer, now, url);
                if (check.usable && !check.stale)
                    return lookUp(cached.get(), certificate);
                if (options.offline) {
                    status.reason = check.usable
                                        ? "сохраненный список отзыва устарел, а проверка без сети" + where
                                        : check.reason;
                    continue;
                }
            }
        }
        if (options.offline) {
            if (status.reason.empty())
                status.reason = "список отзыва не сохранен, а проверка без сети" + where;
            continue;
        }
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0) {
            status.reason = "истекло время проверки отзыва";
            break;
        }
        HttpFetchOptions fetch = options.fetch;
        fetch.timeout = std::min(fetch.timeout, remaining);
        const HttpFetchResult fetched = httpGet(url, fetch);
        if (!fetched.ok) {
            status.reason = "список отзыва не получен: " + fetched.failure;
            continue;
        }
        CrlPtr crl = parseCrl(fetched.body);
        if (!crl) {
            status.reason = "полученный файл не является списком отзыва" + where;
            continue;
        }
        const CrlCheck check = checkCrl(crl.get(), certificate, issuer, now, url);
        if (!check.usable || check.stale) {
            status.reason = check.reason;
            continue;
        }
        if (!cachePath.empty()) {
            try {
                saveFileAtomically(cachePath, fetched.body);
            } catch (const Error&) {
                // A cache that cannot be written costs a download next time, nothing more.
            }
        }
        return lookUp(crl.get(), certificate);
    }
    return status;
}

} // namespace

std::string crlCacheFolder() {
    return xdgCacheHome() + "/plombar/crl";
}

RevocationStatus checkRevocation(const std::vector<Certificate>& chain, const RevocationOptions& options) {
    RevocationStatus result;
    if (chain.size() < 2) {
        result.reason = chain.empty() ? "нет сертификата"
                                      : "не найден издатель сертификата " + quoted(chain.front()) +
                                            " для проверки списка отзыва";
        return result;
    }
    const Clock now = options.at.value_or(
        std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now()));
    const std::string cache =
        usableCacheFolder(options.cacheFolder.empty() ? crlCacheFolder() : options.cacheFolder);
    const Deadline deadline = std::chrono::steady_clock::now() + options.totalTimeout;
    std::string unknown;
    for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
        const CertificateStatus status =
            checkCertificate(chain[i], chain[i + 1], options, cache, now, deadline);
        if (status.state == RevocationState::Revoked) {
            result.state = RevocationState::Revoked;
            result.revokedAt = status.revokedAt;
            return result;
        }
        if (status.state == RevocationState::Unknown && unknown.empty())
            unknown = status.reason;
    }
    if (!unknown.empty()) {
        result.reason = unknown;
        return result;
    }
    result.state = RevocationState::NotRevoked;
    return result;
}

} // namespace plombar::crypto
