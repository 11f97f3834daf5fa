// Everything that touches NumPy's C API: the array-kind converters, the
// strided copies and the zero-copy result arrays. The API table is imported
// lazily, on the first call that converts or creates an array.
#include <cstring>

#include "lib/py.hpp"

#include <numpy/arrayobject.h>

namespace knotwell::py {
namespace {

constexpr const char* kBufferCapsule = "knotwell_rs.buffer";

void ensure_numpy() {
    if (PyArray_API != nullptr) return;
    if (PyArray_ImportNumPyAPI() < 0) {
        PyObject* cause = PyErr_GetRaisedException();
        set_panic("Failed to access NumPy array API capsule");
        if (cause != nullptr) {
            PyObject* panic = PyErr_GetRaisedException();
            PyException_SetCause(panic, cause);
            PyErr_SetRaisedException(panic);
        }
        throw PyErrorSet{};
    }
}

PyArrayObject* as_array(ArrayView view) { return reinterpret_cast<PyArrayObject*>(view.array); }

template <class T>
T load(const char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// Copies a 1-D array of T read through its stride.
template <class T>
std::vector<T> copy_vector(ArrayView view) {
    ensure_numpy();
    PyArrayObject* arr = as_array(view);
    const std::size_t len = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    std::vector<T> out(len);
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    const npy_intp stride = PyArray_STRIDE(arr, 0);
    if (stride == static_cast<npy_intp>(sizeof(T))) {
        if (len > 0) std::memcpy(out.data(), data, len * sizeof(T));
    } else {
        for (std::size_t i = 0; i < len; ++i) out[i] = load<T>(data + static_cast<npy_intp>(i) * stride);
    }
    return out;
}

template <class T>
void free_buffer(PyObject* capsule) {
    delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

// A new C-contiguous, writeable array whose data is `data`'s buffer; the
// vector moves into a capsule that becomes the array's base.
template <class T>
Ref hand_over(std::vector<T>&& data, int type, int nd, npy_intp* dims) {
    ensure_numpy();
    if (data.empty()) {
        return check(PyArray_Empty(nd, dims, PyArray_DescrFromType(type), 0));
    }
    auto* owned = new std::vector<T>(std::move(data));
    Ref capsule(PyCapsule_New(owned, kBufferCapsule, free_buffer<T>));
    if (!capsule) {
        delete owned;
        throw PyErrorSet{};
    }
    Ref array = check(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type), nd, dims, nullptr,
                                           owned->data(), NPY_ARRAY_CARRAY, nullptr));
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0)
        throw PyErrorSet{};
    return array;
}

}  // namespace

ArrayView Args::array(std::size_t i, int ndim, bool real) const {
    ensure_numpy();
    PyObject* obj = slots_[i];
    const char* name = sig_.names[i];
    if (!PyArray_Check(obj)) {
        Ref type_name = check(PyType_GetQualName(Py_TYPE(obj)));
        PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyArray<T, D>'", name,
                     type_name.get());
        throw PyErrorSet{};
    }
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != ndim) {
        PyErr_Format(PyExc_TypeError, "argument '%s': dimensionality mismatch:\n from=%d, to=%d", name,
                     PyArray_NDIM(arr), ndim);
        throw PyErrorSet{};
    }
    PyArray_Descr* wanted = PyArray_DescrFromType(real ? NPY_FLOAT64 : NPY_UINT64);
    const bool same = PyArray_EquivTypes(PyArray_DESCR(arr), wanted);
    if (!same) {
        PyErr_Format(PyExc_TypeError, "argument '%s': type mismatch:\n from=%S, to=%S", name,
                     reinterpret_cast<PyObject*>(PyArray_DESCR(arr)), reinterpret_cast<PyObject*>(wanted));
        Py_DECREF(wanted);
        throw PyErrorSet{};
    }
    Py_DECREF(wanted);
    return ArrayView{obj};
}

ArrayView Args::edge_array(std::size_t i) const { return array(i, 2, false); }
ArrayView Args::id_vector(std::size_t i) const { return array(i, 1, false); }
ArrayView Args::weight_vector(std::size_t i) const { return array(i, 1, true); }
std::optional<ArrayView> Args::optional_weight_vector(std::size_t i) const {
    if (!given(i) || slots_[i] == Py_None) return std::nullopt;
    return weight_vector(i);
}

EdgeList to_edge_list(ArrayView view) {
    ensure_numpy();
    PyArrayObject* arr = as_array(view);
    const std::size_t rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    const std::size_t cols = static_cast<std::size_t>(PyArray_DIM(arr, 1));
    if (cols != 2) throw InputError::edge_shape(rows, cols);
    EdgeList edges(rows);
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1);
    if (s1 == 8 && s0 == 16) {
        if (rows > 0) std::memcpy(edges.data(), data, rows * sizeof(Edge));
    } else {
        for (std::size_t r = 0; r < rows; ++r) {
            const char* row = data + static_cast<npy_intp>(r) * s0;
            edges[r] = Edge{load<std::uint64_t>(row), load<std::uint64_t>(row + s1)};
        }
    }
    return edges;
}

EdgeRows::EdgeRows(ArrayView view) {
    ensure_numpy();
    PyArrayObject* arr = as_array(view);
    const std::size_t rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    const std::size_t cols = static_cast<std::size_t>(PyArray_DIM(arr, 1));
    if (cols == 2 && PyArray_IS_C_CONTIGUOUS(arr) && PyArray_ISALIGNED(arr) && rows > 0) {
        rows_ = {static_cast<const Edge*>(PyArray_DATA(arr)), rows};
    } else {
        copy_ = to_edge_list(view);
        rows_ = copy_;
    }
}

WeightRows::WeightRows(ArrayView view) {
    ensure_numpy();
    PyArrayObject* arr = as_array(view);
    const std::size_t len = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    if (PyArray_IS_C_CONTIGUOUS(arr) && PyArray_ISALIGNED(arr) && len > 0) {
        values_ = {static_cast<const double*>(PyArray_DATA(arr)), len};
    } else {
        copy_ = copy_weights(view);
        values_ = copy_;
    }
}

std::vector<std::uint64_t> copy_ids(ArrayView view) { return copy_vector<std::uint64_t>(view); }
std::vector<double> copy_weights(ArrayView view) { return copy_vector<double>(view); }

Ref u64_vector(std::vector<std::uint64_t>&& data) {
    npy_intp dims[1] = {static_cast<npy_intp>(data.size())};
    return hand_over(std::move(data), NPY_UINT64, 1, dims);
}

Ref f64_vector(std::vector<double>&& data) {
    npy_intp dims[1] = {static_cast<npy_intp>(data.size())};
    return hand_over(std::move(data), NPY_FLOAT64, 1, dims);
}

Ref u64_matrix(std::vector<std::uint64_t>&& data, std::size_t rows, std::size_t cols) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    return hand_over(std::move(data), NPY_UINT64, 2, dims);
}

Ref u64_block(std::vector<std::uint64_t>&& data, std::size_t d0, std::size_t d1, std::size_t d2) {
    npy_intp dims[3] = {static_cast<npy_intp>(d0), static_cast<npy_intp>(d1), static_cast<npy_intp>(d2)};
    return hand_over(std::move(data), NPY_UINT64, 3, dims);
}

}  // namespace knotwell::py
