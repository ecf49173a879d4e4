#include "CryptoError.h"

#include "OpenSsl.h"

namespace plombar::crypto {

namespace {

std::string messageOf(const std::string& what, const std::string& reasons) {
    return reasons.empty() ? what : what + " (" + reasons + ")";
}

} // namespace

CryptoError::CryptoError(CryptoFailure kind, std::uint32_t code, std::string what, std::string openSslReasons)
    : Error(messageOf(what, openSslReasons)), kind_(kind), code_(code),
      openSslReasons_(std::move(openSslReasons)) {}

void raiseOpenSslError(CryptoFailure kind, std::uint32_t code, const std::string& what) {
    throw CryptoError(kind, code, what, TakeOpenSslErrors());
}

const char* failureName(CryptoFailure kind) noexcept {
    switch (kind) {
    case CryptoFailure::BadMessage:
        return "BadMessage";
    case CryptoFailure::UnexpectedMessageType:
        return "UnexpectedMessageType";
    case CryptoFailure::UnsupportedAlgorithm:
        return "UnsupportedAlgorithm";
    case CryptoFailure::BadSignature:
        return "BadSignature";
    case CryptoFailure::SignerCertificateMissing:
        return "SignerCertificateMissing";
    case CryptoFailure::NoSigner:
        return "NoSigner";
    case CryptoFailure::ContentMissing:
        return "ContentMissing";
    case CryptoFailure::NoRecipient:
        return "NoRecipient";
    case CryptoFailure::UnsupportedRecipient:
        return "UnsupportedRecipient";
    case CryptoFailure::WrongKey:
        return "WrongKey";
    case CryptoFailure::KeyUnavailable:
        return "KeyUnavailable";
    case CryptoFailure::Cancelled:
        return "Cancelled";
    case CryptoFailure::EngineMissing:
        return "EngineMissing";
    case CryptoFailure::InputChanged:
        return "InputChanged";
    case CryptoFailure::NotACertificate:
        return "NotACertificate";
    case CryptoFailure::NoKey:
        return "NoKey";
    case CryptoFailure::KeyNotPrivate:
        return "KeyNotPrivate";
    case CryptoFailure::BadKey:
        return "BadKey";
    case CryptoFailure::WrongPassword:
        return "WrongPassword";
    case CryptoFailure::KeyMismatch:
        return "KeyMismatch";
    case CryptoFailure::StoreUnusable:
        return "StoreUnusable";
    case CryptoFailure::Failed:
        return "Failed";
    }
    return "?";
}

} // namespace plombar::crypto
