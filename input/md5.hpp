// MD5 (RFC 1321) through OpenSSL's EVP interface: the digest of a card image.
#pragma once

#include <array>
#include <cstdint>
#include <span>

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX

namespace lk {

using Md5Digest = std::array<std::uint8_t, 16>;

class Md5 {
public:
    Md5();
    ~Md5();
    Md5(const Md5&) = delete;
    Md5& operator=(const Md5&) = delete;

    void update(std::span<const std::uint8_t> bytes);
    // The digest of everything added; the object is spent afterwards.
    Md5Digest finish();

private:
    evp_md_ctx_st* ctx_;
};

}  // namespace lk
