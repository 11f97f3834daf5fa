// Everything that touches NumPy's C API: the array-kind converters, the
// strided copies and the zero-copy result arrays. The API table is imported
// lazily, on the first call that converts or creates an array.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "lib/py.hpp"

#include <numpy/arrayobject.h>

namespace knotwell::py {
namespace {

// NumPy's own import macros print the failure to stderr (PyErr_Print, which
// also sets sys.last_exc); the helper underneath them only sets the error,
// which then becomes the cause of the internal-fault exception.
void ensure_numpy() {
    if (PyArray_API != nullptr) return;
    if (_import_array() < 0) {
        PyObject* cause = PyErr_GetRaisedException();
        set_panic("Failed to access NumPy array API capsule");
        PyObject* panic = PyErr_GetRaisedException();
        if (panic != nullptr && cause != nullptr)
            PyException_SetCause(panic, cause);  // steals `cause`
        else
            Py_XDECREF(cause);
        PyErr_SetRaisedException(panic);
        throw PyErrorSet{};
    }
}

template <class T>
T load(const char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// A new vector of the `len` elements of T at `data`, read `stride` bytes
// apart. Contiguous data goes over in one copy into untouched memory (no
// zero fill first), so the copy costs one read and one write per byte.
template <class T, class Vector = std::vector<T>>
Vector copy_elements(const char* data, npy_intp stride, std::size_t len) {
    Vector out;
    if (len == 0) return out;
    if (stride == static_cast<npy_intp>(sizeof(T)) && reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0) {
        const T* first = reinterpret_cast<const T*>(data);
        out.assign(first, first + len);
        return out;
    }
    out.resize(len);
    for (std::size_t i = 0; i < len; ++i) out[i] = load<T>(data + static_cast<npy_intp>(i) * stride);
    return out;
}

// Rows of a [rows, 2] array of uint64 with strides s0, s1.
EdgeList copy_edges(const char* data, npy_intp s0, npy_intp s1, std::size_t rows) {
    if (s1 == sizeof(std::uint64_t)) return copy_elements<Edge, EdgeList>(data, s0, rows);
    EdgeList out(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        const char* row = data + static_cast<npy_intp>(r) * s0;
        out[r] = Edge{load<std::uint64_t>(row), load<std::uint64_t>(row + s1)};
    }
    return out;
}

// The base object of a result array: the module's result buffer (a vector,
// moved in), held in the object itself. One small allocation and no cycle
// collector tracking, which a capsule around a separately allocated vector
// would cost on every call. Weak references are allowed, so a test can see
// that the buffer dies with its array.
struct Buffer {
    PyObject ob_base;  // PyObject_HEAD
    PyObject* weakrefs;
    bool real;  // which vector the storage holds
    alignas(std::vector<std::uint64_t>) unsigned char storage[sizeof(std::vector<std::uint64_t>)];
};
static_assert(sizeof(std::vector<double>) == sizeof(std::vector<std::uint64_t>) &&
              alignof(std::vector<double>) == alignof(std::vector<std::uint64_t>));

template <class T>
std::vector<T>* held(Buffer* b) {
    return std::launder(reinterpret_cast<std::vector<T>*>(b->storage));
}

void buffer_dealloc(PyObject* self) {
    auto* b = reinterpret_cast<Buffer*>(self);
    if (b->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    if (b->real)
        std::destroy_at(held<double>(b));
    else
        std::destroy_at(held<std::uint64_t>(b));
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyTypeObject* buffer_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    static PyMemberDef members[] = {
        {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Buffer, weakrefs), Py_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
        {Py_tp_members, members},
        {Py_tp_doc, const_cast<char*>("The buffer of a result array.")},
        {0, nullptr},
    };
    static PyType_Spec layout = {"knotwell_rs.buffer", sizeof(Buffer), 0, Py_TPFLAGS_DEFAULT, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&layout));
    if (type == nullptr) throw PyErrorSet{};
    return type;
}

// A new C-contiguous, writeable array whose data is `data`'s buffer; the
// vector moves into a Buffer that becomes the array's base.
template <class T>
Ref hand_over(std::vector<T>&& data, int type, int nd, npy_intp* dims) {
    static_assert(std::is_same_v<T, std::uint64_t> || std::is_same_v<T, double>);
    ensure_numpy();
    if (data.empty()) {
        return check(PyArray_Empty(nd, dims, PyArray_DescrFromType(type), 0));
    }
    PyTypeObject* buffer = buffer_type();
    Ref base = check(buffer->tp_alloc(buffer, 0));
    auto* b = reinterpret_cast<Buffer*>(base.get());
    b->real = std::is_same_v<T, double>;
    T* first = std::construct_at(reinterpret_cast<std::vector<T>*>(b->storage), std::move(data))->data();
    Ref array = check(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type), nd, dims, nullptr, first,
                                           NPY_ARRAY_CARRAY, nullptr));
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) < 0) throw PyErrorSet{};
    return array;
}

}  // namespace

PyObject* Args::array(std::size_t i, int ndim, bool real) const {
    ensure_numpy();
    PyObject* obj = slots_[i];
    const char* name = Args::name(i);
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
    // The common case, the native dtype itself, without building a descriptor.
    const PyArray_Descr* descr = PyArray_DESCR(arr);
    if (descr->type_num == (real ? NPY_FLOAT64 : NPY_UINT64) && PyArray_ISNBO(descr->byteorder)) return obj;
    Ref wanted(reinterpret_cast<PyObject*>(PyArray_DescrFromType(real ? NPY_FLOAT64 : NPY_UINT64)));
    if (!PyArray_EquivTypes(PyArray_DESCR(arr), reinterpret_cast<PyArray_Descr*>(wanted.get()))) {
        PyErr_Format(PyExc_TypeError, "argument '%s': type mismatch:\n from=%S, to=%S", name,
                     reinterpret_cast<PyObject*>(PyArray_DESCR(arr)), wanted.get());
        throw PyErrorSet{};
    }
    return obj;
}

// Every copy below runs with the lock held and without calling back into
// Python, straight after the array's checks: the shape, strides and data
// pointer read here are the ones the copy uses.

EdgeArray Args::edge_array(std::size_t i, std::uint64_t n) const {
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(array(i, 2, false));
    EdgeArray out;
    out.rows = static_cast<std::uint64_t>(PyArray_DIM(arr, 0));
    out.cols = static_cast<std::uint64_t>(PyArray_DIM(arr, 1));
    if (out.cols != 2) return out;
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1);
    if (s0 == sizeof(Edge) && s1 == sizeof(std::uint64_t)) {
        out.pairs = OwnedRows::copy_rows(n, out.rows, [data](std::uint64_t first, std::size_t count, Edge* to) {
            std::memcpy(to, data + first * sizeof(Edge), count * sizeof(Edge));
        });
    } else {
        out.pairs = OwnedRows::copy_rows(n, out.rows, [data, s0, s1](std::uint64_t first, std::size_t count, Edge* to) {
            for (std::size_t j = 0; j < count; ++j) {
                const char* row = data + static_cast<npy_intp>(first + j) * s0;
                to[j] = Edge{load<std::uint64_t>(row), load<std::uint64_t>(row + s1)};
            }
        });
    }
    return out;
}

std::vector<std::uint64_t> Args::id_vector(std::size_t i) const {
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(array(i, 1, false));
    return copy_elements<std::uint64_t>(static_cast<const char*>(PyArray_DATA(arr)), PyArray_STRIDE(arr, 0),
                                        static_cast<std::size_t>(PyArray_DIM(arr, 0)));
}

std::vector<double> Args::weight_vector(std::size_t i) const {
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(array(i, 1, true));
    return copy_elements<double>(static_cast<const char*>(PyArray_DATA(arr)), PyArray_STRIDE(arr, 0),
                                 static_cast<std::size_t>(PyArray_DIM(arr, 0)));
}

std::optional<std::vector<double>> Args::optional_weight_vector(std::size_t i) const {
    if (!given(i) || slots_[i] == Py_None) return std::nullopt;
    return weight_vector(i);
}

EdgeRows Args::edge_rows(std::size_t i, bool borrow) const {
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(array(i, 2, false));
    EdgeRows out;
    out.rows = static_cast<std::uint64_t>(PyArray_DIM(arr, 0));
    out.cols = static_cast<std::uint64_t>(PyArray_DIM(arr, 1));
    if (out.cols != 2) return out;
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    if (borrow && PyArray_IS_C_CONTIGUOUS(arr))
        out.borrowed = reinterpret_cast<const std::byte*>(data);
    else
        out.copy = copy_edges(data, PyArray_STRIDE(arr, 0), PyArray_STRIDE(arr, 1), static_cast<std::size_t>(out.rows));
    return out;
}

WeightRows Args::weight_rows(std::size_t i, bool borrow) const {
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(array(i, 1, true));
    WeightRows out;
    out.size = static_cast<std::uint64_t>(PyArray_DIM(arr, 0));
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    if (borrow && PyArray_IS_C_CONTIGUOUS(arr))
        out.borrowed = reinterpret_cast<const std::byte*>(data);
    else
        out.copy = copy_elements<double>(data, PyArray_STRIDE(arr, 0), static_cast<std::size_t>(out.size));
    return out;
}

SharedEdges to_edge_rows(const EdgeRows& array) {
    if (array.cols != 2) throw InputError::edge_shape(array.rows, array.cols);
    return array.borrowed ? SharedEdges{array.borrowed, array.rows} : view_of(array.copy);
}

SharedWeights to_weight_rows(const WeightRows& weights) {
    const std::byte* data =
        weights.borrowed ? weights.borrowed : reinterpret_cast<const std::byte*>(weights.copy.data());
    return SharedWeights{data, weights.size};
}

OwnedRows to_rows(EdgeArray&& array) {
    if (array.cols != 2) throw InputError::edge_shape(array.rows, array.cols);
    return std::move(array.pairs);
}

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
