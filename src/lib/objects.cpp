// Builders for the scalar and container result kinds.
#include "lib/py.hpp"

namespace knotwell::py {

Ref to_float(double x) { return check(PyFloat_FromDouble(x)); }

Ref to_int(std::uint64_t x) { return check(PyLong_FromUnsignedLongLong(x)); }

Ref int_list(std::span<const std::uint64_t> values) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_int(values[i]).release());
    return list;
}

Ref tuple(std::initializer_list<Ref*> items) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Ref* item : items) PyTuple_SET_ITEM(t.get(), i++, item->release());
    return t;
}

}  // namespace knotwell::py
