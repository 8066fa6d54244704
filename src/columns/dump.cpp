#include "columns/dump.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "columns/objects.hpp"
#include "data/columns.hpp"
#include "data/number_text.hpp"
#include "py/barrier.hpp"
#include "py/convert.hpp"

namespace korvane::columns {

namespace {

using py::guarded;
using py::OwnedRef;

// A buffer of fixed-width numbers, checked and copied out.
template <class T>
bool numbers_of(PyObject* o, const char* what, std::vector<T>& out) {
    ByteBuffer b;
    if (!b.take(o)) return false;
    const ByteView bytes = b.bytes();
    if (bytes.size() % sizeof(T) != 0) {
        PyErr_Format(PyExc_ValueError, "%s is not a buffer of %d-byte numbers", what, static_cast<int>(sizeof(T)));
        return false;
    }
    out.resize(bytes.size() / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), bytes.size());
    return true;
}

bool utf8_of(PyObject* o, std::string& out) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (s == nullptr) return false;
    out.assign(s, static_cast<std::size_t>(n));
    return true;
}

// One kind of line: what comes before and after the value, and the meaning
// of a code or flag table's entry, asked of Python once per value.
struct Piece {
    std::string head;
    std::string tail;
    PyObject* meaning = nullptr;  // borrowed from the pieces list
    std::unordered_map<std::uint64_t, std::string> meanings;

    const std::string* meaning_of(std::uint64_t raw) {
        auto it = meanings.find(raw);
        if (it != meanings.end()) return &it->second;
        OwnedRef arg = OwnedRef::steal(PyLong_FromUnsignedLongLong(raw));
        if (!arg) return nullptr;
        OwnedRef text = OwnedRef::steal(PyObject_CallOneArg(meaning, arg.get()));
        if (!text) return nullptr;
        std::string s;
        if (!utf8_of(text.get(), s)) return nullptr;
        return &meanings.emplace(raw, std::move(s)).first->second;
    }
};

}  // namespace

PyObject* dump_lines(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *columns_obj, *subsets_obj, *positions_obj, *offsets_obj, *pieces_of_obj, *pieces_obj, *texts_obj;
        unsigned long long per = 0;
        int heads = 0;
        if (!PyArg_ParseTuple(args, "OOKOOOO!O!p:dump_lines", &columns_obj, &subsets_obj, &per, &positions_obj,
                              &offsets_obj, &pieces_of_obj, &PyList_Type, &pieces_obj, &PyList_Type, &texts_obj,
                              &heads))
            return nullptr;
        std::vector<std::uint64_t> subsets, positions, offsets;
        std::vector<std::uint32_t> pieces_of;
        if (!numbers_of(subsets_obj, "subsets", subsets) || !numbers_of(positions_obj, "positions", positions) ||
            !numbers_of(pieces_of_obj, "pieces_of", pieces_of))
            return nullptr;
        if (per == 0 && !numbers_of(offsets_obj, "offsets", offsets)) return nullptr;
        if (pieces_of.size() != positions.size() || (per == 0 && offsets.size() != subsets.size() + 1)) {
            PyErr_SetString(PyExc_ValueError, "dump_lines: positions, pieces_of and offsets disagree");
            return nullptr;
        }
        std::vector<Piece> pieces(static_cast<std::size_t>(PyList_GET_SIZE(pieces_obj)));
        for (std::size_t k = 0; k < pieces.size(); ++k) {
            PyObject *head, *tail, *meaning;
            if (!PyArg_ParseTuple(PyList_GET_ITEM(pieces_obj, static_cast<Py_ssize_t>(k)), "UUO:piece", &head, &tail,
                                  &meaning))
                return nullptr;
            if (!utf8_of(head, pieces[k].head) || !utf8_of(tail, pieces[k].tail)) return nullptr;
            pieces[k].meaning = meaning == Py_None ? nullptr : meaning;
        }
        for (const std::uint32_t p : pieces_of)
            if (p >= pieces.size()) {
                PyErr_SetString(PyExc_IndexError, "dump_lines: a piece number names no piece");
                return nullptr;
            }
        const auto text_count = static_cast<std::size_t>(PyList_GET_SIZE(texts_obj));
        std::vector<std::string> texts(text_count);
        for (std::size_t t = 0; t < text_count; ++t)
            if (!utf8_of(PyList_GET_ITEM(texts_obj, static_cast<Py_ssize_t>(t)), texts[t])) return nullptr;

        LockedColumns locked = lock_columns(columns_obj);
        if (locked.columns == nullptr) return nullptr;
        MessageColumns& c = *locked.columns;
        c.expand_rows();
        const std::size_t items = c.code.size();
        std::size_t piece_bytes = 0;
        for (const Piece& p : pieces) piece_bytes = std::max(piece_bytes, p.head.size() + p.tail.size());
        const std::size_t lines = per != 0 ? subsets.size() * positions.size() : positions.size();
        std::string out;
        out.reserve(lines * (piece_bytes + 16));
        for (std::size_t k = 0; k < subsets.size(); ++k) {
            const std::uint64_t s = subsets[k];
            if (heads) {
                out += "## subset ";
                out += std::to_string(s + 1);
                out += '\n';
            }
            const std::size_t first = per != 0 ? 0 : static_cast<std::size_t>(offsets[k]);
            const std::size_t last = per != 0 ? positions.size() : static_cast<std::size_t>(offsets[k + 1]);
            if (first > last || last > positions.size()) {
                PyErr_SetString(PyExc_ValueError, "dump_lines: offsets out of order");
                return nullptr;
            }
            for (std::size_t q = first; q < last; ++q) {
                const std::uint64_t i = per != 0 ? s * per + positions[q] : positions[q];
                if (i >= items) {
                    PyErr_SetString(PyExc_IndexError, "dump_lines: an item lies outside the message");
                    return nullptr;
                }
                Piece& piece = pieces[pieces_of[q]];
                out += piece.head;
                const auto kind = static_cast<ValueKind>(c.kind[i]);
                const bool missing = c.missing[i] != 0;
                if (kind == ValueKind::Operator) {
                    // an operator has no value
                } else if (missing) {
                    out += "missing";
                } else if (kind == ValueKind::Character || kind == ValueKind::InsertedText) {
                    if (c.raw[i] >= texts.size()) {
                        PyErr_SetString(PyExc_IndexError, "dump_lines: a text number names no text");
                        return nullptr;
                    }
                    out += texts[static_cast<std::size_t>(c.raw[i])];
                } else {
                    append_number(out, c.value[i]);
                }
                out += piece.tail;
                if (piece.meaning != nullptr && !missing && kind != ValueKind::Operator) {
                    const std::string* m = piece.meaning_of(c.raw[i]);
                    if (m == nullptr) return nullptr;
                    out += *m;
                }
                out += '\n';
            }
        }
        // Bytes, UTF-8: the caller writes them as they are, without decoding
        // and encoding again what can be a hundred megabytes.
        return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    });
}

}  // namespace korvane::columns
