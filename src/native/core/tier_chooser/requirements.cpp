#include "requirements.hpp"

#include <cstddef>

namespace zorvik::core {

namespace {

// Thrown inside the reader when the pattern leaves the subset it understands.
struct Unreadable {};

constexpr int max_depth = 32;
constexpr std::size_t max_alternatives = 64;
constexpr int unbounded = -1;

struct Node;
using Sequence = std::vector<Node>;

struct Node {
    enum Kind { literal, any, digit, other_class, boundary, other_anchor, group } kind = literal;
    char32_t ch = 0;
    int min = 1;
    int max = 1;
    std::vector<Sequence> alternatives;  // of a group

    bool once() const noexcept { return min == 1 && max == 1; }
    bool zero_width() const noexcept { return kind == boundary || kind == other_anchor; }
};

bool is_ascii_alnum(char32_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }

class Reader {
public:
    explicit Reader(std::u32string_view s) : s_(s) {}

    std::vector<Sequence> whole() {
        std::vector<Sequence> alternatives = alternation();
        if (i_ != s_.size()) throw Unreadable{};  // an unbalanced ')'
        return alternatives;
    }

private:
    bool at_end() const noexcept { return i_ >= s_.size(); }
    char32_t peek() const noexcept { return at_end() ? 0 : s_[i_]; }
    char32_t next() {
        if (at_end()) throw Unreadable{};
        return s_[i_++];
    }

    std::vector<Sequence> alternation() {
        std::vector<Sequence> alternatives;
        alternatives.push_back(sequence());
        while (!at_end() && peek() == '|') {
            ++i_;
            alternatives.push_back(sequence());
        }
        return alternatives;
    }

    Sequence sequence() {
        Sequence items;
        while (!at_end() && peek() != '|' && peek() != ')') {
            Node node = atom();
            quantifier(node);
            items.push_back(std::move(node));
        }
        return items;
    }

    Node atom() {
        Node node;
        char32_t c = next();
        switch (c) {
            case '(':
                return group();
            case '[':
                skip_class();
                node.kind = Node::other_class;
                return node;
            case '.':
                node.kind = Node::any;
                return node;
            case '^':
            case '$':
                node.kind = Node::other_anchor;
                return node;
            case '\\':
                return escape();
            case '*':
            case '+':
            case '?':
            case '{':
            case '}':
            case ']':
                throw Unreadable{};
            default:
                node.ch = c;
                return node;
        }
    }

    Node group() {
        if (peek() == '?') {
            ++i_;
            if (next() != ':') throw Unreadable{};  // named groups, look-arounds, inline flags
        }
        if (++depth_ > max_depth) throw Unreadable{};
        Node node;
        node.kind = Node::group;
        node.alternatives = alternation();
        if (next() != ')') throw Unreadable{};
        --depth_;
        return node;
    }

    // `]` right after `[` or `[^` belongs to the set; an escape hides the
    // character after the backslash.
    void skip_class() {
        if (peek() == '^') ++i_;
        if (peek() == ']') ++i_;
        for (;;) {
            char32_t c = next();
            if (c == ']') return;
            if (c == '\\') next();
        }
    }

    Node escape() {
        Node node;
        char32_t c = next();
        switch (c) {
            case 'd':
                node.kind = Node::digit;
                return node;
            case 'D':
            case 's':
            case 'S':
            case 'w':
            case 'W':
                node.kind = Node::other_class;
                return node;
            case 'b':
                node.kind = Node::boundary;
                return node;
            case 'B':
            case 'A':
            case 'Z':
                node.kind = Node::other_anchor;
                return node;
            default:
                if (is_ascii_alnum(c)) throw Unreadable{};  // \n, \x41, back references, ...
                node.ch = c;
                return node;
        }
    }

    int number() {
        long value = 0;
        while (!at_end() && is_digit(peek())) {
            value = value * 10 + static_cast<long>(next() - '0');
            if (value > 1'000'000) value = 1'000'000;
        }
        return static_cast<int>(value);
    }

    void quantifier(Node& node) {
        if (at_end()) return;
        switch (peek()) {
            case '*':
                node.min = 0;
                node.max = unbounded;
                break;
            case '+':
                node.min = 1;
                node.max = unbounded;
                break;
            case '?':
                node.min = 0;
                node.max = 1;
                break;
            case '{': {
                ++i_;
                bool has_low = is_digit(peek());
                node.min = number();
                node.max = node.min;
                if (peek() == ',') {
                    ++i_;
                    node.max = is_digit(peek()) ? number() : unbounded;
                } else if (!has_low) {
                    throw Unreadable{};
                }
                if (peek() != '}') throw Unreadable{};
                break;
            }
            default:
                return;
        }
        ++i_;
        if (node.zero_width()) throw Unreadable{};
        if (!at_end() && (peek() == '?' || peek() == '+')) ++i_;  // lazy or possessive
        if (!at_end() && (peek() == '*' || peek() == '+' || peek() == '?' || peek() == '{')) throw Unreadable{};
    }

    std::u32string_view s_;
    std::size_t i_ = 0;
    int depth_ = 0;
};

using Alternatives = std::vector<Requirement>;

Alternatives of_alternation(const std::vector<Sequence>& alternatives, bool start_bounded, bool end_bounded);

// Every pairing of an alternative of `a` with one of `b`; `a` alone (fewer
// demands, still true of every match) when that would be too many.
Alternatives both(Alternatives a, const Alternatives& b) {
    if (a.size() * b.size() > max_alternatives) return a;
    Alternatives out;
    for (const Requirement& x : a) {
        for (const Requirement& y : b) {
            Requirement r = x;
            r.needles.insert(r.needles.end(), y.needles.begin(), y.needles.end());
            r.digit = r.digit || y.digit;
            out.push_back(std::move(r));
        }
    }
    return out;
}

bool boundary_follows(const Sequence& items, std::size_t k, bool end_bounded) {
    return k < items.size() ? items[k].kind == Node::boundary : end_bounded;
}

// Walks a sequence, gathering literal runs; a run ends at anything that is
// not a single literal character. `start_bounded`/`end_bounded`: a word
// boundary is known to hold where the sequence begins/ends.
Alternatives of_sequence(const Sequence& items, bool start_bounded, bool end_bounded) {
    Alternatives acc(1);
    std::u32string run;
    bool run_bounded = false;
    bool pending_boundary = start_bounded;
    auto close = [&](bool bounded_end) {
        if (run.empty()) return;
        for (Requirement& r : acc) r.needles.push_back({run, run_bounded, bounded_end});
        run.clear();
    };
    auto extend = [&](char32_t c) {
        if (run.empty()) run_bounded = pending_boundary;
        run += c;
    };
    for (std::size_t k = 0; k < items.size(); ++k) {
        const Node& node = items[k];
        switch (node.kind) {
            case Node::boundary:
                close(true);
                pending_boundary = true;
                continue;
            case Node::other_anchor:
                close(false);
                break;
            case Node::literal:
                if (node.once()) {
                    extend(node.ch);
                    pending_boundary = false;
                    continue;
                }
                if (node.min >= 1) extend(node.ch);
                close(false);
                break;
            case Node::digit:
                close(false);
                if (node.min >= 1)
                    for (Requirement& r : acc) r.digit = true;
                break;
            case Node::any:
            case Node::other_class:
                close(false);
                break;
            case Node::group: {
                close(false);
                if (node.min == 0) break;
                bool starts = node.once() && pending_boundary;
                bool ends = node.once() && boundary_follows(items, k + 1, end_bounded);
                acc = both(std::move(acc), of_alternation(node.alternatives, starts, ends));
                break;
            }
        }
        pending_boundary = false;
    }
    close(end_bounded);
    return acc;
}

Alternatives of_alternation(const std::vector<Sequence>& alternatives, bool start_bounded, bool end_bounded) {
    Alternatives out;
    for (const Sequence& items : alternatives) {
        Alternatives part = of_sequence(items, start_bounded, end_bounded);
        out.insert(out.end(), part.begin(), part.end());
        if (out.size() > max_alternatives) return Alternatives(1);  // nothing required
    }
    return out;
}

}  // namespace

std::optional<std::vector<Requirement>> derive_requirements(std::u32string_view pattern) {
    try {
        Alternatives result = of_alternation(Reader(pattern).whole(), false, false);
        for (const Requirement& r : result)
            if (r.empty()) return std::nullopt;
        return result;
    } catch (const Unreadable&) {
        return std::nullopt;
    }
}

}  // namespace zorvik::core
