#include "json_fast.hpp"

#include <array>
#include <string_view>

namespace zorvik::skills {

namespace {

// Deeper documents go to json.loads, which guards its own recursion.
constexpr int max_depth = 64;
// Integers of up to 18 digits fit a long long whatever they are.
constexpr Py_ssize_t max_int_digits = 18;
// Longer number texts (floats written with very many digits) go to json.loads.
constexpr Py_ssize_t max_number_chars = 63;

// The json module as the module body found it. A plain json.loads(text) runs
// `_default_decoder.decode(text)` from the function's globals; the reader
// stands in for exactly that call.
struct Remembered {
    Ref module;
    Ref loads;
    Ref code;
    Ref decoder;
};
py::Static<Remembered> remembered;

// The value `name` has in `namespace_dict`, or an empty Ref.
Ref entry(PyObject* namespace_dict, PyObject* name) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(namespace_dict, name, &value) < 0) py::throw_pending();
    return py::steal(value);
}

// A plain module's attribute is its namespace entry; anything else (a module
// subclass, a module-level __getattr__ answering) is left to json.loads.
bool still_plain(Borrowed json) {
    const Remembered& r = *remembered;
    if (!r.loads || !json.is(r.module) || !Py_IS_TYPE(json.get(), &PyModule_Type)) return false;
    Ref loads = entry(PyModule_GetDict(json.get()), names().loads);
    if (!loads.is(r.loads) || PyFunction_GET_CODE(loads.get()) != r.code.get()) return false;
    return entry(PyFunction_GET_GLOBALS(loads.get()), names()._default_decoder).is(r.decoder);
}

// Equal member names within one document share the first str object read
// for them, as json's scanner shares them through a dict. The few names of
// most documents are compared here by hash and content; past those, a dict
// keeps them as the scanner's does.
class NameMemo {
public:
    Ref first_of(Ref name) {
        if (many_) return from_dict(name);
        const Py_hash_t hash = PyObject_Hash(name.get());
        if (hash == -1) py::throw_pending();
        for (std::size_t i = 0; i < count_; ++i)
            if (hashes_[i] == hash && equal(seen_[i], name)) return seen_[i];
        if (count_ < seen_.size()) {
            hashes_[count_] = hash;
            seen_[count_++] = name;
            return name;
        }
        many_ = py::steal_or_throw(PyDict_New());
        for (const Ref& seen : seen_) py::check(PyDict_SetItem(many_.get(), seen.get(), seen.get()));
        return from_dict(name);
    }

private:
    static bool equal(Borrowed a, Borrowed b) {
        const int same = PyUnicode_Equal(a.get(), b.get());
        if (same < 0) py::throw_pending();
        return same != 0;
    }
    Ref from_dict(const Ref& name) {
        PyObject* first = nullptr;
        py::check(PyDict_SetDefaultRef(many_.get(), name.get(), name.get(), &first));
        return py::steal(first);
    }

    std::array<Ref, 16> seen_;
    std::array<Py_hash_t, 16> hashes_{};
    std::size_t count_ = 0;
    Ref many_;
};

constexpr bool is_space(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
constexpr bool is_digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }

// Recursive descent over the characters of one str kind. Each step returns
// an empty Ref when the text leaves the plain part of JSON; only a Python
// error (memory) is thrown. Objects, lists and strings are made by the same
// calls json's scanner makes, and equal member names share one str object
// as they do there.
template <class Char>
class Reader {
public:
    // Reads text[part.start:part.end].
    Reader(PyObject* text, const Char* chars, Span part)
        : text_(text), chars_(chars + part.start), length_(part.end - part.start), base_(part.start) {}

    Ref document() {
        skip_space();
        Ref result = value(0);
        skip_space();
        if (!result || at_ != length_) return {};
        return result;
    }

private:
    Py_UCS4 peek() const { return at_ < length_ ? chars_[at_] : 0; }
    // The loops work on a local position: the characters may be bytes,
    // which could alias the members as far as the compiler knows.
    template <class Test>
    void skip_from(Py_ssize_t at, Test test) {
        while (at < length_ && test(chars_[at])) ++at;
        at_ = at;
    }
    void skip_space() { skip_from(at_, is_space); }
    void skip_digits() { skip_from(at_, is_digit); }

    Ref value(int depth) {
        switch (peek()) {
            case '{':
                return object(depth + 1);
            case '[':
                return array(depth + 1);
            case '"':
                return string();
            case 't':
                return literal("true", Py_True);
            case 'f':
                return literal("false", Py_False);
            case 'n':
                return literal("null", Py_None);
            default:
                return number();
        }
    }

    Ref object(int depth) {
        if (depth > max_depth) return {};
        ++at_;
        Ref dict = py::steal_or_throw(PyDict_New());
        skip_space();
        if (peek() == '}') {
            ++at_;
            return dict;
        }
        for (;;) {
            Ref key = peek() == '"' ? member_name() : Ref();
            if (!key) return {};
            skip_space();
            if (peek() != ':') return {};
            ++at_;
            skip_space();
            Ref item = value(depth);
            if (!item) return {};
            py::check(PyDict_SetItem(dict.get(), key.get(), item.get()));
            const After next = after_member('}');
            if (next != After::more) return next == After::closed ? dict : Ref();
        }
    }

    Ref array(int depth) {
        if (depth > max_depth) return {};
        ++at_;
        Ref list = py::steal_or_throw(PyList_New(0));
        skip_space();
        if (peek() == ']') {
            ++at_;
            return list;
        }
        for (;;) {
            Ref item = value(depth);
            if (!item) return {};
            py::check(PyList_Append(list.get(), item.get()));
            const After next = after_member(']');
            if (next != After::more) return next == After::closed ? list : Ref();
        }
    }

    enum class After { more, closed, other };

    // What follows a member: a comma and another member, the closing
    // bracket, or anything else.
    After after_member(Py_UCS4 close) {
        skip_space();
        const Py_UCS4 c = peek();
        if (c == close) {
            ++at_;
            return After::closed;
        }
        if (c != ',') return After::other;
        ++at_;
        skip_space();
        return After::more;
    }

    // A string without escapes or control characters, sliced from the text.
    Ref string() {
        const Py_ssize_t start = at_ + 1;
        skip_from(start, [](Py_UCS4 c) { return c != '"' && c != '\\' && c >= 0x20; });
        if (peek() != '"') return {};
        return py::steal_or_throw(PyUnicode_Substring(text_, base_ + start, base_ + at_++));
    }

    Ref member_name() {
        Ref name = string();
        return name ? names_.first_of(std::move(name)) : name;
    }

    Ref literal(std::string_view word, PyObject* result) {
        const auto size = static_cast<Py_ssize_t>(word.size());
        if (length_ - at_ < size) return {};
        for (Py_ssize_t i = 0; i < size; ++i)
            if (chars_[at_ + i] != static_cast<unsigned char>(word[static_cast<std::size_t>(i)])) return {};
        at_ += size;
        return py::borrow(result);
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?
    Ref number() {
        const Py_ssize_t start = at_;
        const bool negative = peek() == '-';
        if (negative) ++at_;
        if (peek() == '0')
            ++at_;
        else if (is_digit(peek()))
            skip_digits();
        else
            return {};
        const Py_ssize_t int_end = at_;
        bool real = false;
        if (peek() == '.') {
            ++at_;
            if (!is_digit(peek())) return {};
            skip_digits();
            real = true;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (peek() == '+' || peek() == '-') ++at_;
            if (!is_digit(peek())) return {};
            skip_digits();
            real = true;
        }
        if (!real) return integer(start + negative, int_end, negative);
        return floating(start, at_);
    }

    Ref integer(Py_ssize_t first, Py_ssize_t end, bool negative) const {
        if (end - first > max_int_digits) return {};
        long long magnitude = 0;
        for (Py_ssize_t i = first; i < end; ++i) magnitude = magnitude * 10 + static_cast<long long>(chars_[i] - '0');
        return py::steal_or_throw(PyLong_FromLongLong(negative ? -magnitude : magnitude));
    }

    // Converted as float() converts the same text: correctly rounded, with
    // overflow to an infinity and underflow to a (signed) zero.
    Ref floating(Py_ssize_t start, Py_ssize_t end) const {
        char ascii[max_number_chars + 1];
        const Py_ssize_t size = end - start;
        if (size > max_number_chars) return {};
        for (Py_ssize_t i = 0; i < size; ++i) ascii[i] = static_cast<char>(chars_[start + i]);
        ascii[size] = '\0';
        char* stop = nullptr;
        const double x = PyOS_string_to_double(ascii, &stop, nullptr);
        if (x == -1.0 && PyErr_Occurred()) py::throw_pending();
        if (stop != ascii + size) return {};
        return py::steal_or_throw(PyFloat_FromDouble(x));
    }

    PyObject* text_;
    const Char* chars_;
    Py_ssize_t length_;
    Py_ssize_t base_;
    Py_ssize_t at_ = 0;
    NameMemo names_;
};

template <class Char>
Ref read(Borrowed text, const Char* chars, Span part) {
    return Reader<Char>(text.get(), chars, part).document();
}

}  // namespace

void remember_json(Borrowed json) {
    Remembered& r = remembered.emplace();
    r.module = py::borrow(json);
    Ref loads = py::getattr(json, names().loads);
    if (!PyFunction_Check(loads.get())) return;
    Ref decoder = entry(PyFunction_GET_GLOBALS(loads.get()), names()._default_decoder);
    if (!decoder) return;
    r.code = py::borrow(PyFunction_GET_CODE(loads.get()));
    r.decoder = std::move(decoder);
    r.loads = std::move(loads);
}

Ref loads_plain(Borrowed json, Borrowed text, Span part) {
    if (!still_plain(json)) return {};
    PyObject* s = text.get();
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return read(text, PyUnicode_1BYTE_DATA(s), part);
        case PyUnicode_2BYTE_KIND:
            return read(text, PyUnicode_2BYTE_DATA(s), part);
        default:
            return read(text, PyUnicode_4BYTE_DATA(s), part);
    }
}

}  // namespace zorvik::skills
