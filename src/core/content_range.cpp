#include "core/content_range.hpp"

#include <cctype>

namespace brivel::ranges {
namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// A run of decimal digits that fits 64 bits, the whole of `s`.
std::optional<std::uint64_t> number(std::string_view s) {
    if (s.empty() || s.size() > 19) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return v;
}

bool starts_with_unit(std::string_view s) {
    static constexpr std::string_view unit = "bytes ";
    if (s.size() < unit.size()) return false;
    for (std::size_t i = 0; i < unit.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != unit[i]) return false;
    return true;
}

}  // namespace

std::optional<ContentRange> parse_content_range(std::string_view text) {
    std::string_view s = trim(text);
    if (!starts_with_unit(s)) return std::nullopt;
    s = trim(s.substr(6));
    std::size_t slash = s.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string_view span = s.substr(0, slash), total = s.substr(slash + 1);
    ContentRange cr;
    if (total != "*") {
        cr.total = number(total);
        if (!cr.total) return std::nullopt;
    }
    if (span == "*") {
        if (!cr.total) return std::nullopt;  // "bytes */*" says nothing
        return cr;
    }
    std::size_t dash = span.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    auto first = number(span.substr(0, dash)), last = number(span.substr(dash + 1));
    if (!first || !last || *last < *first) return std::nullopt;
    if (cr.total && *last >= *cr.total) return std::nullopt;
    cr.satisfied = true;
    cr.first = *first;
    cr.last = *last;
    return cr;
}

Resume after_partial(std::optional<std::string_view> content_range, std::uint64_t existing) {
    if (!content_range) return Resume::Append;
    auto cr = parse_content_range(*content_range);
    return cr && cr->satisfied && cr->first == existing ? Resume::Append : Resume::Restart;
}

Resume after_unsatisfiable(std::optional<std::string_view> content_range, std::uint64_t existing) {
    if (!content_range) return Resume::Complete;
    auto cr = parse_content_range(*content_range);
    return cr && !cr->satisfied && cr->total == existing ? Resume::Complete : Resume::Restart;
}

}  // namespace brivel::ranges
