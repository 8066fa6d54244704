// What the reader's module shares between its entry points: byte buffers
// taken from Python objects, the Buffer type that exports a C++ array to
// Python without a copy, C++ values owned by Python objects, the header
// record of a scanned message, and the TableSet type of korvane._korvane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

#include "data/columns.hpp"
#include "message/message.hpp"
#include "py/pyref.hpp"
#include "tables/table_set.hpp"

namespace korvane::columns {

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

// Read-only bytes kept alive by `owner` (a new Buffer object), or null with
// an exception set.
PyObject* new_buffer(PyObject* owner, const void* data, std::size_t bytes);

template <class Vector>
PyObject* vector_buffer(PyObject* owner, const Vector& v) {
    return new_buffer(owner, v.data(), v.size() * sizeof(v[0]));
}

// A C++ value owned by a Python object, freed with it.
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

// A new object of `type` (a HolderObject<T> type) holding a default T, or null.
template <class T>
PyObject* new_holder(PyTypeObject* type, T*& value) {
    PyObject* o = type->tp_alloc(type, 0);
    if (o == nullptr) return nullptr;
    value = new (&reinterpret_cast<HolderObject<T>*>(o)->value) T();
    return o;
}

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

// The TableSet type of korvane._korvane, whose objects the reader's tables
// are (a borrowed reference, or null with an exception set).
PyTypeObject* table_set_type();
// The tables of a TableSet object, or null with a TypeError naming `param`.
const TableSet* tables_of(PyObject* o, const char* param = "tables");

// The columns of a Columns object, held under the lock that laying out its
// arrays takes, for the life of the value; null columns (TypeError set) for
// another object.
struct LockedColumns {
    MessageColumns* columns = nullptr;
    std::unique_lock<std::mutex> lock;
};
LockedColumns lock_columns(PyObject* o);

// Makes the types above; false with an exception set on failure.
bool init_objects();
// The Buffer type (after init_objects).
PyTypeObject* buffer_object_type();

}  // namespace korvane::columns
