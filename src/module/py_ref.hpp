// Owning handle for Python references.
//
// Rules of use:
//  1. A raw PyObject* parameter or local is always a borrowed reference.
//  2. PyRef::steal(p) takes over a new reference (what most C API calls
//     return); PyRef::borrow(p) adds a reference to a borrowed one.
//  3. PyRef is move-only, so an owned reference cannot be copied by accident.
//  4. release() hands the reference back to the C API, e.g. as a return
//     value; the handle is empty afterwards.
//  5. Only code that holds the interpreter lock creates, moves or destroys
//     a PyRef.
#pragma once

#include <Python.h>

#include <utility>

namespace quorvel::module {

class PyRef {
public:
    PyRef() = default;
    static PyRef steal(PyObject* new_reference) { return PyRef(new_reference); }
    static PyRef borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    // The old object is released last, once this handle already holds the
    // new one: releasing can run arbitrary Python code, which must not find
    // the handle pointing at an object on its way out.
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace quorvel::module
