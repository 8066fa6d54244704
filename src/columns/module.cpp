// The module korvane._columns: the whole-file reader's entry points over the
// core. It finds the messages of a buffer and parses their headers in one
// call, and decodes one message into columns that Python sees through the
// buffer protocol, without copies. Parsing and decoding run with the
// interpreter lock released: the buffers they read are held exported (and so
// cannot be resized) for the length of the call.
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "columns/shared.hpp"
#include "data/columns.hpp"
#include "lib/barrier.hpp"
#include "lib/pyref.hpp"
#include "lib/table_set_object.hpp"
#include "message/message.hpp"
#include "tables/definitions.hpp"

namespace korvane::columns {

using py::guarded;
using py::OwnedRef;
using py::ReleasedGil;

namespace {

// A read-only byte buffer taken from any object that exports one.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool take(PyObject* o) {
        if (PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) != 0) return false;
        held_ = true;
        return true;
    }
    ByteView bytes() const {
        return ByteView(static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len));
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// ---- Buffer: one column exported as bytes -----------------------------------------

struct BufferObject {
    PyObject_HEAD
    PyObject* owner;  // keeps the memory alive
    const void* data;
    Py_ssize_t len;
};

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* o = reinterpret_cast<BufferObject*>(self);
    return PyBuffer_FillInfo(view, self, const_cast<void*>(o->data), o->len, 1, flags);
}

void buffer_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    Py_XDECREF(reinterpret_cast<BufferObject*>(self)->owner);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot kBufferSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {Py_tp_doc, const_cast<char*>("Read-only bytes of one decoded column, kept alive by its owner.")},
    {0, nullptr},
};

PyType_Spec kBufferSpec = {"korvane._columns.Buffer", sizeof(BufferObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kBufferSlots};

PyTypeObject* buffer_type = nullptr;

PyObject* new_buffer(PyObject* owner, const void* data, std::size_t bytes) {
    PyObject* o = buffer_type->tp_alloc(buffer_type, 0);
    if (o == nullptr) return nullptr;
    auto* b = reinterpret_cast<BufferObject*>(o);
    b->owner = Py_NewRef(owner);
    b->data = data;
    b->len = static_cast<Py_ssize_t>(bytes);
    return o;
}

template <class Vector>
PyObject* vector_buffer(PyObject* owner, const Vector& v) {
    return new_buffer(owner, v.data(), v.size() * sizeof(v[0]));
}

// A heap-allocated C++ value owned by a Python object: `Holder<T>` frees it
// with the object.
template <class T>
struct HolderObject {
    PyObject_HEAD
    T value;
};

template <class T>
void holder_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<HolderObject<T>*>(self)->value.~T();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// ---- Columns: the decoded items of one message -------------------------------------

using ColumnsObject = HolderObject<MessageColumns>;
PyTypeObject* columns_type = nullptr;

MessageColumns& columns_of(PyObject* self) { return reinterpret_cast<ColumnsObject*>(self)->value; }

PyObject* columns_buffer(PyObject* self, PyObject* name_obj) {
    return guarded([&]() -> PyObject* {
        const char* name = PyUnicode_AsUTF8(name_obj);
        if (name == nullptr) return nullptr;
        MessageColumns& c = columns_of(self);
        const std::string_view n(name);
        // An array of compressed data is laid out for every item when first
        // asked for; no buffer of it exists before, so none is moved.
        if (n == "code") return c.expand(Column::Code), vector_buffer(self, c.code);
        if (n == "kind") return c.expand(Column::Kind), vector_buffer(self, c.kind);
        if (n == "missing") return c.expand(Column::Missing), vector_buffer(self, c.missing);
        if (n == "value") return c.expand(Column::Value), vector_buffer(self, c.value);
        if (n == "raw") return c.expand(Column::Raw), vector_buffer(self, c.raw);
        if (n == "subset_bounds") return vector_buffer(self, c.subset_bounds);
        if (n == "groups") return vector_buffer(self, c.groups);
        if (n == "references") return vector_buffer(self, c.references);
        PyErr_Format(PyExc_KeyError, "no column %R", name_obj);
        return nullptr;
    });
}

PyObject* columns_texts(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const TextArena& texts = columns_of(self).texts;
        OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            const std::string_view t = texts.get(i);
            PyObject* s = PyUnicode_DecodeLatin1(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr);
            if (s == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
        }
        return list.release();
    });
}

PyObject* columns_len(PyObject* self, void*) { return PyLong_FromSize_t(columns_of(self).size()); }

PyMethodDef kColumnsMethods[] = {
    {"buffer", columns_buffer, METH_O,
     "buffer(name)\n--\n\nThe bytes of one column: 'code' (uint32), 'kind' (uint8), 'missing' (uint8), "
     "'value' (float64), 'raw' (uint64), 'subset_bounds' (uint64) or 'groups' (records of begin, end, "
     "parent, node, subset) or 'references' (records of value, code, subset: the reference values "
     "2 03 YYY defines). An item column of compressed data is laid out item by item when first asked for."},
    {"texts", columns_texts, METH_NOARGS,
     "texts()\n--\n\nThe message's texts as a list of str; a text item's raw value is its position here."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kColumnsGetSet[] = {
    {"size", columns_len, nullptr, const_cast<char*>("The number of items."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kColumnsSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<MessageColumns>)},
    {Py_tp_methods, kColumnsMethods},
    {Py_tp_getset, kColumnsGetSet},
    {Py_tp_doc, const_cast<char*>("The decoded items of one message, column by column.")},
    {0, nullptr},
};

PyType_Spec kColumnsSpec = {"korvane._columns.Columns", sizeof(ColumnsObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kColumnsSlots};

// ---- scan: messages and headers ----------------------------------------------------

// One message's header as a fixed record, read in Python as a structured
// array (see header_layout).
struct HeaderRecord {
    std::uint64_t index;
    std::uint64_t offset;
    std::uint64_t total_length;
    std::uint64_t section1_length;
    std::uint64_t section2_length;
    std::uint64_t section3_length;
    std::uint64_t section4_length;
    std::uint64_t section4_data_offset;
    std::uint64_t section4_data_length;
    std::uint64_t descriptors_begin;
    std::uint64_t descriptors_end;
    std::uint16_t originating_centre;
    std::uint16_t originating_subcentre;
    std::uint16_t typical_year;
    std::uint16_t number_of_subsets;
    std::uint8_t edition;
    std::uint8_t master_table_number;
    std::uint8_t update_sequence_number;
    std::uint8_t local_section_present;
    std::uint8_t data_category;
    std::uint8_t international_data_subcategory;
    std::uint8_t local_data_subcategory;
    std::uint8_t master_tables_version_number;
    std::uint8_t local_tables_version_number;
    std::uint8_t typical_month;
    std::uint8_t typical_day;
    std::uint8_t typical_hour;
    std::uint8_t typical_minute;
    std::uint8_t typical_second;
    std::uint8_t observed_data;
    std::uint8_t compressed_data;
};

struct Problem {
    std::uint64_t index;
    std::uint64_t offset;
    std::uint64_t length;
    std::string text;
};

struct ScanResult {
    std::vector<HeaderRecord> headers;
    std::vector<std::uint32_t> descriptors;
    std::vector<Problem> problems;
};

using ScanObject = HolderObject<ScanResult>;
PyTypeObject* scan_type = nullptr;

PyType_Slot kScanSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<ScanResult>)},
    {Py_tp_doc, const_cast<char*>("The headers found by scan(), owner of their buffers.")},
    {0, nullptr},
};

PyType_Spec kScanSpec = {"korvane._columns.ScanResult", sizeof(ScanObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kScanSlots};

constexpr std::uint8_t kMarker[4] = {'B', 'U', 'F', 'R'};

std::uint64_t be24(const std::uint8_t* p) {
    return (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[1]} << 8) | p[2];
}

// The position of the next "BUFR" at or after `from`, or the buffer's size.
std::size_t find_marker(ByteView buf, std::size_t from) {
    const std::uint8_t* base = buf.data();
    const std::size_t len = buf.size();
    while (from + 4 <= len) {
        const void* hit = std::memchr(base + from, 'B', len - from - 3);
        if (hit == nullptr) break;
        const std::size_t at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - base);
        if (std::memcmp(base + at, kMarker, 4) == 0) return at;
        from = at + 1;
    }
    return len;
}

void fill_header(HeaderRecord& h, const BufrMessage& m) {
    h.total_length = m.total_length;
    h.section1_length = m.section1_length;
    h.section2_length = m.section2_length;
    h.section3_length = m.section3_length;
    h.section4_length = m.section4_length;
    h.section4_data_offset = m.section4_data_offset;
    h.section4_data_length = m.section4_data_length;
    h.originating_centre = m.originating_centre;
    h.originating_subcentre = m.originating_subcentre;
    h.typical_year = m.typical_year;
    h.number_of_subsets = m.number_of_subsets;
    h.edition = m.edition;
    h.master_table_number = m.master_table_number;
    h.update_sequence_number = m.update_sequence_number;
    h.local_section_present = m.local_section_present;
    h.data_category = m.data_category;
    h.international_data_subcategory = m.international_data_subcategory;
    h.local_data_subcategory = m.local_data_subcategory;
    h.master_tables_version_number = m.master_tables_version_number;
    h.local_tables_version_number = m.local_tables_version_number;
    h.typical_month = m.typical_month;
    h.typical_day = m.typical_day;
    h.typical_hour = m.typical_hour;
    h.typical_minute = m.typical_minute;
    h.typical_second = m.typical_second;
    h.observed_data = m.observed_data;
    h.compressed_data = m.compressed_data;
}

// Every message of the buffer: bytes between messages (bulletin headings,
// padding) are skipped, and a damaged message is recorded with its offset
// while the scan goes on after its marker.
void scan_buffer(ByteView buf, ScanResult& out) {
    std::size_t p = 0;
    std::uint64_t index = 0;
    while ((p = find_marker(buf, p)) < buf.size()) {
        const std::size_t remaining = buf.size() - p;
        if (remaining < 8) {
            out.problems.push_back({index++, p, remaining, BufrError::section_truncated(0, p).display()});
            break;
        }
        const std::uint64_t total = be24(buf.data() + p + 4);
        if (total > remaining) {
            out.problems.push_back({index++, p, remaining, BufrError::section_truncated(0, p).display()});
            p += 4;
            continue;
        }
        auto parsed = parse_message_any_edition(buf.subspan(p, static_cast<std::size_t>(total)));
        if (!parsed) {
            out.problems.push_back({index++, p, total, parsed.error().display()});
            p += 4;
            continue;
        }
        HeaderRecord h{};
        h.index = index++;
        h.offset = p;
        fill_header(h, *parsed);
        h.descriptors_begin = out.descriptors.size();
        out.descriptors.insert(out.descriptors.end(), parsed->unexpanded_descriptors.begin(),
                               parsed->unexpanded_descriptors.end());
        h.descriptors_end = out.descriptors.size();
        out.headers.push_back(h);
        p += static_cast<std::size_t>(total);
    }
}

PyObject* scan(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        ByteBuffer data;
        if (!data.take(arg)) return nullptr;
        OwnedRef owner = OwnedRef::steal(scan_type->tp_alloc(scan_type, 0));
        if (!owner) return nullptr;
        ScanResult& result = *new (&reinterpret_cast<ScanObject*>(owner.get())->value) ScanResult();
        {
            ReleasedGil gil;
            scan_buffer(data.bytes(), result);
        }
        OwnedRef problems = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(result.problems.size())));
        if (!problems) return nullptr;
        for (std::size_t i = 0; i < result.problems.size(); ++i) {
            const Problem& p = result.problems[i];
            PyObject* t = Py_BuildValue("(KKKs#)", static_cast<unsigned long long>(p.index),
                                        static_cast<unsigned long long>(p.offset),
                                        static_cast<unsigned long long>(p.length), p.text.data(),
                                        static_cast<Py_ssize_t>(p.text.size()));
            if (t == nullptr) return nullptr;
            PyList_SET_ITEM(problems.get(), static_cast<Py_ssize_t>(i), t);
        }
        OwnedRef headers = OwnedRef::steal(vector_buffer(owner.get(), result.headers));
        OwnedRef descriptors = OwnedRef::steal(vector_buffer(owner.get(), result.descriptors));
        if (!headers || !descriptors) return nullptr;
        return PyTuple_Pack(3, headers.get(), descriptors.get(), problems.get());
    });
}

#define KORVANE_FIELD(name, fmt) {#name, fmt, offsetof(HeaderRecord, name)}

struct FieldInfo {
    const char* name;
    const char* format;
    std::size_t offset;
};

const FieldInfo kHeaderFields[] = {
    KORVANE_FIELD(index, "u8"),
    KORVANE_FIELD(offset, "u8"),
    KORVANE_FIELD(total_length, "u8"),
    KORVANE_FIELD(section1_length, "u8"),
    KORVANE_FIELD(section2_length, "u8"),
    KORVANE_FIELD(section3_length, "u8"),
    KORVANE_FIELD(section4_length, "u8"),
    KORVANE_FIELD(section4_data_offset, "u8"),
    KORVANE_FIELD(section4_data_length, "u8"),
    KORVANE_FIELD(descriptors_begin, "u8"),
    KORVANE_FIELD(descriptors_end, "u8"),
    KORVANE_FIELD(originating_centre, "u2"),
    KORVANE_FIELD(originating_subcentre, "u2"),
    KORVANE_FIELD(typical_year, "u2"),
    KORVANE_FIELD(number_of_subsets, "u2"),
    KORVANE_FIELD(edition, "u1"),
    KORVANE_FIELD(master_table_number, "u1"),
    KORVANE_FIELD(update_sequence_number, "u1"),
    KORVANE_FIELD(local_section_present, "?"),
    KORVANE_FIELD(data_category, "u1"),
    KORVANE_FIELD(international_data_subcategory, "u1"),
    KORVANE_FIELD(local_data_subcategory, "u1"),
    KORVANE_FIELD(master_tables_version_number, "u1"),
    KORVANE_FIELD(local_tables_version_number, "u1"),
    KORVANE_FIELD(typical_month, "u1"),
    KORVANE_FIELD(typical_day, "u1"),
    KORVANE_FIELD(typical_hour, "u1"),
    KORVANE_FIELD(typical_minute, "u1"),
    KORVANE_FIELD(typical_second, "u1"),
    KORVANE_FIELD(observed_data, "?"),
    KORVANE_FIELD(compressed_data, "?"),
};

PyObject* header_layout(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        constexpr std::size_t n = sizeof(kHeaderFields) / sizeof(kHeaderFields[0]);
        OwnedRef fields = OwnedRef::steal(PyList_New(n));
        if (!fields) return nullptr;
        for (std::size_t i = 0; i < n; ++i) {
            PyObject* t = Py_BuildValue("(ssn)", kHeaderFields[i].name, kHeaderFields[i].format,
                                        static_cast<Py_ssize_t>(kHeaderFields[i].offset));
            if (t == nullptr) return nullptr;
            PyList_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(i), t);
        }
        return Py_BuildValue("(nO)", static_cast<Py_ssize_t>(sizeof(HeaderRecord)), fields.get());
    });
}

// ---- tables -------------------------------------------------------------------------

// The TableSet type of _korvane: the reader's tables are objects of it.
PyTypeObject* table_set_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        OwnedRef module = OwnedRef::steal(PyImport_ImportModule("korvane._korvane"));
        if (!module) return nullptr;
        PyObject* t = PyObject_GetAttrString(module.get(), "TableSet");
        if (t == nullptr) return nullptr;
        type = reinterpret_cast<PyTypeObject*>(t);  // kept for the life of the process
    }
    return type;
}

const TableSet* tables_of(PyObject* o) {
    PyTypeObject* tp = table_set_type();
    if (tp == nullptr) return nullptr;
    if (!PyObject_TypeCheck(o, tp)) {
        PyErr_Format(PyExc_TypeError, "argument 'tables': '%s' object is not an instance of 'TableSet'",
                     Py_TYPE(o)->tp_name);
        return nullptr;
    }
    return &reinterpret_cast<py::TableSetObject*>(o)->tables;
}

PyObject* raise_bufr_error(const BufrError& e) {
    const std::string text = e.display();
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
}

// A message header naming the tables that load_tables and code_table read.
BufrMessage table_header(unsigned int master_table, unsigned int master_version, unsigned int local_version,
                         unsigned int centre, unsigned int subcentre) {
    BufrMessage m;
    m.master_table_number = static_cast<std::uint8_t>(master_table);
    m.master_tables_version_number = static_cast<std::uint8_t>(master_version);
    m.local_tables_version_number = static_cast<std::uint8_t>(local_version);
    m.originating_centre = static_cast<std::uint16_t>(centre);
    m.originating_subcentre = static_cast<std::uint16_t>(subcentre);
    return m;
}

PyObject* load_tables(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"root", "master_table", "master_version", "local_version", "centre",
                                       "subcentre", "code_tables", nullptr};
        PyObject* root_obj;
        unsigned int master_table, master_version, local_version, centre, subcentre;
        int code_tables = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&IIIII|$p:load_tables", const_cast<char**>(kwlist),
                                         PyUnicode_FSConverter, &root_obj, &master_table, &master_version,
                                         &local_version, &centre, &subcentre, &code_tables))
            return nullptr;
        OwnedRef root_bytes = OwnedRef::steal(root_obj);
        const std::string root(PyBytes_AS_STRING(root_obj), static_cast<std::size_t>(PyBytes_GET_SIZE(root_obj)));
        const BufrMessage m = table_header(master_table, master_version, local_version, centre, subcentre);
        PyTypeObject* tp = table_set_type();
        if (tp == nullptr) return nullptr;
        Result<TableSet> loaded = BufrError::table("");
        {
            ReleasedGil gil;
            loaded = from_eccodes_definitions(root, m, code_tables != 0);
        }
        if (!loaded) return raise_bufr_error(loaded.error());
        PyObject* o = tp->tp_alloc(tp, 0);
        if (o == nullptr) return nullptr;
        new (&reinterpret_cast<py::TableSetObject*>(o)->tables) TableSet(std::move(loaded).value());
        return o;
    });
}

PyObject* code_table(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"root", "master_table", "master_version", "local_version", "centre",
                                       "subcentre", "code", nullptr};
        PyObject* root_obj;
        unsigned int master_table, master_version, local_version, centre, subcentre, code;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&IIIIII:code_table", const_cast<char**>(kwlist),
                                         PyUnicode_FSConverter, &root_obj, &master_table, &master_version,
                                         &local_version, &centre, &subcentre, &code))
            return nullptr;
        OwnedRef root_bytes = OwnedRef::steal(root_obj);
        const std::string root(PyBytes_AS_STRING(root_obj), static_cast<std::size_t>(PyBytes_GET_SIZE(root_obj)));
        const BufrMessage m = table_header(master_table, master_version, local_version, centre, subcentre);
        Result<std::optional<CodeTable>> loaded = BufrError::table("");
        {
            ReleasedGil gil;
            loaded = code_table_from_definitions(root, m, code);
        }
        if (!loaded) return raise_bufr_error(loaded.error());
        if (!loaded.value()) Py_RETURN_NONE;
        OwnedRef out = OwnedRef::steal(PyDict_New());
        if (!out) return nullptr;
        for (const auto& [key, meaning] : *loaded.value()) {
            OwnedRef k = OwnedRef::steal(PyLong_FromUnsignedLongLong(key));
            OwnedRef v = OwnedRef::steal(
                PyUnicode_DecodeUTF8(meaning.data(), static_cast<Py_ssize_t>(meaning.size()), "replace"));
            if (!k || !v || PyDict_SetItem(out.get(), k.get(), v.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

// ---- decode -------------------------------------------------------------------------

PyObject* decode(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"data", "offset", "length", "tables", "text_index", "structure", nullptr};
        PyObject* data_obj;
        unsigned long long offset, length;
        PyObject* tables_obj;
        int text_index = 0, structure = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OKKO|pp:decode", const_cast<char**>(kwlist), &data_obj,
                                         &offset, &length, &tables_obj, &text_index, &structure))
            return nullptr;
        const TableSet* tables = tables_of(tables_obj);
        if (tables == nullptr) return nullptr;
        ByteBuffer data;
        if (!data.take(data_obj)) return nullptr;
        const ByteView all = data.bytes();
        if (offset > all.size() || length > all.size() - offset) {
            PyErr_SetString(PyExc_ValueError, "message range lies outside the buffer");
            return nullptr;
        }
        OwnedRef owner = OwnedRef::steal(columns_type->tp_alloc(columns_type, 0));
        if (!owner) return nullptr;
        MessageColumns& columns = *new (&columns_of(owner.get())) MessageColumns();
        DecodeOptions options;
        options.text_index_values = text_index != 0;
        options.structure = structure != 0;
        const ByteView bytes = all.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
        Result<void> done = Ok{};
        bool interrupted = false;
        {
            ReleasedGil gil;
            options.interrupt = Interrupt{&ReleasedGil::poll, &gil};
            auto parsed = parse_message_any_edition(bytes);
            if (!parsed)
                done = std::move(parsed).error();
            else
                done = decode_columns(*parsed, *tables, parsed->section4_data(bytes), columns, options);
            interrupted = gil.interrupted();
        }
        if (interrupted) return nullptr;
        if (!done) return raise_bufr_error(done.error());
        return owner.release();
    });
}

PyMethodDef kFunctions[] = {
    {"scan", scan, METH_O,
     "scan(data)\n--\n\nFinds the messages of a buffer and parses their headers. Returns (headers, "
     "descriptors, problems): the header records and the messages' descriptors as buffers (see "
     "header_layout), and (index, offset, length, text) for each damaged message."},
    {"header_layout", header_layout, METH_NOARGS,
     "header_layout()\n--\n\nThe size of a header record and (name, NumPy format, offset) for each field."},
    {"load_tables", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_tables)),
     METH_VARARGS | METH_KEYWORDS,
     "load_tables(root, master_table, master_version, local_version, centre, subcentre, *, code_tables=True)\n"
     "--\n\n"
     "The TableSet a definitions root gives a message with these header fields; without its code and "
     "flag tables when code_tables is false (see code_table)."},
    {"code_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(code_table)),
     METH_VARARGS | METH_KEYWORDS,
     "code_table(root, master_table, master_version, local_version, centre, subcentre, code)\n--\n\n"
     "The code or flag table of element `code` for a message with these header fields, as a dict of "
     "meanings by entry (by bit number, 1 the most significant, for a flag table), or None."},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode)), METH_VARARGS | METH_KEYWORDS,
     "decode(data, offset, length, tables, text_index=False, structure=False)\n--\n\n"
     "Decodes the message at data[offset:offset + length] into Columns. Text items carry their text "
     "index as value when text_index is true (NaN otherwise); structure=True records the occurrences "
     "of replicated groups."},
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)), METH_VARARGS | METH_KEYWORDS,
     kEncodeDoc},
    {"resolve_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(resolve_table)),
     METH_VARARGS | METH_KEYWORDS, kResolveTableDoc},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kBufferSpec));
    columns_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kColumnsSpec));
    scan_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kScanSpec));
    if (buffer_type == nullptr || columns_type == nullptr || scan_type == nullptr) return -1;
    if (PyModule_AddObjectRef(module, "Columns", reinterpret_cast<PyObject*>(columns_type)) < 0) return -1;
    if (PyModule_AddObjectRef(module, "Buffer", reinterpret_cast<PyObject*>(buffer_type)) < 0) return -1;
    return 0;
}

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "korvane._columns",
    "The whole-file reader's entry points: message scanning, header records and columnar decoding.",
    0,
    kFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

const TableSet* table_set_of(PyObject* o) { return tables_of(o); }

MessageColumns* message_columns_of(PyObject* o) {
    if (!PyObject_TypeCheck(o, columns_type)) {
        PyErr_Format(PyExc_TypeError, "argument 'columns': '%s' object is not an instance of 'Columns'",
                     Py_TYPE(o)->tp_name);
        return nullptr;
    }
    return &columns_of(o);
}

PyObject* raise_error(const BufrError& e) { return raise_bufr_error(e); }

}  // namespace korvane::columns

PyMODINIT_FUNC PyInit__columns(void) {
    PyObject* m = PyModule_Create(&korvane::columns::kModule);
    if (m == nullptr) return nullptr;
    if (korvane::columns::exec_module(m) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
