#include "py/module.hpp"
namespace { void body(zorvik::py::Borrowed) {} }
ZORVIK_MODULE(skill_engine, body)
