#include "context.hpp"
#include "messages.hpp"

namespace zorvik::skills {

namespace {
Ref not_yet(const Args&) { py::raise(PyExc_NotImplementedError, "not built yet"); }
py::Task<Ref> not_yet_async(const Args&) {
    py::raise(PyExc_NotImplementedError, "not built yet");
    co_return py::none();
}
constexpr py::Param any_params[] = {py::self_param, {"a", py::Type::any, py::defaults::none}, {"b", py::Type::any, py::defaults::none}};
}  // namespace

const py::FunctionDef save_state_def{"save_state", any_params, nullptr, not_yet};
const py::FunctionDef load_state_def{"load_state", any_params, nullptr, not_yet};
const py::FunctionDef load_full_state_def{"_load_full_state", any_params, nullptr, not_yet};
const py::FunctionDef clear_state_def{"clear_state", any_params, nullptr, not_yet};

}  // namespace zorvik::skills
