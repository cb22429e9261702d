#include <string>

#include "check.hpp"
#include "core/glob.hpp"

using namespace brivel;

namespace {
glob::Text u(const char* s) {
    glob::Text t;
    glob::decode_fs(s, t);
    return t;
}
bool match(const char* pat, const char* name) { return glob::Pattern(u(pat)).match(u(name)); }
}  // namespace

TEST(pattern_semantics_follow_fnmatchcase) {
    CHECK(match("*.py", "a/b.py"));  // "*" crosses "/"
    CHECK(match("?", "/"));
    CHECK(match("[a-c]x", "bx"));
    CHECK(!match("[!a-c]x", "bx"));
    CHECK(match("[]]", "]"));
    CHECK(!match("*.PY", "a.py"));  // case-sensitive
    CHECK(match("[", "["));          // an unclosed bracket is a literal
}

TEST(rules_match_path_segments_and_prefixes) {
    glob::RuleSet rules;
    rules.add(u("node_modules"));
    rules.add(u("build/**"));
    CHECK(rules.ignored(u("a/node_modules/x.js")));
    CHECK(rules.ignored(u("build/out/lib.so")));
    CHECK(!rules.ignored(u("src/main.py")));
}

TEST(decode_fs_uses_surrogateescape) {
    glob::Text t;
    glob::decode_fs(std::string("a\xff"), t);
    CHECK_EQ(t.size(), 2u);
    CHECK_EQ(static_cast<unsigned>(t[1]), 0xDCFFu);
}
