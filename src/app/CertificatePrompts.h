#pragma once

// The certificate dialogs as today's crypto operations ask for them: a store to choose a certificate
// from (signing, encryption) and a signer's certificate to show (verification). The operations pass
// both as the raw handles that the crypto layer's RAII types hold; StoreRef and CertificateRef are
// the window's only names for them, and the pages use them in their operation views alone.

#include "crypto/CryptoHandles.h"

#include <string>
#include <utility>

namespace plombar::app {

class Prompts;

// An open certificate store, as crypto::StoreHandle holds it.
using StoreRef = decltype(std::declval<const crypto::StoreHandle&>().get());
// One certificate, as crypto::CertContextHandle holds it.
using CertificateRef = decltype(std::declval<const crypto::CertContextHandle&>().get());

// Shows the certificate selection dialog titled `title` (default display text) over every
// certificate of `store`, in the store's order; an empty store still shows the empty dialog, so that
// the user sees why nothing can be chosen. Gives the chosen certificate as a reference of its own,
// which the caller releases, or null when the user cancelled.
CertificateRef chooseCertificateFromStore(Prompts& prompts, StoreRef store, const std::string& title);

// Shows `certificate` in the modal certificate view dialog and returns once it is closed. A dialog
// that cannot be shown is not reported: whoever asked goes on without it.
void showCertificate(Prompts& prompts, CertificateRef certificate) noexcept;

} // namespace plombar::app
