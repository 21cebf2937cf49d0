// PythonSkillResult: the outcome of one skill run, a data class made by the
// interpreter's own `dataclasses`, with a native to_dict().
#include "module.hpp"

namespace zorvik::skills {

namespace {

using py::FieldDef;
using py::FieldDefault;

// The fields in order, each under its own name but duration, which goes
// under "duration_seconds" rounded to two places by the interpreter's round.
Ref to_dict_body(const Args& a) {
    Borrowed self = a[0];
    Ref out = py::steal_or_throw(PyDict_New());
    for (PyObject* field : {id<"success">.get(), id<"skill_name">.get(), id<"result">.get(), id<"error">.get(),
                            id<"logs">.get(), id<"duration">.get(), id<"output_files">.get()}) {
        Ref value = py::getattr(self, field);
        if (field == id<"duration">.get()) {
            value = py::call(builtin(id<"round">), value, py::steal_or_throw(PyLong_FromLong(2)));
            field = id<"duration_seconds">;
        }
        py::check(PyDict_SetItem(out.get(), field, value.get()));
    }
    return out;
}
constexpr py::FunctionDef to_dict_def{
    .name = "to_dict", .body = to_dict_body, .params = {py::self_param}, .doc = "Return the result as a plain dict.",
    .returns = "dict"};
constexpr const py::FunctionDef* result_methods[] = {&to_dict_def};

constexpr FieldDef result_fields[] = {
    {"success", "bool"},
    {"skill_name", "str"},
    {"result", "Any", {FieldDefault::none}},
    {"error", "str | None", {FieldDefault::none}},
    {"logs", "list[str]", {FieldDefault::new_list}},
    {"duration", "float", {FieldDefault::real, nullptr, 0.0}},
    {"output_files", "list[str]", {FieldDefault::new_list}},
};

constexpr py::DataclassDef result_class{.name = "PythonSkillResult",
                                        .doc = "Result of a Python skill execution.",
                                        .fields = result_fields,
                                        .methods = result_methods};

}  // namespace

Ref make_result_type() { return py::make_dataclass(module_name, result_class); }

}  // namespace zorvik::skills
