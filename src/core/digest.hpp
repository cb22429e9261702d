// SHA-256 / MD5 digests and Base64 on OpenSSL's libcrypto. Plain C++: callers release the
// GIL around these so that several hash workers run on several cores.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/cancel.hpp"

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace brivel::digest {

using Sha256Raw = std::array<unsigned char, 32>;

enum class Algorithm { sha256, md5 };

// An incremental digest of one algorithm (std::bad_alloc when libcrypto cannot set it up).
class Incremental {
  public:
    explicit Incremental(Algorithm algorithm);
    ~Incremental();
    Incremental(const Incremental&) = delete;
    Incremental& operator=(const Incremental&) = delete;
    void update(const void* data, std::size_t n);

  protected:
    // Writes the digest (at most 64 bytes) to `out`; returns its length.
    std::size_t finish_into(unsigned char* out);

  private:
    EVP_MD_CTX* ctx_;
};

class Sha256 : public Incremental {
  public:
    Sha256() : Incremental(Algorithm::sha256) {}
    Sha256Raw finish();
};

// Incremental MD5, for a digest taken piece by piece as the data goes out.
class Md5 : public Incremental {
  public:
    Md5() : Incremental(Algorithm::md5) {}
    std::string finish_hex();
};

std::string hex(const unsigned char* data, std::size_t n);
// Lower-case hex of `n` bytes into `out` (2n characters, no NUL).
void hex_into(const unsigned char* data, std::size_t n, char* out);
// The 32 bytes of 64 lower-case hexadecimal digits; false for any other text.
bool from_hex(std::string_view text, Sha256Raw& out);
std::string base64(const unsigned char* data, std::size_t n);
std::string md5_hex(const void* data, std::size_t n);
Sha256Raw sha256(const void* data, std::size_t n);

struct FileDigest {
    bool want_hex = true;     // set false when `raw` is enough (no string per file)
    Sha256Raw raw{};
    std::string hex;          // lower-case hexadecimal SHA-256, when wanted
    std::uint64_t bytes = 0;  // bytes actually read
    bool opened = false;      // the file was opened: a failure came from a read
};

// Hashes a whole file in blocks of `chunk` bytes. Returns 0 or the errno of the failed
// open/read (EISDIR for a directory, as the interpreter's open() reports it), or
// cancel::kCancelled once `stop` (asked before every block) is requested.
int sha256_file(const char* path, std::size_t chunk, FileDigest& out, const cancel::Token* stop = nullptr);

// The same with a caller-owned block buffer of `block` bytes, for workers that hash many
// files in a row.
int sha256_file(const char* path, unsigned char* buf, std::size_t block, FileDigest& out,
                const cancel::Token* stop = nullptr);

// Block size actually used for a requested chunk size.
std::size_t block_size(std::size_t chunk);

}  // namespace brivel::digest
