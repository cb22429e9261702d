#include "core/digest.hpp"

#include "core/filereader.hpp"
#include "core/hex_digit.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <new>
#include <stdexcept>

namespace brivel::digest {

namespace {

// The algorithms fetched from the provider once for the process: a context set up with
// the plain EVP_sha256() fetches again (a locked table lookup) every time, which shows on
// tens of thousands of small files hashed from several threads.
const EVP_MD* fetch(const char* name, const EVP_MD* fallback) {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, name, nullptr);
    return fetched ? fetched : fallback;
}

const EVP_MD* md_of(Algorithm algorithm) {
    static const EVP_MD* const sha256 = fetch("SHA256", EVP_sha256());
    static const EVP_MD* const md5 = fetch("MD5", EVP_md5());
    return algorithm == Algorithm::sha256 ? sha256 : md5;
}

}  // namespace

Incremental::Incremental(Algorithm algorithm) : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_, md_of(algorithm), nullptr) != 1) {
        EVP_MD_CTX_free(ctx_);
        throw std::bad_alloc();
    }
}

Incremental::~Incremental() { EVP_MD_CTX_free(ctx_); }

void Incremental::update(const void* data, std::size_t n) { EVP_DigestUpdate(ctx_, data, n); }

std::size_t Incremental::finish_into(unsigned char* out) {
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx_, out, &len);
    return len;
}

Sha256Raw Sha256::finish() {
    Sha256Raw out{};
    finish_into(out.data());
    return out;
}

std::string Md5::finish_hex() {
    unsigned char out[EVP_MAX_MD_SIZE];
    return hex(out, finish_into(out));
}

void hex_into(const unsigned char* data, std::size_t n, char* out) {
    static constexpr char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 0xF];
    }
}

std::string hex(const unsigned char* data, std::size_t n) {
    std::string s(n * 2, '\0');
    hex_into(data, n, s.data());
    return s;
}

bool from_hex(std::string_view text, Sha256Raw& out) {
    if (text.size() != 2 * out.size()) return false;
    int bad = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int hi = hex::lower_digit(static_cast<unsigned char>(text[2 * i]));
        const int lo = hex::lower_digit(static_cast<unsigned char>(text[2 * i + 1]));
        bad |= hi | lo;  // negative once any digit is not one
        out[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return bad >= 0;
}

std::string base64(const unsigned char* data, std::size_t n) {
    std::string s(4 * ((n + 2) / 3), '\0');
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(s.data()), data, static_cast<int>(n));
    s.resize(static_cast<std::size_t>(len));
    return s;
}

std::string md5_hex(const void* data, std::size_t n) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data, n, out, &len, md_of(Algorithm::md5), nullptr);
    return hex(out, len);
}

Sha256Raw sha256(const void* data, std::size_t n) {
    Sha256 h;
    h.update(data, n);
    return h.finish();
}

// Larger blocks change nothing but memory; the digest is the same for any block size.
constexpr std::size_t kMaxBlock = std::size_t{64} << 20;

std::size_t block_size(std::size_t chunk) { return std::clamp<std::size_t>(chunk, 1, kMaxBlock); }

int sha256_file(const char* path, std::size_t chunk, FileDigest& out, const cancel::Token* stop) {
    std::size_t block = block_size(chunk);
    std::unique_ptr<unsigned char[]> buf(new unsigned char[block]);
    return sha256_file(path, buf.get(), block, out, stop);
}

int sha256_file(const char* path, unsigned char* buf, std::size_t block, FileDigest& out,
                const cancel::Token* stop) {
    files::FileReader reader;
    if (int err = reader.open(path, stop)) return err;
    out.opened = true;
    Sha256 h;
    std::uint64_t total = 0;
    for (;;) {
        if (stop && stop->stopped()) return cancel::kCancelled;
        long long n = reader.read(buf, block);
        if (n < 0) return static_cast<int>(-n);
        if (n == 0) break;
        h.update(buf, static_cast<std::size_t>(n));
        total += static_cast<std::uint64_t>(n);
        // A short read that ends where the regular file ended when it was opened is its
        // end: the read that would only confirm it is left out (one call in two for the
        // small files of a project).
        if (static_cast<std::size_t>(n) < block && static_cast<long long>(total) == reader.size_at_open()) break;
    }
    out.raw = h.finish();
    if (out.want_hex) out.hex = hex(out.raw.data(), out.raw.size());
    out.bytes = total;
    return 0;
}

}  // namespace brivel::digest
