// The Python class DecodedValue. An object holds one item of a message's
// columns and a reference to the TableSet object it was decoded with, which
// gives element names and code-table meanings on access; attribute objects are
// built on access. Objects of a decode are made straight from the columns, in
// slabs that are kept for the next decode when all their objects are freed, so
// that decoding in a loop neither allocates nor hands memory back on every call.
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "data/columns.hpp"
#include "data/decoded_value.hpp"
#include "py/barrier.hpp"
#include "py/convert.hpp"
#include "py/decoded_value.hpp"
#include "py/table_set_object.hpp"
#include "py/types.hpp"

namespace korvane::py {

namespace {

struct DecodedValueObject {
    PyObject_HEAD
    PyObject* owner;  // strong reference to the TableSet object
    double value;
    union {
        std::uint64_t raw;  // numeric items, associated fields, operators
        PyObject* text;     // text items: a str, or null when absent
    };
    std::uint32_t descriptor;
    ValueKind kind;
    bool has_value;
};

DecodedValueObject* as_value(PyObject* self) { return reinterpret_cast<DecodedValueObject*>(self); }
const TableSet& tables_of(PyObject* self) { return tables_in(as_value(self)->owner); }
bool is_text(const DecodedValueObject* o) {
    return o->kind == ValueKind::Character || o->kind == ValueKind::InsertedText;
}

// The item as the core's presentation code sees it.
DecodedValue rec_of(PyObject* self) {
    const DecodedValueObject* o = as_value(self);
    DecodedValue v;
    v.descriptor = o->descriptor;
    v.kind = o->kind;
    v.has_value = o->has_value;
    v.value = o->value;
    if (!is_text(o)) {
        v.raw_bits = o->raw;
    } else if (o->text != nullptr) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(o->text, &n);  // ASCII: never fails
        v.text = std::string_view(p, static_cast<std::size_t>(n));
    }
    return v;
}

// Where objects live. They take part in no reference cycles (they refer only
// to a TableSet and a str), so they are plain objects outside the cycle
// collector. A decode makes up to millions of them at once and the caller
// usually drops them together: taking each from the interpreter's allocator
// and giving it back took half the time of a decode, most of it in page
// faults as the allocator's arenas went back to the system and came again.
// Objects are therefore cut one after another from slabs of kSlabBytes,
// aligned to their size so that an object finds its slab by its address; a
// slab counts its live objects, and one whose objects are all freed is kept
// for reuse (up to kSpareSlabs of them) or handed back. The interpreter lock
// guards all of it. Sanitizer builds take every object from the interpreter's
// allocator and free it at once, so that a use after free is caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSlabs = false;
#else
constexpr bool kSlabs = true;
#endif
constexpr std::size_t kSlabBytes = std::size_t{1} << 20;
constexpr std::size_t kSpareSlabs = 64;  // 64 MiB at most kept

struct alignas(16) Slab {
    std::size_t live;  // objects not yet freed, plus one while objects are cut from it
};
constexpr std::size_t kObjectBytes = (sizeof(DecodedValueObject) + 15) / 16 * 16;
constexpr std::size_t kObjectsPerSlab = (kSlabBytes - sizeof(Slab)) / kObjectBytes;

Slab* filling = nullptr;  // the slab objects are cut from
std::size_t next_object = kObjectsPerSlab;
Slab* spare[kSpareSlabs];
std::size_t spare_count = 0;

Slab* slab_of(PyObject* o) {
    return reinterpret_cast<Slab*>(reinterpret_cast<std::uintptr_t>(o) & ~(std::uintptr_t{kSlabBytes} - 1));
}

void release(Slab* s) noexcept {
    if (--s->live != 0) return;
    if (spare_count < kSpareSlabs)
        spare[spare_count++] = s;
    else
        std::free(s);
}

void decoded_value_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    DecodedValueObject* o = as_value(self);
    PyObject* owner = o->owner;
    PyObject* text = is_text(o) ? o->text : nullptr;
    if constexpr (kSlabs)
        release(slab_of(self));
    else
        PyObject_Free(self);
    Py_XDECREF(text);
    Py_DECREF(owner);
    Py_DECREF(tp);
}

PyObject* new_object(PyTypeObject* tp) {
    PyObject* o;
    if constexpr (kSlabs) {
        if (next_object == kObjectsPerSlab) {
            Slab* s = spare_count != 0 ? spare[--spare_count]
                                       : static_cast<Slab*>(std::aligned_alloc(kSlabBytes, kSlabBytes));
            if (s == nullptr) return PyErr_NoMemory();
            s->live = 1;
            if (filling != nullptr) release(filling);
            filling = s;
            next_object = 0;
        }
        ++filling->live;
        o = reinterpret_cast<PyObject*>(reinterpret_cast<char*>(filling + 1) + next_object++ * kObjectBytes);
    } else {
        o = static_cast<PyObject*>(PyObject_Malloc(sizeof(DecodedValueObject)));
        if (o == nullptr) return PyErr_NoMemory();
    }
    PyObject_Init(o, tp);
    return o;
}

PyObject* str_or_none(std::optional<std::string_view> s) {
    if (!s) Py_RETURN_NONE;
    return new_str(*s).release();
}

PyObject* get_descriptor(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_value(self)->descriptor); }

PyObject* get_name(PyObject* self, void*) { return new_str(rec_of(self).name(tables_of(self))).release(); }

PyObject* get_raw_value(PyObject* self, void*) {
    const DecodedValueObject* o = as_value(self);
    if (!o->has_value) Py_RETURN_NONE;
    return PyFloat_FromDouble(o->value);
}

PyObject* get_raw(PyObject* self, void*) {
    const DecodedValueObject* o = as_value(self);
    if (is_text(o)) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(o->raw);
}

PyObject* text_or_none(PyObject* self) {
    const DecodedValueObject* o = as_value(self);
    if (!is_text(o) || o->text == nullptr) Py_RETURN_NONE;
    return Py_NewRef(o->text);
}

PyObject* get_raw_text(PyObject* self, void*) { return text_or_none(self); }

PyObject* get_raw_meaning(PyObject* self, void*) { return str_or_none(rec_of(self).raw_meaning(tables_of(self))); }

// The text, else the meaning, else the number, else None. A text item whose
// text is missing has no data: its raw_value is only the text's index.
PyObject* get_data(PyObject* self, void*) {
    const DecodedValueObject* o = as_value(self);
    if (is_text(o)) return text_or_none(self);
    if (auto meaning = rec_of(self).raw_meaning(tables_of(self))) return new_str(*meaning).release();
    if (o->has_value) return PyFloat_FromDouble(o->value);
    Py_RETURN_NONE;
}

PyObject* decoded_value_repr(PyObject* self) {
    return new_str(decoded_value_text(rec_of(self), tables_of(self))).release();
}

PyGetSetDef kGetSet[] = {
    {"descriptor", barrier<get_descriptor>, nullptr, nullptr, nullptr},
    {"name", barrier<get_name>, nullptr, nullptr, nullptr},
    {"raw_value", barrier<get_raw_value>, nullptr, nullptr, nullptr},
    {"raw", barrier<get_raw>, nullptr, nullptr, nullptr},
    {"raw_text", barrier<get_raw_text>, nullptr, nullptr, nullptr},
    {"raw_meaning", barrier<get_raw_meaning>, nullptr, nullptr, nullptr},
    {"data", barrier<get_data>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decoded_value_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(barrier<decoded_value_repr>)},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.DecodedValue",
    sizeof(DecodedValueObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

PyObject* type_slot = nullptr;

}  // namespace

PyTypeObject* decoded_value_type() { return type_from_spec(type_slot, &kSpec); }

namespace {

struct TextObjects {
    explicit TextObjects(std::size_t n) : slots(n, nullptr) {}
    ~TextObjects() {
        for (PyObject* o : slots) Py_XDECREF(o);
    }
    std::vector<PyObject*> slots;
};

}  // namespace

PyObject* new_decoded_value_list(const MessageColumns& columns, PyObject* owner) {
    PyTypeObject* tp = decoded_value_type();
    if (tp == nullptr) return nullptr;
    const std::size_t n = columns.size();
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    // One str per text of the arena, shared by the items that show it.
    TextObjects texts(columns.texts.size());
    // Objects are made in list order, so that a list is later walked (and
    // freed) through memory in the order it was allocated.
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* o = new_object(tp);
        if (o == nullptr) return nullptr;  // a list left short holds nulls in its tail, which it skips
        DecodedValueObject* obj = as_value(o);
        obj->owner = Py_NewRef(owner);
        obj->descriptor = columns.code[i];
        obj->kind = static_cast<ValueKind>(columns.kind[i]);
        obj->value = columns.value[i];
        if (obj->kind == ValueKind::Character || obj->kind == ValueKind::InsertedText) {
            obj->has_value = true;  // the text index
            obj->text = nullptr;
            const std::uint64_t id = columns.raw[i];
            if (id != TextArena::kNone) {
                PyObject*& t = texts.slots[static_cast<std::size_t>(id)];
                if (t == nullptr) t = new_str(columns.texts.get(id)).release();
                if (t == nullptr) {
                    Py_DECREF(o);
                    return nullptr;
                }
                obj->text = Py_NewRef(t);
            }
        } else {
            obj->has_value = columns.missing[i] == 0;
            obj->raw = columns.raw[i];
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), o);
    }
    return list.release();
}

}  // namespace korvane::py
