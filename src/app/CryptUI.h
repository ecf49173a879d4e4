#pragma once

// The two certificate dialogs of the original platform's cryptui, with their names and contracts.
// They show Qt dialogs through the window's prompt interface, so tests answer them from a script.

#include "crypto/CryptoApi.h"

namespace plombar::app {

class Prompts;

using HWND = void*;
using crypto::BOOL;
using crypto::DWORD;
using crypto::HCERTSTORE;
using crypto::PCCERT_CONTEXT;

// The prompts the dialogs go through; the main window registers its own (null: none registered, the
// dialogs then fail as cancelled).
void SetCryptUIPrompts(Prompts* prompts);
Prompts* CryptUIPrompts();

// The certificate selection dialog over the store's certificates. `pszTitle` and `pszDisplayString`
// are UTF-8 (empty or null: the dialog's defaults). Returns a new context for the chosen
// certificate (the caller releases it with CertFreeCertificateContext), or null when the user
// cancelled or the store holds no certificate (last error ERROR_CANCELLED / CRYPT_E_NOT_FOUND).
PCCERT_CONTEXT CryptUIDlgSelectCertificateFromStore(HCERTSTORE hCertStore, HWND hwnd, const char* pszTitle,
                                                    const char* pszDisplayString, DWORD dwDontUseColumn,
                                                    DWORD dwFlags, void* pvReserved);

struct CRYPTUI_VIEWCERTIFICATE_STRUCTA {
    DWORD dwSize;
    HWND hwndParent;
    DWORD dwFlags;
    const char* szTitle;
    PCCERT_CONTEXT pCertContext;
    // The original structure continues with purposes, trust state and property pages, which the view
    // dialog here does not offer; they are left out.
};
using PCCRYPTUI_VIEWCERTIFICATE_STRUCTA = const CRYPTUI_VIEWCERTIFICATE_STRUCTA*;

// The modal certificate view dialog for pCertViewInfo->pCertContext. *pfPropertiesChanged (when given)
// is set to FALSE: the dialog changes nothing. FALSE with E_INVALIDARG for a missing structure or
// context.
BOOL CryptUIDlgViewCertificateA(PCCRYPTUI_VIEWCERTIFICATE_STRUCTA pCertViewInfo, BOOL* pfPropertiesChanged);

} // namespace plombar::app
