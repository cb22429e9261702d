#include "core/glob.hpp"

#include <algorithm>

#include "core/utf8.hpp"

namespace brivel::glob {

bool Pattern::Set::contains(char32_t c) const {
    bool in = false;
    for (auto [lo, hi] : ranges)
        if (lo <= c && c <= hi) {
            in = true;
            break;
        }
    return in != negate;
}

// Bracket sets follow the interpreter's translation exactly: the text up to the closing
// "]" is cut into chunks at the hyphens that form ranges, reversed ranges are dropped
// together with their end points, and what is left is a set of literals and ranges.
void Pattern::parse_set(View pat, std::size_t& i) {
    const std::size_t n = pat.size();
    std::size_t j = i;
    if (j < n && pat[j] == U'!') ++j;
    if (j < n && pat[j] == U']') ++j;
    while (j < n && pat[j] != U']') ++j;
    if (j >= n) {
        atoms_.push_back({Kind::literal, U'['});
        return;  // an unclosed "[" is an ordinary character
    }
    std::vector<Text> chunks;
    View stuff = pat.substr(i, j - i);
    if (stuff.find(U'-') == View::npos) {
        chunks.emplace_back(stuff);
    } else {
        std::size_t start = i;
        std::size_t k = pat[i] == U'!' ? i + 2 : i + 1;
        for (;;) {
            std::size_t pos = k < j ? pat.substr(0, j).find(U'-', k) : View::npos;
            if (pos == View::npos) break;
            chunks.emplace_back(pat.substr(start, pos - start));
            start = pos + 1;
            k = pos + 3;
        }
        Text last(pat.substr(start, j - start));
        if (!last.empty())
            chunks.push_back(std::move(last));
        else
            chunks.back() += U'-';
        for (std::size_t c = chunks.size() - 1; c > 0; --c) {
            if (chunks[c - 1].back() > chunks[c].front()) {
                chunks[c - 1] = chunks[c - 1].substr(0, chunks[c - 1].size() - 1) + chunks[c].substr(1);
                chunks.erase(chunks.begin() + static_cast<std::ptrdiff_t>(c));
            }
        }
    }
    i = j + 1;

    Set set;
    if (!chunks.empty() && !chunks[0].empty() && chunks[0][0] == U'!') {
        set.negate = true;
        chunks[0].erase(0, 1);
    }
    const std::size_t m = chunks.size();
    for (std::size_t c = 0; c < m; ++c) {
        const Text& ch = chunks[c];
        std::size_t from = c > 0 ? 1 : 0;                 // first char ends the previous range
        std::size_t to = c + 1 < m ? ch.size() - 1 : ch.size();  // last char starts the next one
        for (std::size_t x = from; x < to; ++x) set.ranges.push_back({ch[x], ch[x]});
        if (c > 0) set.ranges.push_back({chunks[c - 1].back(), ch.front()});
    }
    sets_.push_back(std::move(set));
    atoms_.push_back({Kind::set, 0, static_cast<int>(sets_.size() - 1)});
}

Pattern::Pattern(View pat) {
    for (std::size_t i = 0; i < pat.size();) {
        char32_t c = pat[i++];
        if (c == U'*') {
            if (atoms_.empty() || atoms_.back().kind != Kind::star) atoms_.push_back({Kind::star});
        } else if (c == U'?') {
            atoms_.push_back({Kind::any});
        } else if (c == U'[') {
            parse_set(pat, i);
        } else {
            atoms_.push_back({Kind::literal, c});
        }
    }
    auto literal_run = [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k)
            if (atoms_[k].kind != Kind::literal) return false;
        return true;
    };
    auto collect = [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) fixed_ += atoms_[k].ch;
    };
    const std::size_t n = atoms_.size();
    if (literal_run(0, n)) {
        shape_ = Shape::exact;
        collect(0, n);
    } else if (n >= 1 && atoms_[0].kind == Kind::star && literal_run(1, n)) {
        shape_ = Shape::suffix;
        collect(1, n);
    } else if (n >= 1 && atoms_[n - 1].kind == Kind::star && literal_run(0, n - 1)) {
        shape_ = Shape::prefix;
        collect(0, n - 1);
    }
}

bool Pattern::atom_matches(const Atom& a, char32_t c) const {
    switch (a.kind) {
        case Kind::literal: return a.ch == c;
        case Kind::any: return true;
        case Kind::set: return sets_[static_cast<std::size_t>(a.set)].contains(c);
        case Kind::star: break;
    }
    return false;
}

// Single-character atoms and "*": the greedy match with one back-tracking point (the
// last star) is exact for such patterns.
bool Pattern::match_general(View s) const {
    std::size_t p = 0, i = 0, star = SIZE_MAX, mark = 0;
    const std::size_t m = atoms_.size();
    while (i < s.size()) {
        if (p < m && atoms_[p].kind == Kind::star) {
            star = p++;
            mark = i;
        } else if (p < m && atom_matches(atoms_[p], s[i])) {
            ++p;
            ++i;
        } else if (star != SIZE_MAX) {
            p = star + 1;
            i = ++mark;
        } else {
            return false;
        }
    }
    while (p < m && atoms_[p].kind == Kind::star) ++p;
    return p == m;
}

bool Pattern::match(View s) const {
    switch (shape_) {
        case Shape::exact: return s == fixed_;
        case Shape::suffix: return s.size() >= fixed_.size() && s.substr(s.size() - fixed_.size()) == fixed_;
        case Shape::prefix: return s.size() >= fixed_.size() && s.substr(0, fixed_.size()) == fixed_;
        case Shape::general: break;
    }
    return match_general(s);
}

Rule::Rule(View cleaned) : glob_(cleaned) {
    if (cleaned.size() >= 3 && cleaned.substr(cleaned.size() - 3) == U"/**") {
        prefix_rule_ = true;
        prefix_ = Text(cleaned.substr(0, cleaned.size() - 3));
    }
}

bool Rule::matches(View rel, const std::vector<View>& segments) const {
    if (glob_.match(rel)) return true;
    for (View seg : segments)
        if (glob_.match(seg)) return true;
    return prefix_rule_ && rel.size() >= prefix_.size() && rel.substr(0, prefix_.size()) == prefix_;
}

bool RuleSet::ignored(View raw) const {
    if (rules_.empty()) return false;
    thread_local Text rel;
    thread_local std::vector<View> segments;
    rel.assign(raw);
    std::replace(rel.begin(), rel.end(), U'\\', U'/');
    std::size_t lead = 0;
    while (lead < rel.size() && rel[lead] == U'/') ++lead;
    View r = View(rel).substr(lead);
    segments.clear();
    std::size_t start = 0;
    for (std::size_t k = 0; k <= r.size(); ++k)
        if (k == r.size() || r[k] == U'/') {
            segments.push_back(r.substr(start, k - start));
            start = k + 1;
        }
    for (const Rule& rule : rules_)
        if (rule.matches(r, segments)) return true;
    return false;
}

void decode_fs(std::string_view b, Text& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(b.data());
    const auto* end = p + b.size();
    while (p < end) {
        if (*p < 0x80) {
            out += static_cast<char32_t>(*p++);
            continue;
        }
        if (const std::size_t n = utf8::sequence_length(p, end)) {
            out += utf8::decode(p, n);
            p += n;
        } else {
            out += static_cast<char32_t>(0xDC00 + *p++);
        }
    }
}

}  // namespace brivel::glob
