// The module boundary's toolkit: owned references, argument binding and
// conversion, result builders, the lock guard and the entry-point fence.
//
// Every wrapper has one shape:
//
//   PyObject* foo_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
//       return py::guarded([&] {
//           py::Args a(sig::kFoo, args, nargs, kwnames);    // bind, or TypeError
//           const std::uint64_t n = a.count(0);             // convert (and copy) in parameter order
//           OwnedRows edges = py::to_rows(a.edge_array(1, n));
//           auto result = py::compute(sig::kFoo, [&] { return foo(n, edges); });  // checks, then the work
//           return py::u64_vector(std::move(result));       // zero-copy result
//       });
//   }
//
// Failures travel as C++ exceptions inside the wrapper: `PyErrorSet` when a
// Python exception is already pending, `InputError` for a failed content
// check (raised as ValueError), std::bad_alloc / std::length_error (raised as
// MemoryError), anything else as the internal-fault exception. `guarded`
// turns each into the Python exception, so no C++ exception reaches the
// interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "graph/edge_blocks.hpp"
#include "graph/input.hpp"
#include "graph/rows.hpp"
#include "lib/signatures.hpp"
#include "parallel/parallel.hpp"

namespace knotwell::py {

// A Python exception is pending; unwind to `guarded`.
struct PyErrorSet {};

// Move-only owner of one strong reference.
class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject* p) : p_(p) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    PyObject* p_ = nullptr;
};

// Throws PyErrorSet when `p` is null (the failed call set the exception).
inline Ref check(PyObject* p) {
    if (p == nullptr) throw PyErrorSet{};
    return Ref(p);
}

// Sets the internal-fault exception (pyo3_runtime.PanicException, a
// BaseException subclass) with `message`.
void set_panic(const std::string& message);

// An edge array as copied when it was converted: its shape at that moment
// and, when it has two columns, its rows in logical order, narrowed and
// range-checked against the node count (graph/rows.hpp). An array of any
// other width is not read; it fails the shape check after conversion.
struct EdgeArray {
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    OwnedRows pairs;
};

// An edge array for the functions that keep the lock, read each row once
// and run no Python code after converting it, so no conversion can resize or
// free it before the rows are read: a C-contiguous array stays where it is (another
// thread may still write it, so it is read only through
// graph/edge_blocks.hpp); any other layout, a broadcast among them, is
// copied as usual.
struct EdgeRows {
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    const std::byte* borrowed = nullptr;  // the caller's rows, or null for `copy`
    EdgeList copy;
};

// The same for a weight vector.
struct WeightRows {
    const std::byte* borrowed = nullptr;
    std::uint64_t size = 0;
    std::vector<double> copy;
};

// Bound arguments of one call; converters run in parameter order and throw
// on the first failure with the message rules of the boundary. An omitted
// parameter takes its table default without conversion.
class Args {
  public:
    Args(const sig::Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

    bool given(std::size_t i) const { return slots_[i] != nullptr; }
    // An exact int: converting it as a count runs no Python code.
    bool is_plain_int(std::size_t i) const { return given(i) && PyLong_CheckExact(slots_[i]); }

    std::uint64_t count(std::size_t i) const;
    std::optional<std::uint64_t> optional_count(std::size_t i) const;
    bool flag(std::size_t i) const;
    double real(std::size_t i) const;
    // Array kinds: checked, then copied into memory the call owns before the
    // next parameter is converted, so nothing a later conversion runs (an
    // `__index__`, a `__float__`) and no other thread writing the array
    // can change what the call sees.
    // `n` (converted before) sets the id width and the range of the copy.
    EdgeArray edge_array(std::size_t i, std::uint64_t n) const;
    std::vector<std::uint64_t> id_vector(std::size_t i) const;
    std::vector<double> weight_vector(std::size_t i) const;
    std::optional<std::vector<double>> optional_weight_vector(std::size_t i) const;
    // Rows left in place when C-contiguous and `borrow` holds (see
    // EdgeRows), else copied.
    EdgeRows edge_rows(std::size_t i, bool borrow = true) const;
    WeightRows weight_rows(std::size_t i) const;

  private:
    // The argument as an array of the kind's dimensionality and dtype.
    PyObject* array(std::size_t i, int ndim, bool real) const;

    // The parameter's name, NUL-terminated for the messages.
    const char* name(std::size_t i) const { return f_.params[i].name.data(); }

    const sig::Function& f_;
    PyObject* slots_[sig::kMaxParams] = {};
};

// The shape check that follows conversion: the rows, or the edge-shape
// InputError.
OwnedRows to_rows(EdgeArray&& array);
// The same for EdgeRows; the view lives as long as `array`.
SharedEdges to_edge_rows(const EdgeRows& array);
SharedWeights to_weight_rows(const WeightRows& weights);

// Result builders: the buffer becomes the array's data without a copy and is
// freed by the array's base object.
Ref u64_vector(std::vector<std::uint64_t>&& data);
Ref f64_vector(std::vector<double>&& data);
Ref u64_matrix(std::vector<std::uint64_t>&& data, std::size_t rows, std::size_t cols);
Ref u64_block(std::vector<std::uint64_t>&& data, std::size_t d0, std::size_t d1, std::size_t d2);
Ref to_float(double x);
Ref to_int(std::uint64_t x);
Ref int_list(std::span<const std::uint64_t> values);
Ref tuple(std::initializer_list<Ref*> items);  // steals the items

// Raises the InputError of a failed result.
template <class T>
T unwrap(Result<T>&& result) {
    if (!result.ok()) throw result.error();
    return std::move(result.value());
}

// Releases the interpreter lock for the life of the guard; takes it back on
// every exit path, exceptions included. While it lives, a sweep started on
// this thread briefly re-takes the lock every few milliseconds to run the
// interpreter's signal check, so Ctrl-C stops the sweep.
//
// At interpreter exit CPython 3.13 ends a daemon thread that retakes the lock
// with pthread_exit, a forced unwind that must pass through untouched: the
// state is forgotten before each retake, so an unwinding guard does not try
// again, and `without_gil` retakes the lock outside of any other unwinding.
class GilRelease {
  public:
    GilRelease() : state_(PyEval_SaveThread()), poll_([this] { return signal_pending(); }) {}
    ~GilRelease() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

    void restore() { PyEval_RestoreThread(std::exchange(state_, nullptr)); }

  private:
    bool signal_pending() {
        restore();
        const bool raised = PyErr_CheckSignals() < 0;
        state_ = PyEval_SaveThread();
        return raised;
    }

    PyThreadState* state_;
    parallel::PollScope poll_;
};

template <class F>
auto without_gil(F&& f) {
    GilRelease release;
    std::exception_ptr failure;
    try {
        auto result = f();
        release.restore();
        return result;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    release.restore();
    std::rethrow_exception(failure);
}

// Runs `algorithm` (owned inputs -> Result<T>) as the function's table says:
// without the interpreter lock for the functions that release it. A failed
// check is raised once the lock is back.
template <class F>
auto compute(const sig::Function& f, F&& algorithm) {
    if (f.releases_lock) return unwrap(without_gil(algorithm));
    return unwrap(algorithm());
}

// Translates every C++ failure into the Python exception it stands for.
void raise_current_exception() noexcept;

// `f` returns the result object (a Ref). Not noexcept: the forced unwind
// of a thread ended at interpreter exit passes through.
template <class F>
PyObject* guarded(F&& f) {
    try {
        // Sweeps run with the lock held check for signals themselves.
        parallel::PollScope poll([] { return PyErr_CheckSignals() < 0; });
        return f().release();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace knotwell::py
