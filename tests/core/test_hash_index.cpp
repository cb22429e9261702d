#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/hash_index.hpp"

using namespace brivel;
namespace {

// Keys and their hashes kept by the caller, as the table's users keep theirs; the table
// knows only their positions.
struct Keys {
    std::vector<std::string> names;
    std::vector<std::size_t> hashes;
    mutable std::size_t compared = 0;  // calls of `same`

    struct HashOf {
        const Keys* keys;
        std::size_t operator()(std::uint32_t at) const { return keys->hashes.at(at); }
    };
    using Index = hash_index::HashIndex<HashOf>;
    Index index(std::size_t first_slots) const { return Index(HashOf{this}, first_slots); }

    void add(Index& ix, std::string name, std::size_t hash) {
        names.push_back(std::move(name));
        hashes.push_back(hash);
        ix.append(hash);
    }
    std::optional<std::uint32_t> find(const Index& ix, const std::string& name, std::size_t hash) const {
        return ix.find(hash, [&](std::uint32_t at) {
            ++compared;
            return names.at(at) == name;
        });
    }
};

struct Case {
    const char* what;
    std::size_t first_slots;
    std::vector<std::size_t> hashes;  // key i is recorded under hashes[i]
};

std::vector<std::size_t> hashes(std::size_t n, std::size_t (*f)(std::size_t)) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(f(i));
    return out;
}

std::vector<Case> cases() {
    return {
        {"nothing recorded", 64, {}},
        {"distinct hashes in the first table", 64, {0, 1, 2, 3, 40, 41, 63}},
        {"one home slot for all", 64, hashes(20, [](std::size_t i) { return i * 64; })},
        {"probes wrap past the table's end", 64, {63, 127, 191, 62}},
        {"one hash for all", 64, hashes(20, [](std::size_t) -> std::size_t { return 7; })},
        {"hashes that differ only in their high bits", 64,
         hashes(20, [](std::size_t i) { return (static_cast<std::size_t>(i + 1) << 32) | 5; })},
        {"growing many times from a tiny table", 2,
         hashes(5000, [](std::size_t i) { return static_cast<std::size_t>(i * 2654435761u + 12345); })},
        {"growing with clustered hashes", 8, hashes(3000, [](std::size_t i) { return i / 3; })},
    };
}

}  // namespace

TEST(hash_index_finds_every_recorded_position_and_nothing_else) {
    for (const Case& c : cases()) {
        const int failed_before = check::failures();
        Keys keys;
        Keys::Index ix = keys.index(c.first_slots);
        for (std::size_t i = 0; i < c.hashes.size(); ++i) {
            const std::string name = "key-" + std::to_string(i);
            CHECK(!keys.find(ix, name, c.hashes[i]));  // not there before it is recorded
            keys.add(ix, name, c.hashes[i]);
            CHECK_EQ(ix.size(), i + 1);
        }
        const std::multiset<std::size_t> all(c.hashes.begin(), c.hashes.end());
        for (std::size_t i = 0; i < c.hashes.size(); ++i) {
            keys.compared = 0;
            const auto at = keys.find(ix, keys.names[i], c.hashes[i]);
            CHECK(at && *at == i);
            // The key is compared only with those whose hash meets its own.
            CHECK(keys.compared >= 1 && keys.compared <= all.count(c.hashes[i]));
            // Another key under the same hash is not found.
            CHECK(!keys.find(ix, "other-" + std::to_string(i), c.hashes[i]));
        }
        // A hash nobody has is answered without comparing a key.
        std::size_t fresh = 0x9e3779b97f4a7c15u;
        while (all.count(fresh)) ++fresh;
        keys.compared = 0;
        CHECK(!keys.find(ix, "key-0", fresh));
        CHECK_EQ(keys.compared, 0u);
        if (check::failures() != failed_before) std::fprintf(stderr, "  in the case: %s\n", c.what);
    }
}

TEST(hash_index_reset_and_clear_forget_every_position) {
    for (bool free_it : {false, true}) {
        Keys keys;
        Keys::Index ix = keys.index(4);
        for (std::uint32_t i = 0; i < 100; ++i) keys.add(ix, "k" + std::to_string(i), i * 31u);
        if (free_it)
            ix.clear();
        else
            ix.reset();
        CHECK_EQ(ix.size(), 0u);
        for (std::uint32_t i = 0; i < 100; ++i) CHECK(!keys.find(ix, "k" + std::to_string(i), i * 31u));
        // Recorded anew in the other order, the keys are found at their new positions.
        keys.names.clear();
        keys.hashes.clear();
        for (std::uint32_t i = 100; i-- > 0;) keys.add(ix, "k" + std::to_string(i), i * 31u);
        for (std::uint32_t i = 0; i < 100; ++i) {
            const auto at = keys.find(ix, "k" + std::to_string(i), i * 31u);
            CHECK(at && *at == 99 - i);
        }
    }
}
