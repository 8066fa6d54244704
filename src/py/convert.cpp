#include "py/convert.hpp"

#include <climits>
#include <string>

namespace korvane::py {

namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

void set_arg_type_error(const char* param, const std::string& reason) {
    std::string msg = "argument '";
    msg += param;
    msg += "': ";
    msg += reason;
    PyErr_SetString(PyExc_TypeError, msg.c_str());
}

std::string type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

// Reads a Python int of any size as an unsigned value at most `max`.
bool to_unsigned(PyObject* o, const char* param, std::uint64_t max, std::uint64_t& out) {
    if (!PyLong_Check(o)) {
        set_arg_type_error(param, "'" + type_name(o) + "' object cannot be interpreted as an integer");
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
        if (v == -1 && PyErr_Occurred()) return false;
        if (v < 0 || static_cast<unsigned long long>(v) > max) {
            PyErr_SetString(PyExc_OverflowError, kOutOfRange);
            return false;
        }
        out = static_cast<std::uint64_t>(v);
        return true;
    }
    // Beyond a signed 64-bit integer: the interpreter's own conversion decides
    // and, when it refuses, its overflow text is the one raised.
    if (overflow < 0 || max < UINT64_MAX) {
        (void)PyLong_AsLongLong(o);  // sets the interpreter's OverflowError
        return false;
    }
    const unsigned long long u = PyLong_AsUnsignedLongLong(o);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = u;
    return true;
}

}  // namespace

bool bind_args(const char* function, PyObject* args, PyObject* kwargs,
               std::initializer_list<const char*> names, PyObject** out) {
    // PyArg_ParseTupleAndKeywords gives the interpreter's standard wording for
    // missing, surplus, unknown and duplicated arguments.
    std::string format(names.size(), 'O');
    format += ':';
    format += function;
    char* kwlist[8] = {};
    std::size_t i = 0;
    for (const char* n : names) kwlist[i++] = const_cast<char*>(n);
    switch (names.size()) {
    case 0:
        return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist) != 0;
    case 1:
        return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist, &out[0]) != 0;
    case 2:
        return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist, &out[0], &out[1]) != 0;
    case 3:
        return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist, &out[0], &out[1],
                                           &out[2]) != 0;
    default:
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        return false;
    }
}

bool to_bytes(PyObject* o, const char* param, std::string_view& out) {
    if (!PyBytes_Check(o)) {
        set_arg_type_error(param, "'" + type_name(o) + "' object is not an instance of 'bytes'");
        return false;
    }
    out = std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
    return true;
}

bool to_path(PyObject* o, const char* param, std::string& out) {
    if (!PyUnicode_Check(o)) {
        set_arg_type_error(param, "'" + type_name(o) + "' object is not an instance of 'str'");
        return false;
    }
    // As os.fsencode: a path read from the file system that is not UTF-8
    // comes to Python with its bytes escaped as lone surrogates, and goes
    // back to those bytes here.
    OwnedRef encoded = OwnedRef::steal(PyUnicode_EncodeFSDefault(o));
    if (!encoded) {
        PyErr_Clear();
        set_arg_type_error(param, "path cannot be encoded for the file system");
        return false;
    }
    out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    if (out.find('\0') != std::string::npos) {
        // The file system would silently cut the path at the NUL.
        set_arg_type_error(param, "embedded null byte");
        return false;
    }
    return true;
}

bool to_u8(PyObject* o, const char* param, std::uint8_t& out) {
    std::uint64_t v = 0;
    if (!to_unsigned(o, param, UINT8_MAX, v)) return false;
    out = static_cast<std::uint8_t>(v);
    return true;
}

bool to_u32(PyObject* o, const char* param, std::uint32_t& out) {
    std::uint64_t v = 0;
    if (!to_unsigned(o, param, UINT32_MAX, v)) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool to_u64(PyObject* o, const char* param, std::uint64_t& out) {
    return to_unsigned(o, param, UINT64_MAX, out);
}

bool to_codes(PyObject* o, const char* param, std::vector<std::uint32_t>& out) {
    if (PyUnicode_Check(o)) {
        set_arg_type_error(param, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) {
        set_arg_type_error(param, "'" + type_name(o) + "' object cannot be converted to 'Sequence'");
        return false;
    }
    // No BUFR message can carry more descriptors than this (section 3 has a
    // 24-bit length). A list or tuple is read in place, its size taken from
    // the object itself, so that a subclass whose __len__ says otherwise is
    // read for what it holds. Any other sequence is checked against the bound
    // by its length before PySequence_Fast copies it into a list, so that a
    // huge range or a lazy sequence is refused before it is materialised.
    constexpr Py_ssize_t kMaxCodes = Py_ssize_t{1} << 24;
    auto too_many = [](Py_ssize_t n) {
        to_py_err(BufrError::table("descriptor list of " + std::to_string(n) + " codes exceeds " +
                                   std::to_string(kMaxCodes) + " codes"));
        return false;
    };
    if (!PyList_Check(o) && !PyTuple_Check(o)) {
        const Py_ssize_t n = PySequence_Size(o);
        if (n < 0) return false;
        if (n > kMaxCodes) return too_many(n);
    }
    OwnedRef items = OwnedRef::steal(PySequence_Fast(o, "expected a sequence"));
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    if (n > kMaxCodes) return too_many(n);
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    // The conversion of an int runs no Python code, so the list cannot change
    // under the loop; each item is still held while it is read.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        OwnedRef item = OwnedRef::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
        std::uint32_t code = 0;
        if (!to_u32(item.get(), param, code)) return false;
        out.push_back(code);
    }
    return true;
}

OwnedRef new_str(std::string_view s) {
    return OwnedRef::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

OwnedRef new_u64(std::uint64_t v) { return OwnedRef::steal(PyLong_FromUnsignedLongLong(v)); }

OwnedRef new_code_list(const std::vector<std::uint32_t>& codes) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(codes.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLong(codes[i]);
        if (item == nullptr) return OwnedRef();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

std::string code_list_text(const std::vector<std::uint32_t>& codes) {
    std::string s = "[";
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(codes[i]);
    }
    s += ']';
    return s;
}

}  // namespace korvane::py
