// Append-only byte storage whose views stay valid until it is destroyed: strings are copied
// into large blocks that never move, so views can be handed to other threads while more are
// added. Far less memory per string than one std::string each, and freed in one go.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace brivel::arena {

class Bytes {
  public:
    explicit Bytes(std::size_t block = 256 * 1024) : block_(block) {}
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    Bytes(Bytes&&) = default;
    Bytes& operator=(Bytes&&) = default;

    // A stable copy of `s`, followed by a NUL byte (so data() is a C string too).
    std::string_view add(std::string_view s);
    // The same for the concatenation of `a`, `sep` (when not 0) and `b`.
    std::string_view add(std::string_view a, char sep, std::string_view b);
    // Bytes held in blocks (reserved, not only used).
    std::size_t reserved() const { return reserved_; }
    void clear();  // frees every block; earlier views dangle

  private:
    std::size_t block_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* at_ = nullptr;
    std::size_t left_ = 0, reserved_ = 0;

    char* take(std::size_t n);
};

// A sequence whose elements never move: appended in blocks of `kBlock`, so references to
// earlier elements may be used (by other threads too) while more are appended.
template <class T, std::size_t kBlock = 4096>
class Stable {
  public:
    T& emplace_back() {
        const std::size_t i = size_;
        if (i % kBlock == 0) blocks_.emplace_back(new T[kBlock]());
        ++size_;
        return (*this)[i];
    }
    T& operator[](std::size_t i) { return blocks_[i / kBlock][i % kBlock]; }
    const T& operator[](std::size_t i) const { return blocks_[i / kBlock][i % kBlock]; }
    std::size_t size() const { return size_; }
    void clear() {
        std::vector<std::unique_ptr<T[]>>().swap(blocks_);
        size_ = 0;
    }

  private:
    std::vector<std::unique_ptr<T[]>> blocks_;
    std::size_t size_ = 0;
};

}  // namespace brivel::arena
