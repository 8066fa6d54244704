#include "py/errors.hpp"

#include "py/convert.hpp"

namespace korvane::py {

const char* kind_name(ErrorKind kind) noexcept {
    switch (kind) {
    case ErrorKind::MessageCut:
        return "truncated";
    case ErrorKind::TooShort:
    case ErrorKind::MissingMarker:
    case ErrorKind::LengthMismatch:
    case ErrorKind::SectionTruncated:
    case ErrorKind::BadTerminator:
    case ErrorKind::OddDescriptorArea:
    case ErrorKind::LengthsDisagree:
    case ErrorKind::IncompleteDelayedReplication:
    case ErrorKind::UnsupportedReplication:  // a replication of more descriptors than follow it
        return "damaged";
    case ErrorKind::UnsupportedEdition:
    case ErrorKind::Unsupported:
        return "unsupported";
    case ErrorKind::SequenceNotFound:
    case ErrorKind::ElementNotFound:
        return "unknown_descriptor";
    case ErrorKind::DataEnded:
        return "data_ended";
    case ErrorKind::Table:
    case ErrorKind::FieldTooWide:
        return "bad_data";
    case ErrorKind::LimitExceeded:
        return "limit";
    case ErrorKind::TableFile:
    case ErrorKind::Io:
        return "tables";
    case ErrorKind::Interrupted:
        return "interrupted";
    }
    return "damaged";
}

PyObject* to_py_err(BufrError e) {
    const std::string text = e.display();
    OwnedRef msg = new_str(text);
    if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
    return nullptr;
}

OwnedRef new_decode_error(const BufrError& e, const MessagePlace& place) {
    OwnedRef module = OwnedRef::steal(PyImport_ImportModule("korvane.errors"));
    if (!module) return OwnedRef();
    OwnedRef cls = OwnedRef::steal(PyObject_GetAttrString(module.get(), "DecodeError"));
    OwnedRef reason = new_str(e.describe());
    OwnedRef source = new_str(place.source);
    OwnedRef kwargs = OwnedRef::steal(PyDict_New());
    if (!cls || !reason || !source || !kwargs) return OwnedRef();
    OwnedRef kind = OwnedRef::steal(PyUnicode_FromString(kind_name(e.kind())));
    OwnedRef index = new_u64(place.index);
    OwnedRef offset = new_u64(place.offset);
    if (!kind || !index || !offset || PyDict_SetItemString(kwargs.get(), "source", source.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "index", index.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "offset", offset.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "kind", kind.get()) < 0)
        return OwnedRef();
    OwnedRef args = OwnedRef::steal(PyTuple_Pack(1, reason.get()));
    if (!args) return OwnedRef();
    return OwnedRef::steal(PyObject_Call(cls.get(), args.get(), kwargs.get()));
}

PyObject* raise_decode_error(const BufrError& e, const MessagePlace& place) {
    OwnedRef exc = new_decode_error(e, place);
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

PyObject* raise_os_error_text(const std::string& text) {
    OwnedRef msg = new_str(text);
    if (!msg) return nullptr;
    OwnedRef exc = OwnedRef::steal(PyObject_CallOneArg(PyExc_OSError, msg.get()));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

}  // namespace korvane::py
