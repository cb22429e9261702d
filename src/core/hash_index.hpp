// The positions of a sequence its owner appends to, found by the hash of their key: open
// addressing with linear probing in a power-of-two table kept at most half full. A slot
// holds only a position (4 bytes); the owner keeps each position's hash, which
// `hash_of(position)` gives, with its keys, and never has them copied: growing re-places
// positions, nothing else. A probe compares keys only where the hashes meet.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace brivel::hash_index {

template <class HashOf>
class HashIndex {
  public:
    // `first_slots` (a power of two) is the table's size once something is inserted.
    explicit HashIndex(HashOf hash_of, std::size_t first_slots = 64)
        : hash_of_(std::move(hash_of)), first_(first_slots) {}

    // The position recorded under `hash` for which `same(position)` holds.
    template <class Same>
    std::optional<std::uint32_t> find(std::size_t hash, Same same) const {
        if (slots_.empty()) return std::nullopt;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask; slots_[i]; i = (i + 1) & mask) {
            const std::uint32_t at = slots_[i] - 1;
            if (hash_of_(at) == hash && same(at)) return at;
        }
        return std::nullopt;
    }

    // Records the next position, size(), whose hash_of() is `hash`; the caller has made
    // sure no equal key is recorded.
    void append(std::size_t hash) {
        if ((count_ + 1) * 2 > slots_.size()) grow();
        place(slots_, hash, static_cast<std::uint32_t>(count_));
        ++count_;
    }

    std::size_t size() const { return count_; }
    // Forgets every position; the table keeps its memory.
    void reset() {
        std::fill(slots_.begin(), slots_.end(), 0);
        count_ = 0;
    }
    // Forgets every position and frees the table.
    void clear() {
        std::vector<std::uint32_t>().swap(slots_);
        count_ = 0;
    }

  private:
    HashOf hash_of_;
    std::vector<std::uint32_t> slots_;  // 0 empty, else position + 1
    std::size_t count_ = 0;
    std::size_t first_;

    static void place(std::vector<std::uint32_t>& slots, std::size_t hash, std::uint32_t position) {
        const std::size_t mask = slots.size() - 1;
        std::size_t i = hash & mask;
        while (slots[i]) i = (i + 1) & mask;
        slots[i] = position + 1;
    }
    void grow() {
        // The owner's hashes are read in its order, not the slots' scattered one.
        std::vector<std::uint32_t> bigger(slots_.empty() ? first_ : slots_.size() * 2, 0);
        for (std::uint32_t k = 0; k < count_; ++k) place(bigger, hash_of_(k), k);
        slots_.swap(bigger);
    }
};

}  // namespace brivel::hash_index
