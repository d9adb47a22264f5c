// Binding and conversion of method arguments, with CPython's own forms of
// the TypeErrors, and the PEP 678 note that names the parameter whose
// conversion failed.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quorvel::module {

struct Parameter {
    const char* name;
    bool required;
};

// Binds positional and keyword arguments to `parameters`: `bound[i]` is the
// borrowed argument of parameter i, or nullptr when it was not given.
// Returns false with a TypeError set. `function` is e.g.
// "SchemaEngine.execute".
bool bind_fastcall(const char* function, std::span<const Parameter> parameters, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> bound);
bool bind_tuple_and_dict(const char* function, std::span<const Parameter> parameters, PyObject* args,
                         PyObject* kwargs, std::span<PyObject*> bound);

// Conversions: each returns false with the converting exception set and a
// note "while processing '<parameter>'" added to it.
bool convert_text(PyObject* value, const char* parameter, std::string& out);
// None (or a missing argument) means no text.
bool convert_optional_text(PyObject* value, const char* parameter, std::optional<std::string>& out);
bool convert_milliseconds(PyObject* value, const char* parameter, std::uint64_t& out);

}  // namespace quorvel::module
