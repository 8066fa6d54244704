// The decoding entry points: the first message of a buffer, decoded with
// tables from a table directory, from the caller, or chosen from a definitions
// root by the message's header.
#include <string>
#include <string_view>

#include "data/columns.hpp"
#include "py/barrier.hpp"
#include "py/convert.hpp"
#include "lib/types.hpp"
#include "message/message.hpp"
#include "tables/definitions.hpp"
#include "tables/eccodes.hpp"

namespace korvane::py {

namespace {

ByteView view_of(std::string_view s) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// The first message of the buffer, parsed, with its bytes.
struct FirstMessage {
    BufrMessage message;
    ByteView bytes;
};

Result<FirstMessage> first_message(ByteView buf) {
    KORVANE_TRY(const std::vector<MessageRange> ranges, split_messages(buf));
    if (ranges.empty()) return BufrError::missing_marker();
    const ByteView bytes = buf.subspan(ranges.front().start, ranges.front().length);
    KORVANE_TRY(BufrMessage message, parse_message(bytes));
    return FirstMessage{std::move(message), bytes};
}

// Decodes with `tables`, owned by the Python object `owner`, which the values
// keep alive for the names and meanings they view.
PyObject* decode_into_list(const FirstMessage& first, const TableSet& tables, PyObject* owner) {
    // The columns are scratch memory, kept for the next call; only a message
    // far larger than usual gives its memory back.
    thread_local MessageColumns columns;
    Result<void> done = Ok{};
    bool interrupted = false;
    {
        // The bytes (a bytes object) and the tables (a TableSet, never
        // changed once built) are held by the caller's arguments.
        ReleasedGil gil;
        DecodeOptions options;
        options.interrupt = Interrupt{&ReleasedGil::poll, &gil};
        done = decode_columns(first.message, tables, first.message.section4_data(first.bytes), columns, options);
        if (done) columns.expand_rows();  // every object reads every array, item by item
        interrupted = gil.interrupted();
    }
    PyObject* result = interrupted ? nullptr
                       : done      ? new_decoded_value_list(columns, owner)
                                   : to_py_err(std::move(done).error());
    if (columns.value.capacity() > (std::size_t{1} << 22)) columns = MessageColumns();
    else columns.clear();
    return result;
}

// Moves freshly loaded tables into a TableSet object and decodes with them.
PyObject* decode_with_loaded(const FirstMessage& first, Result<TableSet> loaded) {
    if (!loaded) return to_py_err(std::move(loaded).error());
    OwnedRef owner = OwnedRef::steal(new_table_set_object(std::move(loaded).value()));
    if (!owner) return nullptr;
    return decode_into_list(first, *table_set_record(owner.get()), owner.get());
}

}  // namespace

PyObject* decode_values(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    std::string_view data;
    std::string table_dir;
    if (!bind_args("decode_values", args, kwargs, {"data", "table_dir"}, a) || !to_bytes(a[0], "data", data) ||
        !to_path(a[1], "table_dir", table_dir))
        return nullptr;
    auto first = first_message(view_of(data));
    if (!first) return to_py_err(std::move(first).error());
    return decode_with_loaded(*first, [&] {
        ReleasedGil gil;
        return from_eccodes_dir(table_dir);
    }());
}

PyObject* decode_values_with_tables(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    std::string_view data;
    if (!bind_args("decode_values_with_tables", args, kwargs, {"data", "tables"}, a) ||
        !to_bytes(a[0], "data", data))
        return nullptr;
    // The caller's argument tuple keeps the TableSet alive for the call; the
    // values take their own references to it.
    const TableSet* tables = table_set_record(a[1]);
    if (tables == nullptr) {
        const std::string text = std::string("argument 'tables': '") + Py_TYPE(a[1])->tp_name +
                                 "' object is not an instance of 'TableSet'";
        PyErr_SetString(PyExc_TypeError, text.c_str());
        return nullptr;
    }
    auto first = first_message(view_of(data));
    if (!first) return to_py_err(std::move(first).error());
    return decode_into_list(*first, *tables, a[1]);
}

PyObject* decode_values_with_definitions(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    std::string_view data;
    std::string root;
    if (!bind_args("decode_values_with_definitions", args, kwargs, {"data", "definitions_root"}, a) ||
        !to_bytes(a[0], "data", data) || !to_path(a[1], "definitions_root", root))
        return nullptr;
    auto first = first_message(view_of(data));
    if (!first) return to_py_err(std::move(first).error());
    return decode_with_loaded(*first, [&] {
        ReleasedGil gil;
        return from_eccodes_definitions(root, first->message);
    }());
}

}  // namespace korvane::py
