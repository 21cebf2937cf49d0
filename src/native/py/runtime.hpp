// The layer's own state: its two types and what they need, made once by the
// exec slot (module.cpp) before the module's body runs.
#pragma once

#include "ref.hpp"

namespace zorvik::py {

struct Runtime {
    Ref function_type;   // native functions (function.hpp)
    Ref coroutine_type;  // native coroutines (coroutine.hpp)
    Ref coroutine_mark;  // inspect._is_coroutine_mark
};
const Runtime& runtime() noexcept;

}  // namespace zorvik::py
