// The module korvane._columns: the whole-file reader's entry points over the
// core. It finds the messages of a buffer and parses their headers in one
// call, and decodes one message into columns that Python sees through the
// buffer protocol, without copies. Parsing and decoding run with the
// interpreter lock released: the buffers they read are held exported (and so
// cannot be resized) for the length of the call.
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "columns/dump.hpp"
#include "columns/encode.hpp"
#include "data/columns.hpp"
#include "py/barrier.hpp"
#include "py/convert.hpp"
#include "py/decoded_value.hpp"
#include "py/errors.hpp"
#include "py/entry.hpp"
#include "py/pyref.hpp"
#include "py/table_set_object.hpp"
#include "columns/objects.hpp"
#include "columns/table.hpp"
#include "message/message.hpp"
#include "tables/cache.hpp"
#include "tables/definitions.hpp"

namespace korvane::columns {

using py::guarded;
using py::OwnedRef;
using py::ReleasedGil;

namespace {

// ---- Columns: the decoded items of one message -------------------------------------

// A message's columns, and the lock under which an array is laid out: that
// runs without the interpreter lock, so two threads may ask for arrays of
// one message at once.
struct DecodedColumns {
    MessageColumns columns;
    std::mutex layout;
};

using ColumnsObject = HolderObject<DecodedColumns>;
PyTypeObject* columns_type = nullptr;

MessageColumns& columns_of(PyObject* self) { return reinterpret_cast<ColumnsObject*>(self)->value.columns; }

// Lays array `c` out, without the interpreter lock when that is worth it.
void lay_out(PyObject* self, Column c) {
    DecodedColumns& d = reinterpret_cast<ColumnsObject*>(self)->value;
    constexpr std::size_t kLargeItems = std::size_t{1} << 16;
    if (d.columns.size() < kLargeItems) {
        std::lock_guard<std::mutex> lock(d.layout);
        d.columns.expand(c);
        return;
    }
    ReleasedGil gil;
    std::lock_guard<std::mutex> lock(d.layout);
    d.columns.expand(c);
}

PyObject* columns_buffer(PyObject* self, PyObject* name_obj) {
    return guarded([&]() -> PyObject* {
        const char* name = PyUnicode_AsUTF8(name_obj);
        if (name == nullptr) return nullptr;
        MessageColumns& c = columns_of(self);
        const std::string_view n(name);
        // An array of compressed data is laid out for every item when first
        // asked for; no buffer of it exists before, so none is moved.
        if (n == "code") return lay_out(self, Column::Code), vector_buffer(self, c.code);
        if (n == "kind") return lay_out(self, Column::Kind), vector_buffer(self, c.kind);
        if (n == "missing") return lay_out(self, Column::Missing), vector_buffer(self, c.missing);
        if (n == "value") return lay_out(self, Column::Value), vector_buffer(self, c.value);
        if (n == "raw") return lay_out(self, Column::Raw), vector_buffer(self, c.raw);
        if (n == "subset_bounds") return vector_buffer(self, c.subset_bounds);
        if (n == "groups") return vector_buffer(self, c.groups);
        if (n == "references") return vector_buffer(self, c.references);
        PyErr_Format(PyExc_KeyError, "no column %R", name_obj);
        return nullptr;
    });
}

// The message's texts as str (as UTF-8, invalid bytes becoming U+FFFD) or,
// with `as_bytes`, as the bytes read.
PyObject* texts_list(PyObject* self, bool as_bytes) {
    const TextArena& texts = columns_of(self).texts;
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::string_view t = texts.get(i);
        // Shown without the spaces and NULs that pad the field; the bytes as read.
        while (!as_bytes && !t.empty() && (t.back() == ' ' || t.back() == '\0')) t.remove_suffix(1);
        const auto n = static_cast<Py_ssize_t>(t.size());
        PyObject* s = as_bytes ? PyBytes_FromStringAndSize(t.data(), n) : PyUnicode_DecodeUTF8(t.data(), n, "replace");
        if (s == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

PyObject* columns_texts(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return texts_list(self, false); });
}

PyObject* columns_text_bytes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return texts_list(self, true); });
}

PyObject* columns_len(PyObject* self, void*) { return PyLong_FromSize_t(columns_of(self).size()); }

PyMethodDef kColumnsMethods[] = {
    {"buffer", columns_buffer, METH_O,
     "buffer($self, name, /)\n--\n\nThe bytes of one column: 'code' (uint32), 'kind' (uint8), 'missing' (uint8), "
     "'value' (float64), 'raw' (uint64), 'subset_bounds' (uint64) or 'groups' (records of begin, end, "
     "parent, node, subset) or 'references' (records of value, code, subset: the reference values "
     "2 03 YYY defines). An item column of compressed data is laid out item by item when first asked for."},
    {"texts", columns_texts, METH_NOARGS,
     "texts($self, /)\n--\n\nThe message's texts as a list of str, read as UTF-8 (an invalid byte becomes "
     "U+FFFD), without the spaces and NULs that pad their fields; a text item's raw value is its position "
     "here."},
    {"text_bytes", columns_text_bytes, METH_NOARGS,
     "text_bytes($self, /)\n--\n\nThe message's texts as the bytes read (which a writer writes again), with "
     "the NULs that pad them; only trailing white space is removed when they are read."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kColumnsGetSet[] = {
    {"size", columns_len, nullptr, const_cast<char*>("The number of items."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kColumnsSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<DecodedColumns>)},
    {Py_tp_methods, kColumnsMethods},
    {Py_tp_getset, kColumnsGetSet},
    {Py_tp_doc, const_cast<char*>("The decoded items of one message, column by column.")},
    {0, nullptr},
};

PyType_Spec kColumnsSpec = {"korvane._columns.Columns", sizeof(ColumnsObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kColumnsSlots};

// ---- scan: messages and headers ----------------------------------------------------

struct Problem {
    std::uint64_t index;
    std::uint64_t offset;
    std::uint64_t length;
    BufrError error;
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

// The scan's findings as header records, one flat list of descriptors, and problems.
class RecordSink final : public ScanSink {
public:
    explicit RecordSink(ScanResult& out) : out_(out) {}
    void message(std::uint64_t index, std::uint64_t offset, BufrMessage&& m) override {
        HeaderRecord h{};
        h.index = index;
        h.offset = offset;
        fill_header(h, m);
        h.descriptors_begin = out_.descriptors.size();
        out_.descriptors.insert(out_.descriptors.end(), m.unexpanded_descriptors.begin(),
                                m.unexpanded_descriptors.end());
        h.descriptors_end = out_.descriptors.size();
        out_.headers.push_back(h);
    }
    void problem(std::uint64_t index, std::uint64_t offset, std::uint64_t length, BufrError error) override {
        out_.problems.push_back({index, offset, length, std::move(error)});
    }

private:
    ScanResult& out_;
};

PyObject* scan(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        ByteBuffer data;
        if (!data.take(arg)) return nullptr;
        OwnedRef owner = OwnedRef::steal(scan_type->tp_alloc(scan_type, 0));
        if (!owner) return nullptr;
        ScanResult& result = *new (&reinterpret_cast<ScanObject*>(owner.get())->value) ScanResult();
        bool interrupted = false;
        {
            ReleasedGil gil;
            RecordSink sink(result);
            (void)scan_messages(data.bytes(), sink, Interrupt{&ReleasedGil::poll, &gil});
            interrupted = gil.interrupted();
        }
        if (interrupted) return nullptr;
        OwnedRef problems = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(result.problems.size())));
        if (!problems) return nullptr;
        for (std::size_t i = 0; i < result.problems.size(); ++i) {
            const Problem& p = result.problems[i];
            const std::string text = p.error.describe();
            PyObject* t = Py_BuildValue("(KKKss#)", static_cast<unsigned long long>(p.index),
                                        static_cast<unsigned long long>(p.offset),
                                        static_cast<unsigned long long>(p.length), py::kind_name(p.error.kind()),
                                        text.data(), static_cast<Py_ssize_t>(text.size()));
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

PyObject* load_tables(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"root",   "master_table", "master_version", "local_version",
                                       "centre", "subcentre",    "code_tables",    "fallback",
                                       "source", "index",        "offset",         nullptr};
        PyObject* root_obj;
        unsigned int master_table, master_version, local_version, centre, subcentre;
        int code_tables = 1, fallback = 1;
        const char* source = "<buffer>";
        unsigned long long index = 0, offset = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OIIIII|$ppsKK:load_tables", const_cast<char**>(kwlist),
                                         &root_obj, &master_table, &master_version, &local_version, &centre,
                                         &subcentre, &code_tables, &fallback, &source, &index, &offset))
            return nullptr;
        std::string root;
        if (!py::to_path(root_obj, "root", root)) return nullptr;
        const TableRequest request{static_cast<std::uint8_t>(master_table), static_cast<std::uint8_t>(master_version),
                                   static_cast<std::uint8_t>(local_version), static_cast<std::uint16_t>(centre),
                                   static_cast<std::uint16_t>(subcentre)};
        PyTypeObject* tp = table_set_type();
        if (tp == nullptr) return nullptr;
        Result<ResolvedTables> resolved = BufrError::table("");
        Result<std::shared_ptr<const TableSet>> loaded = BufrError::table("");
        {
            ReleasedGil gil;
            TableCache& cache = TableCache::shared();
            resolved = cache.resolve(root, request, fallback != 0);
            if (resolved)
                loaded = cache.load(*resolved, code_tables != 0 ? CodeTables::LoadKeepingErrors : CodeTables::Skip);
            else
                loaded = resolved.error();
        }
        if (!loaded) return py::raise_decode_error(loaded.error(), {source, index, offset});
        OwnedRef tables = OwnedRef::steal(py::alloc_table_set(tp, std::move(loaded).value()));
        OwnedRef key = py::new_str(resolved->key + (code_tables != 0 ? "" : "\0skip"));
        if (!tables || !key) return nullptr;
        return Py_BuildValue("(OiO)", key.get(), static_cast<int>(resolved->version), tables.get());
    });
}

PyObject* master_versions(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"root", "master_table", nullptr};
        PyObject* root_obj;
        unsigned int master_table = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|I:installed_master_versions", const_cast<char**>(kwlist),
                                         &root_obj, &master_table))
            return nullptr;
        std::string root;
        if (!py::to_path(root_obj, "root", root)) return nullptr;
        std::vector<int> versions;
        {
            ReleasedGil gil;
            versions = installed_master_versions(root, static_cast<int>(master_table));
        }
        OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(versions.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < versions.size(); ++i) {
            PyObject* v = PyLong_FromLong(versions[i]);
            if (v == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
        }
        return list.release();
    });
}

PyObject* code_table(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"root",      "master_table", "master_version", "local_version", "centre",
                                       "subcentre", "code",         "source",         "index",         "offset",
                                       nullptr};
        PyObject* root_obj;
        unsigned int master_table, master_version, local_version, centre, subcentre, code;
        const char* source = "<buffer>";
        unsigned long long index = 0, offset = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OIIIIII|$sKK:code_table", const_cast<char**>(kwlist),
                                         &root_obj, &master_table, &master_version, &local_version, &centre,
                                         &subcentre, &code, &source, &index, &offset))
            return nullptr;
        std::string root;
        if (!py::to_path(root_obj, "root", root)) return nullptr;
        const TableRequest request{static_cast<std::uint8_t>(master_table), static_cast<std::uint8_t>(master_version),
                                   static_cast<std::uint8_t>(local_version), static_cast<std::uint16_t>(centre),
                                   static_cast<std::uint16_t>(subcentre)};
        Result<std::optional<CodeTable>> loaded = BufrError::table("");
        {
            ReleasedGil gil;
            loaded = code_table_from_definitions(root, request, code);
        }
        if (!loaded) return py::raise_decode_error(loaded.error(), {source, index, offset});
        if (!loaded.value()) Py_RETURN_NONE;
        OwnedRef out = OwnedRef::steal(PyDict_New());
        if (!out) return nullptr;
        for (const auto& [key, meaning] : *loaded.value()) {
            OwnedRef k = OwnedRef::steal(PyLong_FromUnsignedLongLong(key));
            OwnedRef v = py::new_str(meaning);
            if (!k || !v || PyDict_SetItem(out.get(), k.get(), v.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

// ---- decode -------------------------------------------------------------------------

// The bytes data[offset:offset + length] of a buffer, held by `data`; false
// with an exception set when the range lies outside it.
bool message_range(PyObject* data_obj, unsigned long long offset, unsigned long long length, ByteBuffer& data,
                   ByteView& bytes) {
    if (!data.take(data_obj)) return false;
    const ByteView all = data.bytes();
    if (offset > all.size() || length > all.size() - offset) {
        PyErr_SetString(PyExc_ValueError, "message range lies outside the buffer");
        return false;
    }
    bytes = all.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
    return true;
}

PyObject* decode(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"data",      "offset", "length", "tables",    "text_index",
                                       "structure", "source", "index",  "max_items", nullptr};
        PyObject* data_obj;
        unsigned long long offset, length;
        PyObject* tables_obj;
        int text_index = 0, structure = 0;
        const char* source = "<buffer>";
        unsigned long long index = 0, max_items = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OKKO|pp$sKK:decode", const_cast<char**>(kwlist), &data_obj,
                                         &offset, &length, &tables_obj, &text_index, &structure, &source, &index,
                                         &max_items))
            return nullptr;
        const TableSet* tables = tables_of(tables_obj);
        if (tables == nullptr) return nullptr;
        ByteBuffer data;
        ByteView bytes;
        if (!message_range(data_obj, offset, length, data, bytes)) return nullptr;
        OwnedRef owner = OwnedRef::steal(columns_type->tp_alloc(columns_type, 0));
        if (!owner) return nullptr;
        MessageColumns& columns = (new (&reinterpret_cast<ColumnsObject*>(owner.get())->value) DecodedColumns())->columns;
        DecodeOptions options;
        options.text_index_values = text_index != 0;
        options.structure = structure != 0;
        options.reader_rules = true;
        options.max_items = max_items;
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
        if (!done) return py::raise_decode_error(done.error(), {source, index, offset});
        return owner.release();
    });
}

// The items of a message as DecodedValue objects, under the per-value
// module's rules (its values and texts), for a message of any edition.
PyObject* decode_objects(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"data", "offset", "length", "tables", "source", "index", nullptr};
        PyObject* data_obj;
        unsigned long long offset, length;
        PyObject* tables_obj;
        const char* source = "<buffer>";
        unsigned long long index = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OKKO|$sK:decode_objects", const_cast<char**>(kwlist),
                                         &data_obj, &offset, &length, &tables_obj, &source, &index))
            return nullptr;
        const TableSet* tables = tables_of(tables_obj);
        if (tables == nullptr) return nullptr;
        ByteBuffer data;
        ByteView bytes;
        if (!message_range(data_obj, offset, length, data, bytes)) return nullptr;
        MessageColumns columns;
        Result<void> done = Ok{};
        bool interrupted = false;
        {
            ReleasedGil gil;
            DecodeOptions options;  // the per-value module's rules and text indices
            options.interrupt = Interrupt{&ReleasedGil::poll, &gil};
            auto parsed = parse_message_any_edition(bytes);
            if (!parsed)
                done = std::move(parsed).error();
            else
                done = decode_columns(*parsed, *tables, parsed->section4_data(bytes), columns, options);
            if (done) columns.expand_rows();
            interrupted = gil.interrupted();
        }
        if (interrupted) return nullptr;
        if (!done) return py::raise_decode_error(done.error(), {source, index, offset});
        return py::new_decoded_value_list(columns, tables_obj);
    });
}

PyMethodDef kFunctions[] = {
    {"scan", scan, METH_O,
     "scan(data, /)\n--\n\nFinds the messages of a buffer and parses their headers. Returns (headers, "
     "descriptors, problems): the header records and the messages' descriptors as buffers (see "
     "header_layout), and (index, offset, length, kind, text) for each damaged message."},
    {"header_layout", header_layout, METH_NOARGS,
     "header_layout()\n--\n\nThe size of a header record and (name, NumPy format, offset) for each field."},
    {"load_tables", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_tables)),
     METH_VARARGS | METH_KEYWORDS,
     "load_tables(root, master_table, master_version, local_version, centre, subcentre, *, code_tables=True, "
     "fallback=True, source='<buffer>', index=0, offset=0)\n--\n\n"
     "(key, version, tables): the TableSet a definitions root gives a message with these header fields, "
     "from the process's table cache; without its code and flag tables when code_tables is false (see "
     "code_table). Equal keys name equal sets (the directories read); version is the master version read "
     "(the next later one installed when the one named is not, else the newest; without fallback, a "
     "version not installed is an error). A code table that "
     "cannot be read fails only the meanings it holds. Raises korvane.DecodeError naming the message at "
     "source, index and offset."},
    {"installed_master_versions", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(master_versions)),
     METH_VARARGS | METH_KEYWORDS,
     "installed_master_versions(root, master_table=0)\n--\n\n"
     "The master table versions a definitions root holds, ascending: the entries of "
     "bufr/tables/M/wmo named by a number (directories or alias files)."},
    {"code_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(code_table)),
     METH_VARARGS | METH_KEYWORDS,
     "code_table(root, master_table, master_version, local_version, centre, subcentre, code, *, "
     "source='<buffer>', index=0, offset=0)\n--\n\n"
     "The code or flag table of element `code` for a message with these header fields, as a dict of "
     "meanings by entry (by bit number, 1 the most significant, for a flag table), or None."},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode)), METH_VARARGS | METH_KEYWORDS,
     "decode(data, offset, length, tables, text_index=False, structure=False, *, source='<buffer>', "
     "index=0, max_items=0)\n--\n\n"
     "Decodes the message at data[offset:offset + length] into Columns. Text items carry their text "
     "index as value when text_index is true (NaN otherwise); structure=True records the occurrences "
     "of replicated groups; max_items, when not 0, bounds the items of the message. Raises "
     "korvane.DecodeError naming the message as message `index` of `source` at `offset`."},
    {"decode_objects", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_objects)),
     METH_VARARGS | METH_KEYWORDS,
     "decode_objects(data, offset, length, tables, *, source='<buffer>', index=0)\n--\n\n"
     "The items of the message at data[offset:offset + length], of any edition, as a list of "
     "DecodedValue objects, as korvane._korvane's decoders give them (its value rules and texts). "
     "Raises korvane.DecodeError naming the message as message `index` of `source`."},
    {"timestamps", timestamps, METH_VARARGS, kTimestampsDoc},
    {"dump_lines", dump_lines, METH_VARARGS, kDumpLinesDoc},
    {"read_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_table)),
     METH_VARARGS | METH_KEYWORDS, kReadTableDoc},
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)), METH_VARARGS | METH_KEYWORDS,
     kEncodeDoc},
    {"resolve_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(resolve_table)),
     METH_VARARGS | METH_KEYWORDS, kResolveTableDoc},
    {"section1", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(section1)),
     METH_VARARGS | METH_KEYWORDS, kSection1Doc},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    if (!init_objects()) return -1;
    columns_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kColumnsSpec));
    scan_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kScanSpec));
    if (columns_type == nullptr || scan_type == nullptr || !init_table_type()) return -1;
    if (PyModule_AddObjectRef(module, "Columns", reinterpret_cast<PyObject*>(columns_type)) < 0) return -1;
    if (PyModule_AddObjectRef(module, "Buffer", reinterpret_cast<PyObject*>(buffer_object_type())) < 0) return -1;
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

LockedColumns lock_columns(PyObject* o) {
    LockedColumns out;
    if (!PyObject_TypeCheck(o, columns_type)) {
        PyErr_Format(PyExc_TypeError, "argument 'columns': '%s' object is not an instance of 'Columns'",
                     Py_TYPE(o)->tp_name);
        return out;
    }
    DecodedColumns& d = reinterpret_cast<ColumnsObject*>(o)->value;
    out.lock = std::unique_lock<std::mutex>(d.layout);
    out.columns = &d.columns;
    return out;
}

}  // namespace korvane::columns

KORVANE_ENTRY PyObject* korvane_init__columns(void) {
    PyObject* m = PyModule_Create(&korvane::columns::kModule);
    if (m == nullptr) return nullptr;
    if (korvane::columns::exec_module(m) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
