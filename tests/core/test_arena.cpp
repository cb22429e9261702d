#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/arena.hpp"

using namespace brivel;

namespace {

// The view holds `want` and is followed by a NUL, so data() works as a C string.
bool holds(std::string_view v, std::string_view want) {
    return v == want && v.data()[v.size()] == '\0' && std::strlen(v.data()) == want.size();
}

}  // namespace

TEST(arena_views_survive_many_later_adds) {
    // A tiny block forces hundreds of blocks; earlier views must neither move nor change.
    arena::Bytes bytes(64);
    std::vector<std::string> want;
    std::vector<std::string_view> got;
    for (int i = 0; i < 2000; ++i) {
        want.push_back("item-" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 23), 'x'));
        got.push_back(bytes.add(want.back()));
        CHECK(holds(got.back(), want.back()));
        CHECK(got.back().data() != want.back().data());  // a copy, not the caller's bytes
    }
    CHECK(bytes.reserved() >= 64 * 100);
    for (std::size_t i = 0; i < want.size(); ++i) CHECK(holds(got[i], want[i]));
    // No two views share bytes (their NULs included).
    for (std::size_t i = 1; i < got.size(); ++i) {
        const char* a = got[i - 1].data();
        const char* b = got[i].data();
        CHECK(b >= a + got[i - 1].size() + 1 || a >= b + got[i].size() + 1);
    }
}

TEST(arena_fills_a_block_before_starting_the_next) {
    arena::Bytes bytes(8);
    auto a = bytes.add("123");   // 4 bytes with its NUL
    auto b = bytes.add("abc");   // 4 more: the block is full
    CHECK_EQ(bytes.reserved(), 8u);
    CHECK_EQ(b.data(), a.data() + 4);
    auto c = bytes.add("z");
    CHECK_EQ(bytes.reserved(), 16u);
    CHECK(holds(a, "123") && holds(b, "abc") && holds(c, "z"));
}

TEST(arena_gives_an_oversized_string_its_own_block) {
    arena::Bytes bytes(16);
    auto small = bytes.add("abc");
    CHECK_EQ(bytes.reserved(), 16u);
    const std::string big(1000, 'B');
    auto large = bytes.add(big);
    CHECK_EQ(bytes.reserved(), 16u + 1001u);  // exactly the string and its NUL
    auto after = bytes.add("def");
    CHECK_EQ(bytes.reserved(), 16u + 1001u + 16u);
    CHECK(holds(small, "abc"));
    CHECK(holds(large, big));
    CHECK(holds(after, "def"));
    // A string of exactly a block (with its NUL) fits in one block.
    arena::Bytes exact(16);
    auto e = exact.add(std::string(15, 'e'));
    CHECK_EQ(exact.reserved(), 16u);
    CHECK(holds(e, std::string(15, 'e')));
}

TEST(arena_joins_two_parts_with_an_optional_separator) {
    arena::Bytes bytes(32);
    const std::string left(40, 'l'), right(40, 'r'), joined = left + "-" + right;
    struct Case {
        std::string_view a;
        char sep;
        std::string_view b;
        std::string_view want;
    };
    const Case cases[] = {
        {"dir", '/', "file.txt", "dir/file.txt"},
        {"dir", 0, "file.txt", "dirfile.txt"},
        {"", '/', "", "/"},
        {"", 0, "", ""},
        {"only", 0, "", "only"},
        {"", 0, "tail", "tail"},
        {"a", '/', "", "a/"},
        {std::string_view("n\0l", 3), '|', std::string_view("\0", 1), std::string_view("n\0l|\0", 5)},
        {left, '-', right, joined},  // longer than a block
    };
    std::vector<std::string_view> got;
    for (const Case& c : cases) got.push_back(bytes.add(c.a, c.sep, c.b));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        CHECK(got[i] == cases[i].want);
        CHECK_EQ(got[i].data()[got[i].size()], '\0');
    }
    CHECK(holds(bytes.add("single"), "single"));
    CHECK(holds(bytes.add(std::string_view{}), ""));
}

TEST(arena_clear_frees_every_block_and_starts_over) {
    for (std::size_t block : {16, 1024}) {  // many full blocks, and one mostly free
        arena::Bytes bytes(block);
        for (int i = 0; i < 10; ++i) bytes.add("0123456789");
        CHECK(bytes.reserved() >= block);
        bytes.clear();
        CHECK_EQ(bytes.reserved(), 0u);
        auto v = bytes.add("again");
        CHECK_EQ(bytes.reserved(), block);
        CHECK(holds(v, "again"));
        bytes.clear();
        bytes.clear();  // clearing an empty arena is harmless
        CHECK_EQ(bytes.reserved(), 0u);
    }
}

TEST(arena_moved_to_keeps_the_views) {
    arena::Bytes bytes(16);
    auto v = bytes.add("kept across the move");
    arena::Bytes other = std::move(bytes);
    auto w = other.add("next");
    CHECK(holds(v, "kept across the move"));
    CHECK(holds(w, "next"));
}

TEST(arena_release_before_gives_back_only_older_blocks) {
    arena::Bytes bytes(64);
    std::vector<std::string> want;
    std::vector<std::string_view> got;
    for (int i = 0; i < 20; ++i) {  // 32 bytes each with the NUL: two to a block
        want.push_back(std::to_string(100 + i) + std::string(28, static_cast<char>('a' + i)));
        got.push_back(bytes.add(want.back()));
    }
    CHECK_EQ(bytes.reserved(), 640u);
    bytes.release_before(got[9]);  // in the fifth block
    CHECK_EQ(bytes.reserved(), 384u);
    for (std::size_t i = 8; i < got.size(); ++i) CHECK(holds(got[i], want[i]));
    // Nothing older than the oldest block held, nothing outside the arena, and the same
    // block again give nothing back.
    bytes.release_before(got[8]);
    bytes.release_before(got[0]);
    bytes.release_before(want[19]);
    CHECK_EQ(bytes.reserved(), 384u);
    bytes.release_before(got[19]);
    CHECK_EQ(bytes.reserved(), 64u);
    CHECK(holds(got[18], want[18]) && holds(got[19], want[19]));
    auto more = bytes.add("more");
    CHECK(holds(more, "more"));
    CHECK(holds(got[19], want[19]));
}

namespace {

struct Counted {
    static inline int live = 0;
    std::string text;
    Counted() { ++live; }
    ~Counted() { --live; }
};

}  // namespace

TEST(arena_stable_keeps_elements_in_place_and_destroys_them_once) {
    Counted::live = 0;
    {
        arena::Stable<Counted, 4> seq;
        std::vector<Counted*> where;
        for (int i = 0; i < 10; ++i) {
            Counted& c = seq.emplace_back();
            c.text = "element " + std::to_string(i) + std::string(40, '.');  // owns heap memory
            where.push_back(&c);
        }
        CHECK_EQ(seq.size(), 10u);
        CHECK_EQ(Counted::live, 10);
        for (std::size_t i = 0; i < 10; ++i) {
            CHECK_EQ(&seq[i], where[i]);
            CHECK_EQ(seq[i].text.substr(0, 9), "element " + std::to_string(i));
        }
        // Only whole blocks below the index go: 0..7 for 9, nothing more for 8 or less.
        seq.release_before(9);
        CHECK_EQ(Counted::live, 2);
        seq.release_before(8);
        seq.release_before(3);
        CHECK_EQ(Counted::live, 2);
        CHECK_EQ(seq.size(), 10u);
        CHECK_EQ(&seq[9], where[9]);
        CHECK_EQ(seq[8].text.substr(0, 9), "element 8");
        seq.emplace_back().text = "element 10";
        CHECK_EQ(Counted::live, 3);
        CHECK_EQ(seq[10].text, "element 10");
        seq.clear();
        CHECK_EQ(Counted::live, 0);
        CHECK_EQ(seq.size(), 0u);
        seq.emplace_back().text = "again";
        seq.emplace_back();
        CHECK_EQ(seq[0].text, "again");
        CHECK_EQ(Counted::live, 2);
    }
    CHECK_EQ(Counted::live, 0);  // the destructor destroys what is left
}
