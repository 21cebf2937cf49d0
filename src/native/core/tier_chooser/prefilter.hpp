// The classifier's pattern search: each pattern list is tried in order with
// the interpreter's own `re`, after a cheap test on the literals every match
// must contain (requirements.hpp) has shown that a match is possible at all.
//
// The lists are module attributes a host may rebind or change in place; the
// derived data is cached per list object and rebuilt as soon as the list, or
// any of its elements, is another object than when it was built. The cache
// holds strong references to both, so a changed list can never pass for the
// cached one by reusing an address.
#pragma once

#include "module.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace zorvik::core {

// The lowered and stripped text being classified. An ASCII prompt is
// lowered into a local buffer and becomes a str only if `re` must see it.
class Subject {
public:
    Subject() = default;
    Subject(const Subject&) = delete;
    Subject& operator=(const Subject&) = delete;

    // Lowered copy of `length` ASCII characters.
    void assign_ascii(const char* source, Py_ssize_t length);
    // An exact str.
    void assign(Ref text);

    Py_ssize_t length() const noexcept { return length_; }
    int kind() const noexcept { return kind_; }
    const void* data() const noexcept { return data_; }
    Py_UCS4 at(Py_ssize_t i) const noexcept { return PyUnicode_READ(kind_, data_, i); }
    // The text as a str, made on first use.
    Borrowed object();
    // Parts that splitting on runs of white space gives.
    Py_ssize_t word_count() const noexcept;
    bool has_digit();
    // For one-byte texts: whether every given slot (a hashed pair of adjacent
    // bytes, or a single byte) occurs; a literal whose slots do not all occur
    // is absent.
    bool may_contain(const std::uint16_t* slots, std::size_t count);

private:
    int kind_ = PyUnicode_1BYTE_KIND;
    const void* data_ = nullptr;
    Py_ssize_t length_ = 0;
    Ref object_;
    std::unique_ptr<char[]> heap_;
    char local_[192];
    int digit_ = -1;  // unknown until asked
    bool pairs_ready_ = false;
    std::uint64_t pairs_[20];
};

class PatternSet;

// The cached plans of one module attribute (_COMPLEX_PATTERNS or
// _SIMPLE_PATTERNS).
class PatternCache {
public:
    // True when some pattern of `patterns`, tried in order, matches; the same
    // verdict as `any(re.search(p, text) for p in patterns)`.
    bool any_match(Borrowed patterns, Subject& text);

private:
    std::shared_ptr<const PatternSet> current(Borrowed list);
    std::shared_ptr<const PatternSet> set_;
};

// Fills the character tables; called once by the module body.
void init_prefilter();

}  // namespace zorvik::core
