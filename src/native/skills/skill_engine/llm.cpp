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

const py::FunctionDef create_llm_client_def{"_create_llm_client", any_params, nullptr, not_yet};
const py::FunctionDef llm_ask_def{"llm_ask", any_params, nullptr, nullptr, not_yet_async};
const py::FunctionDef llm_json_def{"llm_json", any_params, nullptr, nullptr, not_yet_async};

}  // namespace zorvik::skills
