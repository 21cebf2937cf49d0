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

const py::FunctionDef shell_def{"shell", any_params, nullptr, nullptr, not_yet_async};

}  // namespace zorvik::skills
