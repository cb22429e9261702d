#include <string>
#include <string_view>

#include "check.hpp"
#include "core/child_path.hpp"

using namespace brivel;

TEST(child_path_joins_as_os_path_join_does) {
    struct Case {
        std::string_view dir, name, path;
    };
    constexpr Case kCases[] = {
        {"top", "a.txt", "top/a.txt"},
        {"top/sub", "a", "top/sub/a"},
        {"/", "etc", "/etc"},           // no second "/" after the root
        {"top/", "a", "top/a"},         // nor after a path given with one
        {"top//", "a", "top//a"},       // what is there stays
        {"", "a", "a"},                 // the empty path: the name alone
        {"top", "", "top/"},
        {"\xff" "dir", "\xc3\xa9", "\xff" "dir/\xc3\xa9"},  // bytes, not text
    };
    for (const Case& c : kCases) {
        const std::string what = "\"" + std::string(c.dir) + "\" + \"" + std::string(c.name) + "\"";
        if (child_path::join(c.dir, c.name) != c.path) check::fail(__FILE__, __LINE__, what + ": join()");
        std::string grown(c.dir);
        child_path::append(grown, c.name);
        if (grown != c.path) check::fail(__FILE__, __LINE__, what + ": append()");
        // The separator alone, as an arena copy joins the parts.
        const char sep = child_path::separator(c.dir);
        std::string parts(c.dir);
        if (sep) parts += sep;
        parts += c.name;
        if (parts != c.path) check::fail(__FILE__, __LINE__, what + ": separator()");
    }
}
