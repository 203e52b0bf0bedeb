// SHA-256 through OpenSSL's libcrypto (its EVP digest interface).
#include <openssl/evp.h>

#include <memory>

#include "images/sha256.h"

namespace korva {

bool sha256(std::span<const uint8_t> data, Sha256Digest& digest) {
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          EVP_MD_CTX_free);
    unsigned int size = 0;
    return context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1 &&
           EVP_DigestUpdate(context.get(), data.data(), data.size()) == 1 &&
           EVP_DigestFinal_ex(context.get(), digest.data(), &size) == 1 && size == digest.size();
}

}  // namespace korva
