// Shell-style wildcard matching with the semantics of the interpreter's fnmatchcase
// ("*" and "?" cross "/", bracket sets with ranges and "!" negation, no escapes), and the
// ignore rules built on it. Plain C++: the walk runs these with the GIL released.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brivel::glob {

using Text = std::u32string;
using View = std::u32string_view;

class Pattern {
  public:
    explicit Pattern(View pattern);
    bool match(View name) const;

  private:
    enum class Kind : unsigned char { literal, any, set, star };
    struct Atom {
        Kind kind;
        char32_t ch = 0;  // literal
        int set = -1;     // index into sets_
    };
    struct Set {
        bool negate = false;
        std::vector<std::pair<char32_t, char32_t>> ranges;  // inclusive
        bool contains(char32_t c) const;
    };
    enum class Shape : unsigned char { exact, prefix, suffix, general };

    std::vector<Atom> atoms_;
    std::vector<Set> sets_;
    Shape shape_ = Shape::general;
    Text fixed_;  // the literal text of the exact/prefix/suffix shapes

    void parse_set(View pat, std::size_t& i);
    bool atom_matches(const Atom& a, char32_t c) const;
    bool match_general(View name) const;
};

// One ignore rule: a cleaned pattern tried against the whole relative path, then against
// each of its segments, then (for a pattern ending in "/**") as a plain prefix.
class Rule {
  public:
    explicit Rule(View cleaned);
    bool matches(View rel, const std::vector<View>& segments) const;

  private:
    Pattern glob_;
    bool prefix_rule_ = false;
    Text prefix_;
};

class RuleSet {
  public:
    void add(View cleaned) { rules_.emplace_back(cleaned); }
    // `rel` as the caller wrote it: "\" turns into "/" and leading "/" are dropped first.
    bool ignored(View rel) const;

  private:
    std::vector<Rule> rules_;
};

// The interpreter's file-system decoding on Linux: UTF-8, each byte of an invalid
// sequence carried as a lone surrogate U+DC80..U+DCFF. Appends to `out`.
void decode_fs(std::string_view bytes, Text& out);

}  // namespace brivel::glob
