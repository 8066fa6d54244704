#include "py/types.hpp"

namespace korvane::py {

PyTypeObject* type_from_spec(PyObject*& slot, PyType_Spec* spec) {
    if (slot == nullptr) slot = PyType_FromSpec(spec);
    return reinterpret_cast<PyTypeObject*>(slot);
}

}  // namespace korvane::py
