// How the bindings' C++ functions become Python methods: every entry point's
// body runs inside Guarded, so no C++ exception (memory exhaustion, in
// practice) ever crosses into the interpreter.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <new>

namespace quorvel::module {

template <auto Body>
struct Guarded;

// Not noexcept, and the forced unwinding of a thread that the interpreter
// ends at shutdown (pthread_exit while taking the lock back) passes through.
template <class... Args, PyObject* (*Body)(Args...)>
struct Guarded<Body> {
    static PyObject* call(Args... args) {
        try {
            return Body(args...);
        } catch (const abi::__forced_unwind&) {
            throw;
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        } catch (const std::exception& error) {
            return unexpected(error.what());
        } catch (...) {
            return unexpected("unexpected internal error");
        }
    }

private:
    static PyObject* unexpected(const char* what) {
        PyErr_SetString(PyExc_RuntimeError, what);
        return nullptr;
    }
};

template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The method table's view of an entry point, run inside Guarded.
template <auto Body>
PyCFunction entry() {
    return as_cfunction(&Guarded<Body>::call);
}

}  // namespace quorvel::module
