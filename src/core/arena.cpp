#include "core/arena.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

namespace brivel::arena {

Pages::Pages(std::size_t size) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    p_ = static_cast<char*>(p);
    n_ = size;
}

Pages::~Pages() {
    if (p_) ::munmap(p_, n_);
}

char* Bytes::take(std::size_t n) {
    if (n > left_) {
        // A string longer than a block gets a block of its own.
        blocks_.emplace_back(std::max(block_, n));
        at_ = blocks_.back().data();
        left_ = blocks_.back().size();
    }
    char* p = at_;
    at_ += n;
    left_ -= n;
    return p;
}

std::string_view Bytes::add(std::string_view s) { return add(s, 0, {}); }

std::string_view Bytes::add(std::string_view a, char sep, std::string_view b) {
    const std::size_t n = a.size() + (sep ? 1 : 0) + b.size();
    char* p = take(n + 1);
    if (!a.empty()) std::memcpy(p, a.data(), a.size());
    std::size_t k = a.size();
    if (sep) p[k++] = sep;
    if (!b.empty()) std::memcpy(p + k, b.data(), b.size());
    p[n] = '\0';
    return {p, n};
}

void Bytes::release_before(std::string_view v) {
    for (std::size_t i = first_; i < blocks_.size(); ++i)
        if (blocks_[i].holds(v.data())) {
            for (; first_ < i; ++first_) blocks_[first_] = Pages();
            return;
        }
}

std::size_t Bytes::reserved() const {
    std::size_t n = 0;
    for (const Pages& b : blocks_) n += b.size();
    return n;
}

void Bytes::clear() {
    std::vector<Pages>().swap(blocks_);
    first_ = 0;
    at_ = nullptr;
    left_ = 0;
}

}  // namespace brivel::arena
