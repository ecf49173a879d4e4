#include "ContentCipher.h"

namespace plombar::crypto::detail {

namespace {

struct SectionLength {
    int nid;
    int bytes;
};

constexpr SectionLength kCmsSectionLengths[] = {
    {NID_magma_ctr_acpkm, 8 * 1024},
    {NID_magma_ctr_acpkm_omac, 8 * 1024},
    {NID_kuznyechik_ctr_acpkm, 256 * 1024},
    {NID_kuznyechik_ctr_acpkm_omac, 256 * 1024},
};

} // namespace

bool UseCmsSectionLength(EVP_CIPHER_CTX* cipher) {
    const int nid = EVP_CIPHER_CTX_get_nid(cipher);
    for (const SectionLength& section : kCmsSectionLengths)
        if (section.nid == nid)
            return EVP_CIPHER_CTX_ctrl(cipher, EVP_CTRL_KEY_MESH, section.bytes, nullptr) > 0;
    return true;
}

} // namespace plombar::crypto::detail
