#include "error.hpp"

#include <cstdarg>

namespace zorvik::py {

PyError PyError::fetch() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc = PyErr_GetRaisedException();
    }
    return PyError(steal(exc));
}

void PyError::set_context(Ref original) noexcept {
    if (!original || exc_.is(original)) return;
    if (Ref context = steal(PyException_GetContext(exc_.get())); !context)
        PyException_SetContext(exc_.get(), original.release());
}

void throw_pending() { throw PyError::fetch(); }

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_pending();
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    PyErr_FormatV(type, format, ap);
    va_end(ap);
    throw_pending();
}

PyError PyError::current() noexcept {
    try {
        throw;
    } catch (PyError& e) {
        return std::move(e);
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return fetch();
}

}  // namespace zorvik::py
