// The Python class BufrMessage and the parse_* functions.
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "py/barrier.hpp"
#include "py/convert.hpp"
#include "lib/types.hpp"
#include "message/message.hpp"
#include "tables/files.hpp"

namespace korvane::py {

namespace {

struct MessageObject {
    PyObject_HEAD
    BufrMessage rec;
};

MessageObject* as_msg(PyObject* self) { return reinterpret_cast<MessageObject*>(self); }

template <auto Field>
PyObject* get_uint(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(as_msg(self)->rec.*Field));
}

template <auto Field>
PyObject* get_bool(PyObject* self, void*) {
    return PyBool_FromLong(as_msg(self)->rec.*Field ? 1 : 0);
}

PyObject* get_descriptors(PyObject* self, void*) {
    return new_code_list(as_msg(self)->rec.unexpanded_descriptors).release();
}

#define KORVANE_UINT(name) {#name, barrier<get_uint<&BufrMessage::name>>, nullptr, nullptr, nullptr}
#define KORVANE_BOOL(name) {#name, barrier<get_bool<&BufrMessage::name>>, nullptr, nullptr, nullptr}
PyGetSetDef kGetSet[] = {
    KORVANE_UINT(total_length),
    KORVANE_UINT(edition),
    KORVANE_UINT(section1_length),
    KORVANE_UINT(master_table_number),
    KORVANE_UINT(originating_centre),
    KORVANE_UINT(originating_subcentre),
    KORVANE_UINT(update_sequence_number),
    KORVANE_BOOL(local_section_present),
    KORVANE_UINT(data_category),
    KORVANE_UINT(international_data_subcategory),
    KORVANE_UINT(local_data_subcategory),
    KORVANE_UINT(master_tables_version_number),
    KORVANE_UINT(local_tables_version_number),
    KORVANE_UINT(typical_year),
    KORVANE_UINT(typical_month),
    KORVANE_UINT(typical_day),
    KORVANE_UINT(typical_hour),
    KORVANE_UINT(typical_minute),
    KORVANE_UINT(typical_second),
    KORVANE_UINT(section2_length),
    KORVANE_UINT(section3_length),
    KORVANE_UINT(number_of_subsets),
    KORVANE_BOOL(observed_data),
    KORVANE_BOOL(compressed_data),
    {"unexpanded_descriptors", barrier<get_descriptors>, nullptr, nullptr, nullptr},
    KORVANE_UINT(section4_length),
    KORVANE_UINT(section4_data_offset),
    KORVANE_UINT(section4_data_length),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef KORVANE_UINT
#undef KORVANE_BOOL

PyObject* message_repr(PyObject* self) {
    const BufrMessage& m = as_msg(self)->rec;
    const std::string s = "BufrMessage(edition=" + std::to_string(m.edition) +
                          ", length=" + std::to_string(m.total_length) +
                          ", subsets=" + std::to_string(m.number_of_subsets) +
                          ", descriptors=" + code_list_text(m.unexpanded_descriptors) + ")";
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<MessageObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(barrier<message_repr>)},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.BufrMessage",
    sizeof(MessageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

PyObject* type_slot = nullptr;

ByteView view_of(std::string_view s) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

PyObject* parse_one(ByteView buf) {
    auto r = parse_message(buf);
    if (!r) return to_py_err(std::move(r).error());
    return new_message_object(std::move(r).value());
}

// Reads the whole file at `path` with the interpreter lock released (the
// read touches no Python object). Only regular files and directories are
// opened, as for the table files: a FIFO could block forever and a device
// such as /dev/zero would stream without end, so both are refused at once
// with "not a regular file". A failure raises OSError with the error's text.
bool read_message_file(const std::string& path, std::string& out) {
    std::optional<BufrError> error;
    {
        ReleasedGil unlocked;
        auto r = read_file(path);
        if (r)
            out = std::move(r).value();
        else
            error = std::move(r).error();
    }
    if (!error) return true;
    raise_os_error_text(error->text());
    return false;
}

PyObject* parse_all(ByteView buf) {
    auto ranges = split_messages(buf);
    if (!ranges) return to_py_err(std::move(ranges).error());
    std::vector<BufrMessage> parsed;
    parsed.reserve(ranges->size());
    for (const MessageRange& r : *ranges) {
        auto m = parse_message(buf.subspan(r.start, r.length));
        if (!m) return to_py_err(std::move(m).error());
        parsed.push_back(std::move(m).value());
    }
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(parsed.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        PyObject* o = new_message_object(std::move(parsed[i]));
        if (o == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), o);
    }
    return list.release();
}

}  // namespace

PyTypeObject* bufr_message_type() { return type_from_spec(type_slot, &kSpec); }

PyObject* new_message_object(BufrMessage&& record) {
    PyTypeObject* tp = bufr_message_type();
    if (tp == nullptr) return nullptr;
    PyObject* o = tp->tp_alloc(tp, 0);
    if (o == nullptr) return nullptr;
    new (&as_msg(o)->rec) BufrMessage(std::move(record));
    return o;
}

const BufrMessage* message_record(PyObject* o) {
    PyTypeObject* tp = bufr_message_type();
    if (tp == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    return PyObject_TypeCheck(o, tp) ? &as_msg(o)->rec : nullptr;
}

PyObject* parse_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    std::string_view data;
    if (!bind_args("parse_bytes", args, kwargs, {"data"}, a) || !to_bytes(a[0], "data", data)) return nullptr;
    return parse_one(view_of(data));
}

PyObject* parse_file(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    std::string path;
    if (!bind_args("parse_file", args, kwargs, {"path"}, a) || !to_path(a[0], "path", path)) return nullptr;
    std::string content;
    if (!read_message_file(path, content)) return nullptr;
    return parse_one(view_of(content));
}

PyObject* parse_all_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    std::string_view data;
    if (!bind_args("parse_all_bytes", args, kwargs, {"data"}, a) || !to_bytes(a[0], "data", data))
        return nullptr;
    return parse_all(view_of(data));
}

PyObject* parse_all_file(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    std::string path;
    if (!bind_args("parse_all_file", args, kwargs, {"path"}, a) || !to_path(a[0], "path", path))
        return nullptr;
    std::string content;
    if (!read_message_file(path, content)) return nullptr;
    return parse_all(view_of(content));
}

}  // namespace korvane::py
