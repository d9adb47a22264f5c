#include "module/arguments.hpp"

#include "module/py_ref.hpp"

namespace quorvel::module {
namespace {

Py_ssize_t index_of(std::span<const Parameter> parameters, PyObject* keyword) {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, parameters[i].name) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

bool too_many_positional(const char* function, std::span<const Parameter> parameters, Py_ssize_t given) {
    const auto most = static_cast<Py_ssize_t>(parameters.size());
    if (most == 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", function, given);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", function, most,
                     most == 1 ? "" : "s", given);
    }
    return false;
}

bool bind_keyword(const char* function, std::span<const Parameter> parameters, PyObject* keyword, PyObject* value,
                  std::span<PyObject*> bound) {
    Py_ssize_t index = index_of(parameters, keyword);
    if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function, keyword);
        return false;
    }
    if (bound[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                     parameters[index].name);
        return false;
    }
    bound[index] = value;
    return true;
}

bool check_required(const char* function, std::span<const Parameter> parameters, std::span<PyObject*> bound) {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (parameters[i].required && bound[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function,
                         parameters[i].name, i + 1);
            return false;
        }
    }
    return true;
}

// Adds a PEP 678 note to the exception being raised.
void add_note_to_raised_exception(const std::string& note) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* raised = PyErr_GetRaisedException();  // new reference
    PyRef added = PyRef::steal(PyObject_CallMethod(raised, "add_note", "s", note.c_str()));
    if (!added) PyErr_Clear();
    PyErr_SetRaisedException(raised);
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyRef added = PyRef::steal(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
    if (!added) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
#endif
}

bool fail_with_note(const char* parameter) {
    add_note_to_raised_exception(std::string("while processing '") + parameter + "'");
    return false;
}

}  // namespace

bool bind_fastcall(const char* function, std::span<const Parameter> parameters, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> bound) {
    nargs = PyVectorcall_NARGS(nargs);
    if (nargs > static_cast<Py_ssize_t>(parameters.size())) return too_many_positional(function, parameters, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        if (!bind_keyword(function, parameters, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound)) return false;
    }
    return check_required(function, parameters, bound);
}

bool bind_tuple_and_dict(const char* function, std::span<const Parameter> parameters, PyObject* args,
                         PyObject* kwargs, std::span<PyObject*> bound) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > static_cast<Py_ssize_t>(parameters.size())) return too_many_positional(function, parameters, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;  // borrowed
        PyObject* value = nullptr;    // borrowed
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!bind_keyword(function, parameters, keyword, value, bound)) return false;
        }
    }
    return check_required(function, parameters, bound);
}

bool convert_text(PyObject* value, const char* parameter, std::string& out) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not %.200s", parameter, Py_TYPE(value)->tp_name);
        return fail_with_note(parameter);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) return fail_with_note(parameter);
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool convert_optional_text(PyObject* value, const char* parameter, std::optional<std::string>& out) {
    if (value == nullptr || value == Py_None) {
        out.reset();
        return true;
    }
    std::string text;
    if (!convert_text(value, parameter, text)) return false;
    out = std::move(text);
    return true;
}

bool convert_milliseconds(PyObject* value, const char* parameter, std::uint64_t& out) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) return fail_with_note(parameter);
    unsigned long long milliseconds = PyLong_AsUnsignedLongLong(index.get());
    if (milliseconds == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail_with_note(parameter);
    out = milliseconds;
    return true;
}

}  // namespace quorvel::module
