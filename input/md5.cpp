#include "input/md5.hpp"

#include <openssl/evp.h>

#include <new>

namespace lk {

Md5::Md5() : ctx_(EVP_MD_CTX_new()) {
    // Without a context or the algorithm there is no way to go on: treat it
    // like exhausted memory.
    if (!ctx_ || EVP_DigestInit_ex(ctx_, EVP_md5(), nullptr) != 1) {
        EVP_MD_CTX_free(ctx_);
        throw std::bad_alloc();
    }
}

Md5::~Md5() {
    EVP_MD_CTX_free(ctx_);
}

void Md5::update(std::span<const std::uint8_t> bytes) {
    if (!bytes.empty()) EVP_DigestUpdate(ctx_, bytes.data(), bytes.size());
}

Md5Digest Md5::finish() {
    Md5Digest digest{};
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx_, digest.data(), &len);
    return digest;
}

}  // namespace lk
