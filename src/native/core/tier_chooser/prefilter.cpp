#include "prefilter.hpp"

#include "requirements.hpp"

#include <array>
#include <cstring>
#include <map>
#include <span>
#include <utility>
#include <vector>

namespace zorvik::core {

namespace {

// Per character below 256: white space as str.split sees it, and word
// characters as `re` sees them for \b.
std::array<bool, 256> space_table{};
std::array<bool, 256> word_table{};

bool is_space(Py_UCS4 c) { return c < 256 ? space_table[c] : Py_UNICODE_ISSPACE(c); }
bool is_word(Py_UCS4 c) { return c < 256 ? word_table[c] : (Py_UNICODE_ISALNUM(c) || c == '_'); }

// Slots of the one-byte pre-test: 1024 hashed pairs of adjacent bytes, then
// the 256 single bytes.
constexpr std::uint16_t pair_slot(unsigned char a, unsigned char b) {
    return static_cast<std::uint16_t>((a * 31u + b) & 1023u);
}
constexpr std::uint16_t byte_slot(unsigned char c) { return static_cast<std::uint16_t>(1024u + c); }

struct Literal {
    Ref text;  // searched in texts wider than one byte
    Py_ssize_t length = 0;
    std::string bytes;  // the characters, when all are below 256
    bool one_byte = true;
    bool word_start = false;
    bool word_end = false;
    std::vector<std::uint16_t> slots;  // what a one-byte text must hold
};

struct Alternative {
    std::vector<std::uint16_t> literals;  // indexes into PatternSet::literals
    bool digit = false;
};

struct Plan {
    Ref element;  // the list's element, held so its address stays its own
    Ref search;   // the bound `search` of re.compile(element); null: re.search(element, text)
    bool always = true;
    std::vector<Alternative> alternatives;
};

}  // namespace

class PatternSet {
public:
    explicit PatternSet(Borrowed list);

    bool describes(Borrowed list) const noexcept;
    const Plan* plan(Py_ssize_t i, Borrowed element) const noexcept {
        auto k = static_cast<std::size_t>(i);
        return k < plans_.size() && plans_[k].element.is(element) ? &plans_[k] : nullptr;
    }
    std::size_t literal_count() const noexcept { return literals_.size(); }
    // Some alternative of `plan` holds in `text`; `memo` remembers each
    // literal's answer for this text (0 unknown, 1 present, 2 absent).
    bool possible(const Plan& plan, Subject& text, std::int8_t* memo) const;

private:
    void add_plan(Borrowed element);
    std::uint16_t literal_index(const Needle& needle);
    bool present(const Literal& literal, Subject& text) const;

    Ref list_;
    std::vector<Plan> plans_;
    std::vector<Literal> literals_;
    std::map<std::pair<std::u32string, int>, std::uint16_t> index_;
};

namespace {

constexpr std::size_t max_literals = 4096;

// A word boundary at position `at` of the text, as `re` tests it.
bool boundary_at(const Subject& text, Py_ssize_t at) {
    bool before = at > 0 && is_word(text.at(at - 1));
    bool after = at < text.length() && is_word(text.at(at));
    return before != after;
}

bool boundaries_hold(const Literal& literal, const Subject& text, Py_ssize_t at, Py_ssize_t length) {
    if (literal.word_start && !boundary_at(text, at)) return false;
    return !literal.word_end || boundary_at(text, at + length);
}

std::u32string code_points(Borrowed text) {
    const int kind = PyUnicode_KIND(text.get());
    const void* data = PyUnicode_DATA(text.get());
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    std::u32string out(static_cast<std::size_t>(length), U'\0');
    for (Py_ssize_t i = 0; i < length; ++i) out[static_cast<std::size_t>(i)] = PyUnicode_READ(kind, data, i);
    return out;
}

Ref text_of(const std::u32string& s) {
    return py::steal_or_throw(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s.data(), static_cast<Py_ssize_t>(s.size())));
}

}  // namespace

PatternSet::PatternSet(Borrowed list) : list_(py::borrow(list)) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(list.get());
    plans_.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(list.get()); ++i)
        add_plan(PySequence_Fast_GET_ITEM(list.get(), i));
}

bool PatternSet::describes(Borrowed list) const noexcept {
    if (!list_.is(list) || PySequence_Fast_GET_SIZE(list.get()) != static_cast<Py_ssize_t>(plans_.size())) return false;
    PyObject** items = PySequence_Fast_ITEMS(list.get());
    for (std::size_t i = 0; i < plans_.size(); ++i)
        if (items[i] != plans_[i].element.get()) return false;
    return true;
}

void PatternSet::add_plan(Borrowed element) {
    Plan& plan = plans_.emplace_back();
    plan.element = py::borrow(element);
    if (!PyUnicode_CheckExact(element.get())) return;
    Ref compiled;
    try {
        compiled = py::call(mod().re_compile, element);
    } catch (py::PyError& e) {
        // re.search raises the same error when the loop reaches this pattern.
        if (!e.is_exception()) throw;
        return;
    }
    plan.search = py::getattr(compiled, names().search);
    auto requirements = derive_requirements(code_points(element));
    if (!requirements) return;
    std::vector<Alternative> alternatives;
    for (const Requirement& r : *requirements) {
        Alternative& alternative = alternatives.emplace_back();
        alternative.digit = r.digit;
        for (const Needle& needle : r.needles) {
            if (literals_.size() >= max_literals) return;
            alternative.literals.push_back(literal_index(needle));
        }
    }
    plan.alternatives = std::move(alternatives);
    plan.always = false;
}

std::uint16_t PatternSet::literal_index(const Needle& needle) {
    auto key = std::make_pair(needle.text, (needle.word_start ? 1 : 0) | (needle.word_end ? 2 : 0));
    if (auto found = index_.find(key); found != index_.end()) return found->second;
    Literal& literal = literals_.emplace_back();
    literal.text = text_of(needle.text);
    literal.word_start = needle.word_start;
    literal.word_end = needle.word_end;
    literal.length = static_cast<Py_ssize_t>(needle.text.size());
    for (char32_t c : needle.text) {
        if (c > 0xFF) literal.one_byte = false;
        if (literal.one_byte) literal.bytes += static_cast<char>(static_cast<unsigned char>(c));
    }
    if (literal.one_byte) {
        const auto* b = reinterpret_cast<const unsigned char*>(literal.bytes.data());
        if (literal.bytes.size() == 1) literal.slots.push_back(byte_slot(b[0]));
        for (std::size_t i = 1; i < literal.bytes.size(); ++i) literal.slots.push_back(pair_slot(b[i - 1], b[i]));
    }
    auto index = static_cast<std::uint16_t>(literals_.size() - 1);
    index_.emplace(std::move(key), index);
    return index;
}

bool PatternSet::present(const Literal& literal, Subject& text) const {
    const Py_ssize_t m = literal.length;
    const Py_ssize_t n = text.length();
    if (text.kind() == PyUnicode_1BYTE_KIND) {
        if (!literal.one_byte || !text.may_contain(literal.slots.data(), literal.slots.size())) return false;
        const char* hay = static_cast<const char*>(text.data());
        for (Py_ssize_t from = 0; from + m <= n;) {
            const void* hit = memmem(hay + from, static_cast<std::size_t>(n - from), literal.bytes.data(),
                                     static_cast<std::size_t>(m));
            if (!hit) return false;
            const Py_ssize_t at = static_cast<const char*>(hit) - hay;
            if (boundaries_hold(literal, text, at, m)) return true;
            from = at + 1;
        }
        return false;
    }
    Borrowed haystack = text.object();
    for (Py_ssize_t from = 0; from + m <= n;) {
        const Py_ssize_t at = PyUnicode_Find(haystack.get(), literal.text.get(), from, n, 1);
        if (at == -2) py::throw_pending();
        if (at < 0) return false;
        if (boundaries_hold(literal, text, at, m)) return true;
        from = at + 1;
    }
    return false;
}

bool PatternSet::possible(const Plan& plan, Subject& text, std::int8_t* memo) const {
    for (const Alternative& alternative : plan.alternatives) {
        bool holds = true;
        for (std::uint16_t i : alternative.literals) {
            if (memo[i] == 0) memo[i] = present(literals_[i], text) ? 1 : 2;
            if (memo[i] == 2) {
                holds = false;
                break;
            }
        }
        if (holds && (!alternative.digit || text.has_digit())) return true;
    }
    return false;
}

std::shared_ptr<const PatternSet> PatternCache::current(Borrowed list) {
    if (set_ && set_->describes(list)) return set_;
    auto fresh = std::make_shared<const PatternSet>(list);
    set_ = fresh;
    return fresh;
}

bool PatternCache::any_match(Borrowed patterns, Subject& text) {
    Borrowed search = mod().re_search;
    if (!PyList_CheckExact(patterns.get()) && !PyTuple_CheckExact(patterns.get())) {
        Ref iterator = py::steal_or_throw(PyObject_GetIter(patterns.get()));
        while (Ref item = py::steal(PyIter_Next(iterator.get())))
            if (py::truth(py::call(search, item, text.object()))) return true;
        if (PyErr_Occurred()) py::throw_pending();
        return false;
    }
    // Held for the whole loop: a pattern searched through re.search may run
    // code that changes the list, and with it the cache.
    std::shared_ptr<const PatternSet> set = current(patterns);
    std::array<std::int8_t, 256> local{};
    std::vector<std::int8_t> heap;
    std::int8_t* memo = local.data();
    if (set->literal_count() > local.size()) {
        heap.assign(set->literal_count(), 0);
        memo = heap.data();
    }
    // Index by index over the live sequence, as a for loop over the list does.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(patterns.get()); ++i) {
        Ref item = py::borrow(PySequence_Fast_GET_ITEM(patterns.get(), i));
        const Plan* plan = set->plan(i, item);
        if (plan && !plan->always && !set->possible(*plan, text, memo)) continue;
        Ref found =
            plan && plan->search ? py::call(plan->search, text.object()) : py::call(search, item, text.object());
        if (py::truth(found)) return true;
    }
    return false;
}

// ------------------------------------------------------------------ Subject

void Subject::assign_ascii(const char* source, Py_ssize_t length) {
    char* out = local_;
    if (static_cast<std::size_t>(length) > sizeof local_) {
        heap_.reset(new char[static_cast<std::size_t>(length)]);
        out = heap_.get();
    }
    for (Py_ssize_t i = 0; i < length; ++i) {
        char c = source[i];
        out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
    }
    kind_ = PyUnicode_1BYTE_KIND;
    data_ = out;
    length_ = length;
}

void Subject::assign(Ref text) {
    kind_ = PyUnicode_KIND(text.get());
    data_ = PyUnicode_DATA(text.get());
    length_ = PyUnicode_GET_LENGTH(text.get());
    object_ = std::move(text);
}

Borrowed Subject::object() {
    if (!object_) {
        object_ = py::steal_or_throw(PyUnicode_New(length_, 127));
        std::memcpy(PyUnicode_DATA(object_.get()), data_, static_cast<std::size_t>(length_));
    }
    return object_;
}

Py_ssize_t Subject::word_count() const noexcept {
    Py_ssize_t count = 0;
    bool in_word = false;
    for (Py_ssize_t i = 0; i < length_; ++i) {
        bool space = is_space(at(i));
        if (!space && !in_word) ++count;
        in_word = !space;
    }
    return count;
}

bool Subject::has_digit() {
    if (digit_ < 0) {
        digit_ = 0;
        for (Py_ssize_t i = 0; i < length_ && !digit_; ++i) digit_ = Py_UNICODE_ISDECIMAL(at(i)) ? 1 : 0;
    }
    return digit_ == 1;
}

bool Subject::may_contain(const std::uint16_t* slots, std::size_t count) {
    if (!pairs_ready_) {
        std::memset(pairs_, 0, sizeof pairs_);
        const auto* b = static_cast<const unsigned char*>(data_);
        auto set = [&](std::uint16_t s) { pairs_[s >> 6] |= std::uint64_t{1} << (s & 63); };
        for (Py_ssize_t i = 0; i < length_; ++i) {
            set(byte_slot(b[i]));
            if (i > 0) set(pair_slot(b[i - 1], b[i]));
        }
        pairs_ready_ = true;
    }
    for (std::size_t i = 0; i < count; ++i)
        if (!(pairs_[slots[i] >> 6] & (std::uint64_t{1} << (slots[i] & 63)))) return false;
    return true;
}

void init_prefilter() {
    for (Py_UCS4 c = 0; c < 256; ++c) {
        space_table[c] = Py_UNICODE_ISSPACE(c);
        word_table[c] = Py_UNICODE_ISALNUM(c) || c == '_';
    }
}

}  // namespace zorvik::core
