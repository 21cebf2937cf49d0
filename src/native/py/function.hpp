// The native function type: module functions and methods declared once as a
// FunctionDef and exposed as callables that read like Python functions
// (__name__, __qualname__, __doc__, a text signature for inspect) and bind
// like them (a method looked up on an instance is a bound method). Coroutine
// functions carry the marker that inspect.iscoroutinefunction recognises, and
// calling one checks the arguments, then returns a native coroutine.
#pragma once

#include "coroutine.hpp"

#include <span>

namespace zorvik::py {

using SyncBody = Ref (*)(const Args&);

struct FunctionDef {
    const char* name;
    std::span<const Param> params;
    const char* doc;
    SyncBody sync = nullptr;
    AsyncBody async = nullptr;
    Result result = Result::any;
    // The return annotation's text; when not given, the declared result's
    // type ("str", "dict", "list"), if any.
    const char* returns = nullptr;
};

// The function type; made once by the exec slot (module.hpp).
Ref make_function_type();

// `owner` is the qualified name of the class for a method, or nullptr for a
// module-level function.
Ref make_function(const FunctionDef& def, const char* module, const char* owner);

// Methods check their instance against the class once it exists.
void set_function_owner(Borrowed function, PyTypeObject* owner);

}  // namespace zorvik::py
