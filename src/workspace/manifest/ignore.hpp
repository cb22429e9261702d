// Ignore rules: the default patterns, _normalize_pattern, matches_ignore, load_gitignore.
#pragma once

#include "common/py.hpp"
#include "core/glob.hpp"

namespace brivel::workspace {

void define_ignore_rules(py::module_& m);  // _normalize_pattern ... load_gitignore

// DEFAULT_IGNORE_PATTERNS.
py::tuple default_ignore_patterns();

// True while matches_ignore, _normalize_pattern and fnmatch.fnmatchcase are still the
// module's own: the rules may then be matched natively instead of through those calls.
bool ignore_rules_native();

// Compiles the patterns of a list for native matching; false (nothing compiled) when an
// item is not exactly a str, so that the caller goes through matches_ignore and gets its
// error at the right moment.
bool compile_rules(py::handle patterns, glob::RuleSet& out);

// A lone str or bytes where a collection of patterns belongs would be read character by
// character, and "*" ignores every file: refuse it with a TypeError naming `what`.
void check_patterns(py::handle patterns, const char* what);

glob::Text to_text(py::handle str);
py::str from_text(glob::View text);

}  // namespace brivel::workspace
