// encode(): the writer's entry point in korvane._columns. It takes the items
// as arrays (any object exporting a contiguous buffer of the right item size,
// NumPy arrays or the decoder's own columns), the header fields as a dict and
// the parts of the message to keep, and returns the message as bytes. The
// core encodes with the interpreter lock released; the buffers it reads are
// held exported for the length of the call.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "columns/encode.hpp"
#include "columns/objects.hpp"
#include "data/encode.hpp"
#include "message/write.hpp"
#include "py/barrier.hpp"
#include "py/pyref.hpp"

namespace korvane::columns {

using py::guarded;
using py::OwnedRef;
using py::ReleasedGil;

const char* const kEncodeDoc =
    "encode(descriptors, tables, header, *, columns=None, subset_bounds=None, value=None, missing=None, "
    "raw=None, code=None, text=None, texts=None, references=None, compressed=False, section1_local=b'', "
    "section2=None, even=0)\n--\n\n"
    "Writes one message and returns its bytes. The items are a Columns object as decoding made it, read in "
    "place, or arrays of one entry per item, subset after subset: value (float64), missing (uint8), raw (uint64), code (uint32), text (uint64, an index into "
    "texts, or 2**64 - 1), subset_bounds (uint64, number of subsets + 1 entries), references (int64, the "
    "new reference values of 2 03 YYY in order; by default a Columns object's own). header holds every header field by name (the typical date and time fields may be left out: the first subset's "
    "values of 0 04 001 to 0 04 006 are taken); section2 is "
    "the local data of section 2, or None for none; even has bit n - 1 set to pad section n to an even "
    "length.";

namespace {

// The error of an encode as ValueError, in the words that name its cause.
PyObject* raise_encode_error(const BufrError& e) {
    const std::string text = e.describe();
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
}

// A contiguous buffer of items of one size, or none when the argument is None.
class Array {
public:
    Array() = default;
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool take(PyObject* o, std::size_t itemsize, const char* name) {
        if (o == nullptr || o == Py_None) return true;
        if (PyObject_GetBuffer(o, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return false;
        held_ = true;
        if (static_cast<std::size_t>(view_.itemsize) != itemsize || view_.len % view_.itemsize != 0) {
            PyErr_Format(PyExc_TypeError, "argument '%s' must hold items of %zu bytes", name, itemsize);
            return false;
        }
        return true;
    }

    template <class T>
    std::span<const T> span() const {
        if (!held_) return {};
        return std::span<const T>(static_cast<const T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T));
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A header field of at most `max`, from the dict; `key` is the name as an
// interned str. A field the dict lacks or holds None for is absent: false
// without an exception when `optional`.
bool header_field(PyObject* header, PyObject* key, const char* name, unsigned long long max,
                  unsigned long long& out, bool optional) {
    PyObject* v = PyDict_GetItemWithError(header, key);  // borrowed
    if (v == nullptr || v == Py_None) {
        if (PyErr_Occurred() || optional) return false;
        PyErr_Format(PyExc_KeyError, "header field %s is missing", name);
        return false;
    }
    if (PyBool_Check(v)) {
        out = v == Py_True ? 1 : 0;
        return true;
    }
    OwnedRef index = OwnedRef::steal(PyNumber_Index(v));
    if (!index) return false;
    out = PyLong_AsUnsignedLongLong(index.get());
    if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s %S is outside 0 to %llu", name, v, max);
        return false;
    }
    if (out > max) {
        PyErr_Format(PyExc_ValueError, "%s %S is outside 0 to %llu", name, v, max);
        return false;
    }
    return true;
}

// The typical date and time are among the fields in this order, from year.
constexpr std::size_t kFirstDateField = 10;

// The header fields of the dict into `m`; `absent` marks the typical date
// and time fields it lacks (year ... second), which the data may give.
bool read_header(PyObject* header, BufrMessage& m, std::array<bool, 6>& absent) {
    if (!PyDict_Check(header)) {
        PyErr_SetString(PyExc_TypeError, "argument 'header' must be a dict");
        return false;
    }
    unsigned long long v = 0;
    struct Field {
        const char* name;
        unsigned long long max;
        void (*set)(BufrMessage&, unsigned long long);
    };
#define KORVANE_SET(field, type) [](BufrMessage& h, unsigned long long x) { h.field = static_cast<type>(x); }
    static const Field fields[] = {
        {"edition", 255, KORVANE_SET(edition, std::uint8_t)},
        {"master_table_number", 255, KORVANE_SET(master_table_number, std::uint8_t)},
        {"originating_centre", 65535, KORVANE_SET(originating_centre, std::uint16_t)},
        {"originating_subcentre", 65535, KORVANE_SET(originating_subcentre, std::uint16_t)},
        {"update_sequence_number", 255, KORVANE_SET(update_sequence_number, std::uint8_t)},
        {"data_category", 255, KORVANE_SET(data_category, std::uint8_t)},
        {"international_data_subcategory", 255, KORVANE_SET(international_data_subcategory, std::uint8_t)},
        {"local_data_subcategory", 255, KORVANE_SET(local_data_subcategory, std::uint8_t)},
        {"master_tables_version_number", 255, KORVANE_SET(master_tables_version_number, std::uint8_t)},
        {"local_tables_version_number", 255, KORVANE_SET(local_tables_version_number, std::uint8_t)},
        {"typical_year", 65535, KORVANE_SET(typical_year, std::uint16_t)},
        {"typical_month", 255, KORVANE_SET(typical_month, std::uint8_t)},
        {"typical_day", 255, KORVANE_SET(typical_day, std::uint8_t)},
        {"typical_hour", 255, KORVANE_SET(typical_hour, std::uint8_t)},
        {"typical_minute", 255, KORVANE_SET(typical_minute, std::uint8_t)},
        {"typical_second", 255, KORVANE_SET(typical_second, std::uint8_t)},
        {"observed_data", 1, KORVANE_SET(observed_data, bool)},
    };
#undef KORVANE_SET
    constexpr std::size_t n = sizeof(fields) / sizeof(fields[0]);
    // The names as str, made once for the life of the process.
    static PyObject* keys[n] = {};
    for (std::size_t i = 0; i < n; ++i) {
        if (keys[i] == nullptr && (keys[i] = PyUnicode_InternFromString(fields[i].name)) == nullptr) return false;
        const bool date = i >= kFirstDateField && i < kFirstDateField + 6;
        if (!header_field(header, keys[i], fields[i].name, fields[i].max, v, date)) {
            if (!date || PyErr_Occurred()) return false;
            absent[i - kFirstDateField] = true;
            continue;
        }
        fields[i].set(m, v);
    }
    return true;
}

// The typical date and time the header lacks, from the first subset's
// values of 0 04 001 to 0 04 006 (minute and second 0 without them).
bool complete_date(BufrMessage& m, const std::array<bool, 6>& absent, const FirstDate& date) {
    static const char* const names[] = {"typical_year", "typical_month", "typical_day",
                                        "typical_hour", "typical_minute", "typical_second"};
    std::string lacking;
    std::uint16_t* year = &m.typical_year;
    std::uint8_t* rest[] = {&m.typical_month, &m.typical_day, &m.typical_hour, &m.typical_minute,
                            &m.typical_second};
    for (std::size_t i = 0; i < 6; ++i) {
        if (!absent[i]) continue;
        const std::optional<double>& d = date[i];
        const double limit = i == 0 ? 65535 : 255;
        if (d && *d >= 0 && *d <= limit && *d == std::floor(*d)) {
            if (i == 0)
                *year = static_cast<std::uint16_t>(*d);
            else
                *rest[i - 1] = static_cast<std::uint8_t>(*d);
        } else if (i < 4) {
            lacking += (lacking.empty() ? "" : ", ") + std::string(names[i]);
        } else if (i == 4) {
            m.typical_minute = 0;
        } else {
            m.typical_second = 0;
        }
    }
    if (lacking.empty()) return true;
    PyErr_Format(PyExc_ValueError,
                 "give %s: the first subset holds no value of year, month, day and hour (0 04 001 to 0 04 004) "
                 "to take them from",
                 lacking.c_str());
    return false;
}

bool read_descriptors(PyObject* o, std::vector<std::uint32_t>& out) {
    OwnedRef seq = OwnedRef::steal(PySequence_Fast(o, "argument 'descriptors' must be a sequence of codes"));
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const unsigned long long code = PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (code == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        if (code > 0xFFFFFFFFull) {
            PyErr_Format(PyExc_ValueError, "descriptor %llu is not a descriptor F XX YYY", code);
            return false;
        }
        out.push_back(static_cast<std::uint32_t>(code));
    }
    return true;
}

// The texts as bytes: a str is written as UTF-8, bytes as they are.
bool read_texts(PyObject* o, std::vector<std::string>& out) {
    if (o == nullptr || o == Py_None) return true;
    OwnedRef seq = OwnedRef::steal(PySequence_Fast(o, "argument 'texts' must be a sequence of str or bytes"));
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* t = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (PyBytes_Check(t)) {
            out.emplace_back(PyBytes_AS_STRING(t), static_cast<std::size_t>(PyBytes_GET_SIZE(t)));
        } else if (PyUnicode_Check(t)) {
            Py_ssize_t len = 0;
            const char* s = PyUnicode_AsUTF8AndSize(t, &len);
            if (s == nullptr) return false;
            out.emplace_back(s, static_cast<std::size_t>(len));
        } else {
            PyErr_Format(PyExc_TypeError, "texts must be str or bytes, not '%s'", Py_TYPE(t)->tp_name);
            return false;
        }
    }
    return true;
}

// Bytes of an optional bytes-like argument.
bool read_bytes(PyObject* o, std::string& out, bool& present) {
    present = o != nullptr && o != Py_None;
    if (!present) return true;
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) != 0) return false;
    out.assign(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    return true;
}

ByteView bytes_of(const std::string& s) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

}  // namespace

// The items of a Columns object as the decoder left them: laid out, or for
// compressed data the shared row and the varying columns. Arrays laid out
// for some columns but not others are all laid out.
void items_of_columns(MessageColumns& c, ItemArrays& items, std::vector<std::string_view>& texts) {
    constexpr Column kUsed[] = {Column::Code, Column::Missing, Column::Value, Column::Raw};
    const bool rows = std::none_of(std::begin(kUsed), std::end(kUsed), [&](Column col) { return c.laid_out(col); });
    if (!rows)
        for (const Column col : kUsed) c.expand(col);
    items.subset_bounds = c.subset_bounds;
    items.value = c.value;
    items.missing = c.missing;
    items.raw = c.raw;
    items.code = c.code;
    if (rows) {
        items.row_width = c.row_width;
        items.var_column = c.var_column;
        items.var_value = c.var_value;
        items.var_missing = c.var_missing;
        items.var_raw = c.var_raw;
    }
    texts.reserve(c.texts.size());
    for (std::size_t i = 0; i < c.texts.size(); ++i) texts.push_back(c.texts.get(i));
}

PyObject* encode(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"descriptors", "tables", "header", "columns", "subset_bounds", "value",
                                       "missing", "raw", "code", "text", "texts", "references", "compressed",
                                       "section1_local", "section2", "even", nullptr};
        PyObject *descriptors_obj, *tables_obj, *header_obj;
        PyObject *columns_obj = nullptr, *bounds_obj = nullptr, *value_obj = nullptr;
        PyObject *missing_obj = nullptr, *raw_obj = nullptr, *code_obj = nullptr, *text_obj = nullptr;
        PyObject *texts_obj = nullptr, *references_obj = nullptr, *section1_obj = nullptr, *section2_obj = nullptr;
        int compressed = 0;
        unsigned char even = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OOOOOOOOOpOOb:encode", const_cast<char**>(kwlist),
                                         &descriptors_obj, &tables_obj, &header_obj, &columns_obj, &bounds_obj,
                                         &value_obj, &missing_obj, &raw_obj, &code_obj, &text_obj, &texts_obj,
                                         &references_obj, &compressed, &section1_obj, &section2_obj, &even))
            return nullptr;
        const TableSet* tables = tables_of(tables_obj);
        if (tables == nullptr) return nullptr;
        BufrMessage header;
        std::array<bool, 6> date_absent{};
        if (!read_header(header_obj, header, date_absent)) return nullptr;
        if (!read_descriptors(descriptors_obj, header.unexpanded_descriptors)) return nullptr;
        // Read in place, under the lock that laying out an array takes.
        LockedColumns locked;
        MessageColumns* columns = nullptr;
        if (columns_obj != nullptr && columns_obj != Py_None) {
            locked = lock_columns(columns_obj);
            columns = locked.columns;
            if (columns == nullptr) return nullptr;
        }
        Array bounds, value, missing, raw, code, text, references;
        if (!bounds.take(bounds_obj, 8, "subset_bounds") || !value.take(value_obj, 8, "value") ||
            !missing.take(missing_obj, 1, "missing") || !raw.take(raw_obj, 8, "raw") ||
            !code.take(code_obj, 4, "code") || !text.take(text_obj, 8, "text") ||
            !references.take(references_obj, 8, "references"))
            return nullptr;
        std::vector<std::string> texts;
        if (!read_texts(texts_obj, texts)) return nullptr;
        std::string section1, section2;
        bool has_section1 = false, has_section2 = false;
        if (!read_bytes(section1_obj, section1, has_section1) || !read_bytes(section2_obj, section2, has_section2))
            return nullptr;

        ItemArrays items;
        if (columns != nullptr) {
            items_of_columns(*columns, items, items.texts);
        } else {
            if (bounds_obj == nullptr || value_obj == nullptr) {
                PyErr_SetString(PyExc_TypeError, "encode needs columns, or subset_bounds and value");
                return nullptr;
            }
            items.subset_bounds = bounds.span<std::uint64_t>();
            items.value = value.span<double>();
            items.missing = missing.span<std::uint8_t>();
            items.raw = raw.span<std::uint64_t>();
            items.code = code.span<std::uint32_t>();
            items.text = text.span<std::uint64_t>();
            items.texts.assign(texts.begin(), texts.end());
        }
        // Without references given, a Columns object's own (in the order its
        // data held them).
        std::vector<std::int64_t> own_references;
        if (columns != nullptr && (references_obj == nullptr || references_obj == Py_None)) {
            for (const NewReference& r : columns->references) own_references.push_back(r.value);
            items.references = own_references;
        } else {
            items.references = references.span<std::int64_t>();
        }
        MessageParts parts;
        parts.section1_local = bytes_of(section1);
        if (has_section2) parts.section2 = bytes_of(section2);
        parts.even = even;
        EncodeOptions options;
        options.compressed = compressed != 0;
        header.number_of_subsets =
            static_cast<std::uint16_t>(items.subset_bounds.empty() ? 0 : items.subset_bounds.size() - 1);
        header.compressed_data = options.compressed;

        Result<BitWriter::Bytes> data = BufrError::table("");
        FirstDate date;
        auto run = [&] { data = encode_data(header.unexpanded_descriptors, *tables, items, options, &date); };
        if (columns != nullptr) {
            // The decoder's columns are read in place, and a thread could lay
            // them out meanwhile: the lock stays held (an encode takes
            // milliseconds).
            run();
        } else {
            ReleasedGil gil;
            options.interrupt = Interrupt{&ReleasedGil::poll, &gil};
            run();
        }
        if (PyErr_Occurred()) return nullptr;  // interrupted: the signal's exception is set
        if (!data) return raise_encode_error(data.error());
        if (!complete_date(header, date_absent, date)) return nullptr;
        Result<std::uint64_t> length = message_length(header, parts, data->size());
        if (!length) return raise_encode_error(length.error());
        OwnedRef out = OwnedRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*length)));
        if (!out) return nullptr;
        auto* p = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
        const std::uint64_t at =
            write_frame(std::span<std::uint8_t>(p, static_cast<std::size_t>(*length)), header, parts, data->size());
        data->move_to(p + at);
        return out.release();
    });
}

const char* const kSection1Doc =
    "section1(header, *, section1_local=b'', section2=False, even=0)\n--\n\n"
    "Section 1 of a message with these header fields, in the layout of its edition: the bytes a message's "
    "own section 1 is replaced with when only header fields change. header holds every field encode "
    "takes, the typical date and time included; section1_local are the octets after the identification "
    "fields; section2 says whether the message has a section 2; even & 1 pads the section to an even "
    "length. ValueError names a field that does not fit its octets in the edition.";

PyObject* section1(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"header", "section1_local", "section2", "even", nullptr};
        PyObject *header_obj, *section1_obj = nullptr;
        int section2 = 0;
        unsigned char even = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$Opb:section1", const_cast<char**>(kwlist), &header_obj,
                                         &section1_obj, &section2, &even))
            return nullptr;
        BufrMessage header;
        std::array<bool, 6> date_absent{};
        if (!read_header(header_obj, header, date_absent)) return nullptr;
        static const char* const date_names[] = {"typical_year", "typical_month", "typical_day",
                                                 "typical_hour", "typical_minute", "typical_second"};
        for (std::size_t i = 0; i < date_absent.size(); ++i) {
            if (date_absent[i]) {
                PyErr_Format(PyExc_KeyError, "header field %s is missing", date_names[i]);
                return nullptr;
            }
        }
        std::string local;
        bool has_local = false;
        if (!read_bytes(section1_obj, local, has_local)) return nullptr;
        MessageParts parts;
        parts.section1_local = bytes_of(local);
        if (section2 != 0) parts.section2 = ByteView{};
        parts.even = static_cast<std::uint8_t>(even & 1u);
        // A frame around no descriptors and no data: its section 1 is the one
        // a message with these fields and parts has, whatever its data.
        Result<std::uint64_t> length = message_length(header, parts, 0);
        if (!length) return raise_encode_error(length.error());
        std::vector<std::uint8_t> frame(static_cast<std::size_t>(*length));
        write_frame(frame, header, parts, 0);
        const std::size_t size = (std::size_t{frame[8]} << 16) | (std::size_t{frame[9]} << 8) | frame[10];
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data() + 8),
                                         static_cast<Py_ssize_t>(size));
    });
}

const char* const kResolveTableDoc =
    "resolve_table(descriptors, tables, rows, columns, keys, *, counts=None, references=None)\n--\n\n"
    "The items of a table of observations, one subset per row. columns holds (code or key, by_key, rank, "
    "values, texts) per column, keys maps element codes to key numbers: values a float64 array of one number per row (NaN missing), or texts a uint64 "
    "array of indices into the caller's texts (2**64 - 1 missing), the other None. counts are the delayed "
    "replication counts for factors without a column, references the new reference values of each row. "
    "Returns (subset_bounds, value, code, text, references, used) as bytes of uint64, float64, uint32, "
    "uint64, int64 and uint8 items, used[c * rows + r] telling whether an item took column c of row r.";

namespace {

template <class T>
PyObject* bytes_of_vector(const std::vector<T>& v) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                     static_cast<Py_ssize_t>(v.size() * sizeof(T)));
}

}  // namespace

PyObject* resolve_table(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"descriptors", "tables", "rows", "columns", "keys", "counts", "references",
                                       nullptr};
        PyObject *descriptors_obj, *tables_obj, *columns_obj, *keys_obj;
        PyObject *counts_obj = nullptr, *references_obj = nullptr;
        Py_ssize_t rows = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOnOO!|$OO:resolve_table", const_cast<char**>(kwlist),
                                         &descriptors_obj, &tables_obj, &rows, &columns_obj, &PyDict_Type,
                                         &keys_obj, &counts_obj, &references_obj))
            return nullptr;
        if (rows < 0) {
            PyErr_SetString(PyExc_ValueError, "rows must not be negative");
            return nullptr;
        }
        const TableSet* tables = tables_of(tables_obj);
        if (tables == nullptr) return nullptr;
        std::vector<std::uint32_t> descriptors;
        if (!read_descriptors(descriptors_obj, descriptors)) return nullptr;
        OwnedRef columns = OwnedRef::steal(PySequence_Fast(columns_obj, "argument 'columns' must be a sequence"));
        if (!columns) return nullptr;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(columns.get());
        std::vector<Array> arrays(static_cast<std::size_t>(2 * n));
        KeyedTable table;
        table.rows = static_cast<std::size_t>(rows);
        for (Py_ssize_t c = 0; c < n; ++c) {
            PyObject* item = PySequence_Fast_GET_ITEM(columns.get(), c);
            unsigned int code = 0, rank = 0;
            int by_key = 0;
            PyObject *values = nullptr, *texts = nullptr;
            if (!PyArg_ParseTuple(item, "IpIOO:column", &code, &by_key, &rank, &values, &texts)) return nullptr;
            Array& v = arrays[static_cast<std::size_t>(2 * c)];
            Array& t = arrays[static_cast<std::size_t>(2 * c + 1)];
            if (!v.take(values, 8, "values") || !t.take(texts, 8, "texts")) return nullptr;
            table.columns.push_back(KeyedColumn{code, by_key != 0, rank, v.span<double>(), t.span<std::uint64_t>()});
        }
        PyObject *key, *number;
        Py_ssize_t pos = 0;
        while (PyDict_Next(keys_obj, &pos, &key, &number)) {
            const unsigned long k = PyLong_AsUnsignedLong(key);
            const unsigned long v = PyLong_AsUnsignedLong(number);
            if (PyErr_Occurred()) return nullptr;
            table.keys.emplace(static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(v));
        }
        Array counts, references;
        if (!counts.take(counts_obj, 8, "counts") || !references.take(references_obj, 8, "references"))
            return nullptr;
        table.counts = counts.span<std::int64_t>();
        table.references = references.span<std::int64_t>();
        Result<ItemStore> store = BufrError::table("");
        bool interrupted = false;
        {
            ReleasedGil gil;
            store = resolve_keyed(descriptors, *tables, table, Interrupt{&ReleasedGil::poll, &gil});
            interrupted = gil.interrupted();
        }
        if (interrupted) return nullptr;
        if (!store) return raise_encode_error(store.error());
        OwnedRef used = OwnedRef::steal(bytes_of_vector(store->used));
        if (!used) return nullptr;
        OwnedRef parts[] = {
            OwnedRef::steal(bytes_of_vector(store->subset_bounds)), OwnedRef::steal(bytes_of_vector(store->value)),
            OwnedRef::steal(bytes_of_vector(store->code)), OwnedRef::steal(bytes_of_vector(store->text)),
            OwnedRef::steal(bytes_of_vector(store->references)),
        };
        for (const OwnedRef& p : parts)
            if (!p) return nullptr;
        return PyTuple_Pack(6, parts[0].get(), parts[1].get(), parts[2].get(), parts[3].get(), parts[4].get(),
                            used.get());
    });
}

}  // namespace korvane::columns
