// The native coroutine type: a Python coroutine object whose body is a Task.
//
// It implements the coroutine protocol as the interpreter's own coroutines
// do (am_await/am_send, send/throw/close, cr_* attributes, the "never
// awaited" warning) and is registered with collections.abc.Coroutine, so
// asyncio accepts it wherever it accepts an `async def` coroutine.
#pragma once

#include "args.hpp"
#include "task.hpp"

namespace zorvik::py {

using AsyncBody = Task<Ref> (*)(const Args&);

// The coroutine type, registered as a collections.abc.Coroutine; made once
// by the exec slot (module.hpp).
Ref make_coroutine_type();

// Creates a coroutine object that will run `body(args)` when first sent to.
// The arguments are kept alive by the object for the frame's whole life.
Ref make_coroutine(AsyncBody body, const Args& args, Borrowed name, Borrowed qualname, Result result);

}  // namespace zorvik::py
