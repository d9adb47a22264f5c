#include "module/arguments.hpp"

#include <algorithm>
#include <cstring>

#include "module/py_ref.hpp"

namespace quorvel::module {
namespace {

// ---- str to UTF-8 ------------------------------------------------------------
//
// A str past ASCII has no UTF-8 form until one is asked for, and
// PyUnicode_AsUTF8AndSize then encodes it into a copy cached on the str
// for its lifetime, which is copied once more into the engine's text. For a
// host answering with a large fresh str each time (JSON decoded from bytes
// just before), that was slower than the engine's whole handling of the
// reply. So a str is encoded here straight into the engine's text, in two
// passes over its code points: one to size, one to write.

constexpr std::uint64_t high_bits = 0x8080808080808080ULL;

// Bytes of the UTF-8 form of a one-byte-per-character str (code points
// below 256, two bytes each past ASCII).
std::size_t utf8_size_of_latin1(const std::uint8_t* text, std::size_t length) {
    std::size_t size = length;
    std::size_t i = 0;
    for (; length - i >= 8; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text + i, 8);
        // One per high bit: the eight 0/1 bytes summed by a multiply, which
        // (unlike a popcount) needs no instruction the build may not assume.
        size += static_cast<std::size_t>((((word & high_bits) >> 7) * 0x0101010101010101ULL) >> 56);
    }
    for (; i < length; ++i) size += text[i] >> 7;
    return size;
}

void encode_latin1(const std::uint8_t* text, std::size_t length, char* out) {
    std::size_t i = 0;
    while (i < length) {
        // ASCII runs go eight bytes at a time.
        while (length - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, text + i, 8);
            if ((word & high_bits) != 0) break;
            std::memcpy(out, &word, 8);
            out += 8;
            i += 8;
        }
        const std::size_t stop = std::min(length, i + 8);
        for (; i < stop; ++i) {
            const std::uint8_t c = text[i];
            if (c < 0x80) {
                *out++ = static_cast<char>(c);
            } else {
                *out++ = static_cast<char>(0xC0 | (c >> 6));
                *out++ = static_cast<char>(0x80 | (c & 0x3F));
            }
        }
    }
}

// Bytes of the UTF-8 form of wider code units, or 0 when one is a
// surrogate, which has no UTF-8 form.
template <class Unit>
std::size_t utf8_size_of(const Unit* text, std::size_t length) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t c = text[i];
        if (c < 0x80) size += 1;
        else if (c < 0x800) size += 2;
        else if (c >= 0xD800 && c <= 0xDFFF) return 0;
        else size += c < 0x10000 ? 3 : 4;
    }
    return size;
}

template <class Unit>
void encode_units(const Unit* text, std::size_t length, char* out) {
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t c = text[i];
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<char>(0xC0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *out++ = static_cast<char>(0xE0 | (c >> 12));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *out++ = static_cast<char>(0xF0 | (c >> 18));
            *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

template <class Unit>
bool encode_wide(const void* data, std::size_t length, std::string& out) {
    const auto* text = static_cast<const Unit*>(data);
    const std::size_t size = utf8_size_of(text, length);
    if (size == 0) return false;
    out.resize(size);
    encode_units(text, length, out.data());
    return true;
}

// Whether the str already carries the UTF-8 form CPython caches on it
// (some other caller asked for it), which is then only copied. Encoding
// here never fills that cache, so a host answering with the same str again
// pays the encoding again, as it pays it for every fresh str. A
// free-threaded build fills the cache under its own lock, so there it is
// never looked at unlocked.
bool has_cached_utf8(PyObject* text) {
#ifdef Py_GIL_DISABLED
    (void)text;
    return false;
#else
    return reinterpret_cast<PyCompactUnicodeObject*>(text)->utf8 != nullptr;
#endif
}

// The UTF-8 form of a str past ASCII, written into `out`; false (and `out`
// untouched) for a str holding a lone surrogate.
bool encode_utf8(PyObject* text, std::string& out) {
    const void* data = PyUnicode_DATA(text);
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: {
            const auto* latin1 = static_cast<const std::uint8_t*>(data);
            out.resize(utf8_size_of_latin1(latin1, length));
            encode_latin1(latin1, length, out.data());
            return true;
        }
        case PyUnicode_2BYTE_KIND: return encode_wide<Py_UCS2>(data, length, out);
        default: return encode_wide<Py_UCS4>(data, length, out);
    }
}

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
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(value) < 0) return fail_with_note(parameter);  // a str built by the legacy API
#endif
    if (!PyUnicode_IS_ASCII(value) && !has_cached_utf8(value) && encode_utf8(value, out)) return true;
    // ASCII is its own UTF-8 form; a lone surrogate gets CPython's own
    // UnicodeEncodeError from here.
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
