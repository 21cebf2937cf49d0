// What every match of a regular expression must contain.
//
// The classifier's patterns are searched on every call; most texts hold none
// of their words. Reading a pattern's text once gives, per alternative, the
// literal runs a match must contain (each perhaps bounded by a word boundary
// at either end) and whether it needs a decimal digit. A text that satisfies
// no alternative cannot match, so the search is skipped; otherwise the
// interpreter's `re` decides. Only a conservative subset of the syntax is
// read (literals, escapes of punctuation, `.`, character classes and
// category escapes, boundaries and anchors, plain and non-capturing groups,
// alternation, greedy, lazy and possessive quantifiers); anything else makes
// the pattern one that is always searched.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvik::core {

struct Needle {
    std::u32string text;
    bool word_start = false;  // a word boundary holds where the run begins
    bool word_end = false;    // and where it ends
};

// One alternative: a match of it contains every needle and, with `digit`, a
// decimal digit.
struct Requirement {
    std::vector<Needle> needles;
    bool digit = false;

    bool empty() const noexcept { return needles.empty() && !digit; }
};

// Every match satisfies at least one of the returned requirements; nullopt
// when the pattern cannot be read or some alternative requires nothing.
std::optional<std::vector<Requirement>> derive_requirements(std::u32string_view pattern);

}  // namespace zorvik::core
