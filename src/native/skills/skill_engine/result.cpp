// PythonSkillResult: the outcome of one skill run, a data class made by the
// interpreter's own `dataclasses`, with a native to_dict().
#include "messages.hpp"
#include "runner.hpp"

#include <cmath>

namespace zorvik::skills {

namespace {

using py::FieldDef;
using py::FieldDefault;

struct Cache {
    Ref round;          // builtins.round, for durations that are not plain floats
    Ref two;            // the int 2
    Ref dict_template;  // the keys of to_dict() in order, each mapped to None
};
py::Static<Cache> cache;

// round(x, 2) for a finite float of moderate size, with the interpreter's
// result: the decimal rounding of x's exact binary value to two places (ties
// to even), read back as the nearest float. x * 100 is split into its
// rounded product and the exact error (fma), so the integer n chosen is the
// one the exact value rounds to; n / 100 is then correctly rounded by IEEE
// division, just as the interpreter's decimal string is by strtod.
bool round_two_places(double x, double& out) {
    constexpr double limit = 0x1p40;  // keeps x * 100 far below 2**53
    if (!std::isfinite(x) || std::fabs(x) >= limit) return false;
    const double p = x * 100.0;
    const double e = std::fma(x, 100.0, -p);
    double n = std::nearbyint(p);
    const double d = p - n;  // exact: |d| <= 0.5 and p, n share their scale
    if (std::fabs(d) == 0.5) {
        // p was a tie: the exact value x * 100 = p + e decides which side wins.
        if (e != 0.0 && std::signbit(e) == std::signbit(d)) n += d > 0 ? 1.0 : -1.0;
    }
    out = n / 100.0;
    return true;
}

Ref rounded_duration(Ref duration) {
    if (PyFloat_CheckExact(duration.get())) {
        double r;
        if (round_two_places(PyFloat_AS_DOUBLE(duration.get()), r)) return py::steal_or_throw(PyFloat_FromDouble(r));
    }
    return py::call(cache->round, duration, cache->two);
}

// The fields in to_dict() order, with the key each one goes under.
struct Entry {
    PyObject* Names::*field;
    PyObject* Names::*key;
};
constexpr Entry entries[] = {
    {&Names::success, &Names::success},
    {&Names::skill_name, &Names::skill_name},
    {&Names::result, &Names::result},
    {&Names::error, &Names::error},
    {&Names::logs, &Names::logs},
    {&Names::duration, &Names::duration_seconds},
    {&Names::output_files, &Names::output_files},
};

Ref to_dict_body(const Args& a) {
    const Names& n = names();
    Ref out = py::steal_or_throw(PyDict_Copy(cache->dict_template.get()));
    for (const Entry& e : entries) {
        Ref value = py::getattr(a[0], n.*e.field);
        if (e.field == &Names::duration) value = rounded_duration(std::move(value));
        py::check(PyDict_SetItem(out.get(), n.*e.key, value.get()));
    }
    return out;
}

constexpr py::Param self_only[] = {py::self_param};
constexpr py::FunctionDef to_dict_def{"to_dict", self_only, msg::to_dict_doc, to_dict_body, nullptr, py::Result::dict};
const py::FunctionDef* const result_methods[] = {&to_dict_def};

constexpr FieldDef result_fields[] = {
    {"success", "bool"},
    {"skill_name", "str"},
    {"result", "Any", {FieldDefault::none}},
    {"error", "str | None", {FieldDefault::none}},
    {"logs", "list[str]", {FieldDefault::new_list}},
    {"duration", "float", {FieldDefault::real, nullptr, 0.0}},
    {"output_files", "list[str]", {FieldDefault::new_list}},
};

constexpr py::DataclassDef result_class{"PythonSkillResult", msg::result_doc, result_fields, result_methods};

}  // namespace

Ref make_result_type() {
    Cache& c = cache.emplace();
    c.round = py::getattr(py::import("builtins"), "round");
    c.two = py::steal_or_throw(PyLong_FromLong(2));
    c.dict_template = py::steal_or_throw(PyDict_New());
    for (const Entry& e : entries) py::check(PyDict_SetItem(c.dict_template.get(), names().*e.key, Py_None));
    return py::make_dataclass(module_name, result_class);
}

}  // namespace zorvik::skills
