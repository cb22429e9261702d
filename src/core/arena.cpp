#include "core/arena.hpp"

#include <algorithm>
#include <cstring>

namespace brivel::arena {

char* Bytes::take(std::size_t n) {
    if (n > left_) {
        // A string longer than a block gets a block of its own.
        const std::size_t size = std::max(block_, n);
        blocks_.emplace_back(new char[size]);
        reserved_ += size;
        at_ = blocks_.back().get();
        left_ = size;
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
    std::memcpy(p, a.data(), a.size());
    std::size_t k = a.size();
    if (sep) p[k++] = sep;
    if (!b.empty()) std::memcpy(p + k, b.data(), b.size());
    p[n] = '\0';
    return {p, n};
}

void Bytes::clear() {
    std::vector<std::unique_ptr<char[]>>().swap(blocks_);
    at_ = nullptr;
    left_ = reserved_ = 0;
}

}  // namespace brivel::arena
