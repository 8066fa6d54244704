#include "columns/table.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "columns/objects.hpp"
#include "py/barrier.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/table_set_object.hpp"
#include "rows/calendar.hpp"
#include "rows/table.hpp"

namespace korvane::columns {

using py::guarded;
using py::OwnedRef;
using py::ReleasedGil;

namespace {

using TableObject = HolderObject<rows::TableOutput>;
PyTypeObject* table_type = nullptr;

rows::TableOutput& table_of(PyObject* self) { return reinterpret_cast<TableObject*>(self)->value; }

// ---- the request, from Python ----------------------------------------------------

bool as_index_groups(PyObject* list, std::size_t selectors, std::vector<std::vector<std::size_t>>& out) {
    OwnedRef seq = OwnedRef::steal(PySequence_Fast(list, "selector groups must be a sequence"));
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        OwnedRef group = OwnedRef::steal(PySequence_Fast(PySequence_Fast_GET_ITEM(seq.get(), i),
                                                         "a selector group must be a sequence"));
        if (!group) return false;
        std::vector<std::size_t>& g = out.emplace_back();
        for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(group.get()); ++j) {
            const Py_ssize_t k = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(group.get(), j));
            if (k == -1 && PyErr_Occurred()) return false;
            if (k < 0 || static_cast<std::size_t>(k) >= selectors) {
                PyErr_SetString(PyExc_ValueError, "selector out of range");
                return false;
            }
            g.push_back(static_cast<std::size_t>(k));
        }
    }
    return true;
}

bool as_request(PyObject* o, rows::Request& r) {
    PyObject *selectors, *required, *filters, *needed;
    int flat = 0;
    if (!PyArg_ParseTuple(o, "OOOOp:request", &selectors, &required, &filters, &needed, &flat)) return false;
    r.flat = flat != 0;
    OwnedRef sel = OwnedRef::steal(PySequence_Fast(selectors, "selectors must be a sequence"));
    if (!sel) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sel.get()); ++i) {
        const char* key;
        unsigned int code, rank;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(sel.get(), i), "sII:selector", &key, &code, &rank))
            return false;
        r.selectors.push_back(rows::Selector{key, code, rank});
    }
    if (r.selectors.size() > 65535) {
        PyErr_SetString(PyExc_ValueError, "too many selectors");
        return false;
    }
    if (!as_index_groups(required, r.selectors.size(), r.required) ||
        !as_index_groups(needed, r.selectors.size(), r.needed))
        return false;
    OwnedRef fil = OwnedRef::steal(PySequence_Fast(filters, "filters must be a sequence"));
    if (!fil) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fil.get()); ++i) {
        rows::ValueFilter f;
        Py_ssize_t selector;
        int range;
        PyObject *numbers, *texts;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(fil.get(), i), "npOOdd:filter", &selector, &range, &numbers,
                              &texts, &f.low, &f.high))
            return false;
        if (selector < 0 || static_cast<std::size_t>(selector) >= r.selectors.size()) {
            PyErr_SetString(PyExc_ValueError, "filter selector out of range");
            return false;
        }
        f.selector = static_cast<std::size_t>(selector);
        f.range = range != 0;
        OwnedRef ns = OwnedRef::steal(PySequence_Fast(numbers, "numbers must be a sequence"));
        OwnedRef ts = OwnedRef::steal(PySequence_Fast(texts, "texts must be a sequence"));
        if (!ns || !ts) return false;
        for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(ns.get()); ++j) {
            const double v = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(ns.get(), j));
            if (v == -1.0 && PyErr_Occurred()) return false;
            f.numbers.push_back(v);
        }
        for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(ts.get()); ++j) {
            Py_ssize_t n = 0;
            const char* t = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(ts.get(), j), &n);
            if (t == nullptr) return false;
            f.texts.emplace_back(t, static_cast<std::size_t>(n));
        }
        r.filters.push_back(std::move(f));
    }
    return true;
}

// ---- Table ---------------------------------------------------------------------

PyObject* table_rows(PyObject* self, void*) { return PyLong_FromSize_t(table_of(self).rows()); }

PyObject* table_messages_read(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(table_of(self).messages_read);
}

PyObject* table_row_message(PyObject* self, PyObject*) {
    return guarded([&] { return vector_buffer(self, table_of(self).row_message); });
}

PyObject* table_row_subset(PyObject* self, PyObject*) {
    return guarded([&] { return vector_buffer(self, table_of(self).row_subset); });
}

// (code, type, unit, name, scale) of each element.
PyObject* facts_list(const std::vector<rows::ElementFacts>& all) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(all.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const rows::ElementFacts& e = all[i];
        OwnedRef type = py::new_str(e.type), unit = py::new_str(e.unit), name = py::new_str(e.name);
        if (!type || !unit || !name) return nullptr;
        PyObject* facts = Py_BuildValue("(IOOOi)", e.code, type.get(), unit.get(), name.get(), e.scale);
        if (facts == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), facts);
    }
    return list.release();
}

PyObject* str_list(const std::vector<std::string>& all) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(all.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < all.size(); ++i) {
        PyObject* s = py::new_str(all[i]).release();
        if (s == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

// The column of the selector numbered by `arg`, or null with an exception set.
const rows::SelectorColumn* selector_column(PyObject* self, PyObject* arg) {
    const Py_ssize_t k = PyLong_AsSsize_t(arg);
    if (k == -1 && PyErr_Occurred()) return nullptr;
    const rows::TableOutput& t = table_of(self);
    if (k < 0 || static_cast<std::size_t>(k) >= t.columns.size()) {
        PyErr_SetString(PyExc_IndexError, "no such selector");
        return nullptr;
    }
    return &t.columns[static_cast<std::size_t>(k)];
}

PyObject* table_column(PyObject* self, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const rows::SelectorColumn* column = selector_column(self, arg);
        if (column == nullptr) return nullptr;
        const rows::SelectorColumn& c = *column;
        OwnedRef value = OwnedRef::steal(vector_buffer(self, c.value));
        OwnedRef state = OwnedRef::steal(vector_buffer(self, c.state));
        OwnedRef text = c.text.empty() ? OwnedRef::borrow(Py_None) : OwnedRef::steal(vector_buffer(self, c.text));
        OwnedRef elements = OwnedRef::steal(facts_list(c.elements));
        if (!value || !state || !text || !elements) return nullptr;
        return PyTuple_Pack(4, value.get(), state.get(), text.get(), elements.get());
    });
}

PyObject* table_ints(PyObject* self, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const rows::SelectorColumn* column = selector_column(self, arg);
        if (column == nullptr) return nullptr;
        const rows::SelectorColumn& c = *column;
        // An integer column holds whole numbers that int64 holds, or it is
        // read as floats.
        for (std::size_t i = 0; i < c.value.size(); ++i)
            if (c.state[i] == rows::kPresent && !(std::nearbyint(c.value[i]) == c.value[i] && std::fabs(c.value[i]) < 0x1p62))
                Py_RETURN_NONE;
        OwnedRef out = OwnedRef::steal(
            PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(c.value.size() * sizeof(std::int64_t))));
        if (!out) return nullptr;
        auto* to = reinterpret_cast<std::int64_t*>(PyByteArray_AS_STRING(out.get()));
        for (std::size_t i = 0; i < c.value.size(); ++i)
            to[i] = c.state[i] == rows::kPresent ? static_cast<std::int64_t>(c.value[i]) : 0;
        return out.release();
    });
}

PyObject* table_held_keys(PyObject* self, PyObject*) {
    return guarded([&] { return str_list(table_of(self).held_keys); });
}

PyObject* table_texts(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const rows::TextStore& texts = table_of(self).texts;
        OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
        if (!list) return nullptr;
        std::uint64_t begin = 0;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            const std::uint64_t end = texts.ends()[i];
            PyObject* s = PyUnicode_DecodeUTF8(texts.bytes().data() + begin, static_cast<Py_ssize_t>(end - begin),
                                               "replace");
            if (s == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
            begin = end;
        }
        return list.release();
    });
}

PyObject* table_flat(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const rows::FlatCells& f = table_of(self).flat;
        OwnedRef keys = OwnedRef::steal(str_list(f.keys));
        OwnedRef names = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(f.columns())));
        OwnedRef elements = OwnedRef::steal(facts_list(f.elements));
        if (!keys || !names || !elements) return nullptr;
        std::string name;
        for (std::size_t c = 0; c < f.columns(); ++c) {
            name = '#' + std::to_string(f.ranks[c]) + '#' + f.keys[f.column_key[c]];
            PyObject* s = py::new_str(name).release();
            if (s == nullptr) return nullptr;
            PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(c), s);
        }
        return Py_BuildValue("{s:N,s:N,s:N,s:N,s:N,s:O,s:N,s:O,s:N,s:N,s:O}", "row", vector_buffer(self, f.row),
                             "column", vector_buffer(self, f.column), "state", vector_buffer(self, f.state), "value",
                             vector_buffer(self, f.value), "text", vector_buffer(self, f.text), "keys", keys.get(),
                             "column_key", vector_buffer(self, f.column_key), "names", names.get(), "ranks",
                             vector_buffer(self, f.ranks), "element", vector_buffer(self, f.column_element),
                             "elements", elements.get());
    });
}

PyObject* table_dense(PyObject* self, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const rows::TableOutput& t = table_of(self);
        const rows::FlatCells& f = t.flat;
        ByteBuffer where_buffer;
        if (!where_buffer.take(arg)) return nullptr;
        const ByteView where_bytes = where_buffer.bytes();
        if (where_bytes.size() != f.columns() * sizeof(std::int64_t)) {
            PyErr_SetString(PyExc_ValueError, "dense() takes an int64 per column");
            return nullptr;
        }
        std::vector<std::int64_t> where(f.columns());
        if (!where.empty()) std::memcpy(where.data(), where_bytes.data(), where_bytes.size());
        const std::size_t rows = t.row_message.size();
        std::int64_t wanted = 0;
        for (const std::int64_t w : where) {
            if (w >= static_cast<std::int64_t>(f.columns()) || w < -1) {
                PyErr_SetString(PyExc_ValueError, "dense() places a column outside the columns");
                return nullptr;
            }
            wanted = std::max(wanted, w + 1);
        }
        const std::size_t cells = static_cast<std::size_t>(wanted) * rows;
        const auto bytes = [](std::size_t n) { return PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)); };
        OwnedRef values = OwnedRef::steal(bytes(cells * sizeof(double)));
        OwnedRef present = OwnedRef::steal(bytes(cells));
        OwnedRef whole = OwnedRef::steal(bytes(static_cast<std::size_t>(wanted)));
        if (!values || !present || !whole) return nullptr;
        auto* v = reinterpret_cast<double*>(PyByteArray_AS_STRING(values.get()));
        auto* p = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(present.get()));
        auto* w = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(whole.get()));
        {
            ReleasedGil gil;
            std::fill(v, v + cells, std::numeric_limits<double>::quiet_NaN());
            std::fill(p, p + cells, std::uint8_t{0});
            std::fill(w, w + wanted, std::uint8_t{1});
            for (std::size_t c = 0; c < f.row.size(); ++c) {
                const std::int64_t to = where[f.column[c]];
                if (to < 0) continue;
                const std::size_t at = static_cast<std::size_t>(to) * rows + static_cast<std::size_t>(f.row[c]);
                const bool here = f.state[c] == rows::kPresent;
                v[at] = f.value[c];
                p[at] = here;
                // Whether every value of the column is a whole number that
                // int64 holds (what an integer column needs).
                if (here && !(std::nearbyint(f.value[c]) == f.value[c] && std::fabs(f.value[c]) < 0x1p62)) w[to] = 0;
            }
        }
        return PyTuple_Pack(3, values.get(), present.get(), whole.get());
    });
}

PyObject* table_failures(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::vector<rows::Failure>& failures = table_of(self).failures;
        OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(failures.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < failures.size(); ++i) {
            const std::string text = failures[i].error.describe();
            PyObject* t = Py_BuildValue("(Kss#)", static_cast<unsigned long long>(failures[i].message),
                                        py::kind_name(failures[i].error.kind()), text.data(),
                                        static_cast<Py_ssize_t>(text.size()));
            if (t == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
        }
        return list.release();
    });
}

PyObject* table_fallbacks(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::vector<rows::VersionFallback>& all = table_of(self).fallbacks;
        OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(all.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < all.size(); ++i) {
            PyObject* t = Py_BuildValue("(iii)", all[i].master_table, all[i].named, all[i].read);
            if (t == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
        }
        return list.release();
    });
}

PyObject* table_found(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::vector<bool>& found = table_of(self).found;
        OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < found.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(found[i] ? Py_True : Py_False));
        return list.release();
    });
}

PyMethodDef kTableMethods[] = {
    {"row_message", table_row_message, METH_NOARGS,
     "row_message()\n--\n\nPer row, the position of its message among those read (uint64)."},
    {"row_subset", table_row_subset, METH_NOARGS, "row_subset()\n--\n\nPer row, its subset (uint32)."},
    {"column", table_column, METH_O,
     "column(k)\n--\n\n(value, state, text, elements) of selector k: value (float64, NaN when missing "
     "or absent), state (uint8: 0 absent, 1 missing, 2 present), text (int64 positions in texts(), -1 "
     "for none; None when no item is a text), and (code, type, unit, name, scale) of each element whose "
     "items filled it, in the order met."},
    {"ints", table_ints, METH_O,
     "ints(k)\n--\n\nThe values of selector k as int64 (0 where not present), as a bytearray, or None "
     "when a present value is no whole number below 2**62 in magnitude."},
    {"texts", table_texts, METH_NOARGS, "texts()\n--\n\nThe texts, read as UTF-8, as a list of str."},
    {"dense", table_dense, METH_O,
     "dense(where)\n--\n\nThe cells of the flat columns that `where` (an int64 per column: its row in the "
     "result, or -1) places, as a matrix of a row per placed column: (values, present, whole) as "
     "bytearrays of float64 (NaN where missing or absent), of bools, and of a bool per placed column: "
     "whether its present values are all whole numbers below 2**62 in magnitude."},
    {"flat", table_flat, METH_NOARGS,
     "flat()\n--\n\nThe cells of a flat table: row, column, state, value, text (buffers), and per "
     "column its name \"#rank#key\" and, as uint32 buffers, its rank, its key (a position in keys, the "
     "distinct keys) and its element (a position in elements, the distinct elements of the columns' first "
     "items, as column() gives them)."},
    {"failures", table_failures, METH_NOARGS,
     "failures()\n--\n\n(position, kind, text) of each message that could not be read, in order."},
    {"fallbacks", table_fallbacks, METH_NOARGS,
     "fallbacks()\n--\n\n(master table, version named, version read) where a message's master version was "
     "not installed."},
    {"found", table_found, METH_NOARGS,
     "found()\n--\n\nPer selector, whether the template of a message read could give it."},
    {"held_keys", table_held_keys, METH_NOARGS,
     "held_keys()\n--\n\nThe keys the templates of the messages read can give, sorted."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kTableGetSet[] = {
    {"rows", table_rows, nullptr, const_cast<char*>("The number of rows."), nullptr},
    {"messages_read", table_messages_read, nullptr,
     const_cast<char*>("The messages whose tables were found (read, or passed over unread)."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kTableSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<rows::TableOutput>)},
    {Py_tp_methods, kTableMethods},
    {Py_tp_getset, kTableGetSet},
    {Py_tp_doc, const_cast<char*>("The rows and columns read by read_table().")},
    {0, nullptr},
};

PyType_Spec kTableSpec = {"korvane._columns.Table", sizeof(TableObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kTableSlots};

}  // namespace

bool init_table_type() {
    if (table_type == nullptr) table_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kTableSpec));
    return table_type != nullptr;
}

namespace {

// One calendar part of timestamps(): its values by row, or a default.
class CalendarPart {
public:
    // None, or (kind, values, mask, absent): kind "f" (float64 values) or
    // "i" (int64 values, mask True where missing), or "-" (no numbers).
    bool take(PyObject* o, double fallback, std::size_t& rows) {
        fallback_ = fallback;
        if (o == Py_None) return true;
        const char* kind = nullptr;
        PyObject *values, *mask, *absent;
        if (!PyArg_ParseTuple(o, "sOOO:part", &kind, &values, &mask, &absent)) return false;
        kind_ = kind[0];
        if (kind_ != 'f' && kind_ != 'i' && kind_ != '-') {
            PyErr_SetString(PyExc_ValueError, "a calendar part's kind is f, i or -");
            return false;
        }
        if (!absent_.take(absent)) return false;
        if (!check(absent_.bytes().size(), 1, rows)) return false;
        if (kind_ == '-') return true;
        if (!values_.take(values) || !check(values_.bytes().size(), 8, rows)) return false;
        if (mask != Py_None) {
            if (!mask_.take(mask) || !check(mask_.bytes().size(), 1, rows)) return false;
            masked_ = true;
        }
        return true;
    }

    double operator[](std::size_t i) const noexcept {
        if (absent_.bytes().empty() || absent_.bytes()[i] != 0) return fallback_;
        if (kind_ == '-' || (masked_ && mask_.bytes()[i] != 0)) return kNaN;
        const std::uint8_t* at = values_.bytes().data() + i * 8;
        if (kind_ == 'f') {
            double v;
            std::memcpy(&v, at, sizeof v);
            return v;
        }
        std::int64_t v;
        std::memcpy(&v, at, sizeof v);
        return static_cast<double>(v);
    }

private:
    static bool check(std::size_t bytes, std::size_t width, std::size_t& rows) {
        const std::size_t n = bytes / width;
        if (bytes % width != 0 || (rows != SIZE_MAX && n != rows)) {
            PyErr_SetString(PyExc_ValueError, "the calendar parts differ in length");
            return false;
        }
        rows = n;
        return true;
    }

    static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    char kind_ = '-';
    bool masked_ = false;
    double fallback_ = kNaN;
    ByteBuffer values_, mask_, absent_;
};

}  // namespace

PyObject* timestamps(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        Py_ssize_t n = 0;
        PyObject* parts[6];
        if (!PyArg_ParseTuple(args, "nOOOOOO:timestamps", &n, &parts[0], &parts[1], &parts[2], &parts[3],
                              &parts[4], &parts[5]))
            return nullptr;
        if (n < 0) {
            PyErr_SetString(PyExc_ValueError, "timestamps() takes a number of rows >= 0");
            return nullptr;
        }
        // Year, month and day have no default; hour, minute and second count
        // as 0 where a row lacks them.
        CalendarPart part[6];
        std::size_t rows = static_cast<std::size_t>(n);
        for (int k = 0; k < 6; ++k)
            if (!part[k].take(parts[k], k < 3 ? std::numeric_limits<double>::quiet_NaN() : 0.0, rows)) return nullptr;
        OwnedRef out = OwnedRef::steal(PyByteArray_FromStringAndSize(nullptr, n * 8));
        if (!out) return nullptr;
        auto* to = reinterpret_cast<std::int64_t*>(PyByteArray_AS_STRING(out.get()));
        for (std::size_t i = 0; i < rows; ++i)
            to[i] = rows::timestamp_us(part[0][i], part[1][i], part[2][i], part[3][i], part[4][i], part[5][i]);
        return out.release();
    });
}

PyObject* read_table(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"data",    "headers",   "selection",       "request", "tables",
                                       "threads", "max_items", "stop_on_failure", nullptr};
        PyObject *data_obj, *headers_obj, *selection_obj, *request_obj, *tables_obj;
        unsigned int threads = 1;
        unsigned long long max_items = 0;
        int stop_on_failure = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|$IKp:read_table", const_cast<char**>(kwlist),
                                         &data_obj, &headers_obj, &selection_obj, &request_obj, &tables_obj,
                                         &threads, &max_items, &stop_on_failure))
            return nullptr;
        rows::Request request;
        if (!as_request(request_obj, request)) return nullptr;
        rows::Input input;
        input.max_items = max_items;
        input.stop_on_failure = stop_on_failure != 0;
        if (PyUnicode_Check(tables_obj)) {
            if (!py::to_path(tables_obj, "tables", input.root)) return nullptr;
        } else {
            if (tables_of(tables_obj) == nullptr) return nullptr;
            input.fixed = reinterpret_cast<py::TableSetObject*>(tables_obj)->tables;
        }
        ByteBuffer data, headers, selection;
        if (!data.take(data_obj) || !headers.take(headers_obj)) return nullptr;
        if (selection_obj != Py_None && !selection.take(selection_obj)) return nullptr;
        const ByteView records = headers.bytes();
        if (records.size() % sizeof(HeaderRecord) != 0) {
            PyErr_SetString(PyExc_ValueError, "headers is not a buffer of header records");
            return nullptr;
        }
        const std::size_t n = records.size() / sizeof(HeaderRecord);
        std::vector<HeaderRecord> all(n);
        if (n != 0) std::memcpy(all.data(), records.data(), records.size());
        auto add = [&](const HeaderRecord& h) -> bool {
            if (h.offset > input.data.size() || h.total_length > input.data.size() - h.offset) {
                PyErr_SetString(PyExc_ValueError, "a header record lies outside the data");
                return false;
            }
            input.messages.push_back(rows::MessageRef{
                h.offset, h.total_length,
                TableRequest{h.master_table_number, h.master_tables_version_number, h.local_tables_version_number,
                             h.originating_centre, h.originating_subcentre}});
            return true;
        };
        input.data = data.bytes();
        if (selection_obj == Py_None) {
            for (const HeaderRecord& h : all)
                if (!add(h)) return nullptr;
        } else {
            const ByteView chosen = selection.bytes();
            if (chosen.size() % sizeof(std::uint64_t) != 0) {
                PyErr_SetString(PyExc_ValueError, "selection is not a buffer of uint64");
                return nullptr;
            }
            for (std::size_t i = 0; i < chosen.size() / sizeof(std::uint64_t); ++i) {
                std::uint64_t at;
                std::memcpy(&at, chosen.data() + i * sizeof at, sizeof at);
                if (at >= n) {
                    PyErr_SetString(PyExc_IndexError, "selection names no header record");
                    return nullptr;
                }
                if (!add(all[static_cast<std::size_t>(at)])) return nullptr;
            }
        }
        rows::TableOutput* out = nullptr;
        OwnedRef owner = OwnedRef::steal(new_holder(table_type, out));
        if (!owner) return nullptr;
        Result<void> done = Ok{};
        bool interrupted = false;
        {
            ReleasedGil gil;
            done = rows::read_table(input, request, threads == 0 ? 1 : threads, *out,
                                    Interrupt{&ReleasedGil::poll, &gil});
            interrupted = gil.interrupted();
        }
        if (interrupted) return nullptr;
        if (!done) return py::to_py_err(std::move(done).error());
        return owner.release();
    });
}

}  // namespace korvane::columns
