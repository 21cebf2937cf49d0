// Declarative signatures and the one argument parser.
//
// Each callable declares its parameters once, as constants; the parser places
// positional and keyword arguments, fills defaults, and applies the typed
// parameter rules: `str`, `dict` and `int` must be exactly of that type (a
// subclass is refused with a note saying so), `None` passes only where the
// declaration admits it, and `real` takes any real number and keeps it as a
// double. Methods list their instance as the first parameter, so arity
// messages count it.
#pragma once

#include "ref.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace zorvik::py {

enum class Type : std::uint8_t { any, self, str, dict, int_, real };

struct Default {
    enum Kind : std::uint8_t { required, none, text, real, integer } kind = required;
    const char* text_value = nullptr;
    double real_value = 0.0;
    long long int_value = 0;
};

namespace defaults {
inline constexpr Default none{Default::none};
constexpr Default text(const char* s) { return {Default::text, s}; }
constexpr Default real(double d) { return {Default::real, nullptr, d}; }
constexpr Default integer(long long i) { return {Default::integer, nullptr, 0.0, i}; }
}  // namespace defaults

struct Param {
    const char* name;
    Type type = Type::any;
    Default def = {};
    bool nullable = false;  // annotation admits None ("str | None")
    // The annotation's text where the type alone does not say it
    // ("dict[str, Any]", "ModelSpec"); see annotation_text().
    const char* annotation = nullptr;

    constexpr bool required() const { return def.kind == Default::required; }
    constexpr bool admits_none() const { return nullable || def.kind == Default::none; }
};

inline constexpr Param self_param{"self", Type::self};

// The annotation a parameter carries: its own text, else what its type
// says ("str", "str | None", "dict", "int", "float"); nullptr for none.
const char* annotation_text(const Param& p) noexcept;

// The arguments of one call, after parsing: borrowed objects (defaults
// included) and, for `real` parameters, the number as a double.
struct Args {
    static constexpr int max = 8;
    std::array<PyObject*, max> obj{};
    std::array<double, max> real;  // set for `real` parameters only

    Borrowed operator[](int i) const noexcept { return obj[static_cast<std::size_t>(i)]; }
    double number(int i) const noexcept { return real[static_cast<std::size_t>(i)]; }
};

// A signature made ready for calls: parameter names interned, default
// objects built, the owner class known for `self`.
class Signature {
public:
    Signature(const char* name, std::span<const Param> params);

    const char* name() const noexcept { return name_; }
    std::span<const Param> params() const noexcept { return params_; }
    void set_owner(PyTypeObject* owner) noexcept;
    PyTypeObject* owner() const noexcept { return owner_; }

    // Vectorcall form: `self` (if any) is args[0].
    void parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) const;
    // tp_init form: the instance separately, then the tuple and the keyword dict.
    void parse(PyObject* self, PyObject* tuple, PyObject* kwdict, Args& out) const;

    // "(self, selector, timeout=5000.0)", for __text_signature__; a class
    // leaves its instance out.
    std::string text_signature(bool skip_instance = false) const;

private:
    int find(PyObject* key) const;
    void place_keyword(PyObject* key, PyObject* value, Args& out) const;
    void finish(Py_ssize_t nargs, Args& out) const;
    [[noreturn]] void raise_arity(Py_ssize_t given) const;
    void check_type(int i, const Param& p, Args& out) const;

    const char* name_;
    std::span<const Param> params_;
    std::array<Ref, Args::max> names_;
    std::array<Ref, Args::max> defaults_;
    // The one type each typed parameter passes without further checks (the
    // owner class for `self`); null where the full check always runs.
    std::array<PyTypeObject*, Args::max> exact_{};
    unsigned typed_ = 0;  // bit i: parameter i has a type to check
    Py_ssize_t min_positional_ = 0;
    PyTypeObject* owner_ = nullptr;
};

// Raises "Argument '...' has incorrect type (...)", with the subclass note
// when `value` is an instance of a subclass of `expected`.
[[noreturn]] void raise_argument_type(const char* name, PyTypeObject* expected, Borrowed value);

// Declared results: "Expected %s, got %.200s" unless `value` is exactly of
// the declared type or None.
enum class Result : std::uint8_t { any, str, dict, list };
void check_result(Result declared, Borrowed value);

}  // namespace zorvik::py
