// Append-only storage whose elements never move, so views and references can be handed to
// other threads while more is added, and which gives its memory straight back to the
// system, block by block, as the caller is done with it. One large block holds thousands
// of strings or records: far less memory than one allocation each, and what is released
// leaves the process at once (freed malloc memory may stay with it).
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

namespace brivel::arena {

// Zero-filled pages from the system, unmapped on destruction.
class Pages {
  public:
    Pages() = default;
    explicit Pages(std::size_t size);  // throws std::bad_alloc
    ~Pages();
    Pages(Pages&& o) noexcept : p_(std::exchange(o.p_, nullptr)), n_(std::exchange(o.n_, 0)) {}
    Pages& operator=(Pages&& o) noexcept {
        std::swap(p_, o.p_);
        std::swap(n_, o.n_);
        return *this;
    }
    char* data() const { return p_; }
    std::size_t size() const { return n_; }
    bool holds(const void* p) const {
        auto* c = static_cast<const char*>(p);
        return p_ && c >= p_ && c < p_ + n_;
    }

  private:
    char* p_ = nullptr;
    std::size_t n_ = 0;
};

class Bytes {
  public:
    explicit Bytes(std::size_t block = 256 * 1024) : block_(block) {}

    // A stable copy of `s`, followed by a NUL byte (so data() is a C string too).
    std::string_view add(std::string_view s);
    // The same for the concatenation of `a`, `sep` (when not 0) and `b`.
    std::string_view add(std::string_view a, char sep, std::string_view b);
    // Gives back every block added before the one that holds `v`: views into them dangle.
    void release_before(std::string_view v);
    // Bytes held in blocks (reserved, not only used).
    std::size_t reserved() const;
    void clear();  // gives back every block; every view dangles

  private:
    std::size_t block_;
    std::vector<Pages> blocks_;  // released ones stay as empty entries
    std::size_t first_ = 0;      // the oldest block still held
    char* at_ = nullptr;
    std::size_t left_ = 0;

    char* take(std::size_t n);
};

// A sequence of T appended in blocks of `kBlock` elements; elements are made in place as
// they are appended and destroyed when their block is released or the sequence ends.
template <class T, std::size_t kBlock = 4096>
class Stable {
  public:
    Stable() = default;
    Stable(const Stable&) = delete;
    Stable& operator=(const Stable&) = delete;
    ~Stable() { clear(); }

    T& emplace_back() {
        const std::size_t i = size_;
        if (i % kBlock == 0) blocks_.emplace_back(kBlock * sizeof(T));
        T* slot = new (blocks_[i / kBlock].data() + i % kBlock * sizeof(T)) T();
        ++size_;
        return *slot;
    }
    // Element i; it must not lie in a released block.
    T& operator[](std::size_t i) { return *at(i); }
    const T& operator[](std::size_t i) const { return *at(i); }
    std::size_t size() const { return size_; }

    // Destroys the elements below `i` that fill whole blocks and gives those blocks back.
    void release_before(std::size_t i) {
        for (; first_ < i / kBlock && first_ < blocks_.size(); ++first_) destroy(first_);
    }
    void clear() {
        release_before(blocks_.size() * kBlock);
        std::vector<Pages>().swap(blocks_);
        size_ = first_ = 0;
    }

  private:
    std::vector<Pages> blocks_;
    std::size_t size_ = 0, first_ = 0;

    T* at(std::size_t i) const {
        return std::launder(reinterpret_cast<T*>(blocks_[i / kBlock].data() + i % kBlock * sizeof(T)));
    }
    void destroy(std::size_t block) {
        const std::size_t end = std::min(size_, (block + 1) * kBlock);
        for (std::size_t i = block * kBlock; i < end; ++i) at(i)->~T();
        blocks_[block] = Pages();
    }
};

}  // namespace brivel::arena
