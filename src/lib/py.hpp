// The module boundary's toolkit: owned references, argument binding and
// conversion, result builders, the lock guard and the entry-point fence.
//
// Every wrapper follows one shape:
//
//   PyObject* foo_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
//       return py::guarded([&] {
//           py::Args a(kFooSignature, args, nargs, kw);    // bind, or TypeError
//           const std::uint64_t n = a.count(0);            // convert in parameter order
//           const py::ArrayView edges_view = a.edge_array(1);
//           EdgeList edges = py::to_edge_list(edges_view);  // shape check
//           auto result = py::without_gil([&] { return foo(n, edges); });
//           return py::u64_vector(py::unwrap(std::move(result))).release();
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

#include "graph/input.hpp"
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

// Parameters of one function: all positional-or-keyword, the first
// `required` without default.
struct Signature {
    const char* func;
    std::span<const char* const> names;
    std::size_t required;
};

// A NumPy array argument that passed the kind's checks; borrowed from the
// call's arguments.
struct ArrayView {
    PyObject* array;
};

// Bound arguments of one call; converters run in parameter order and throw
// on the first failure with the message rules of the boundary.
class Args {
  public:
    Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

    bool given(std::size_t i) const { return slots_[i] != nullptr; }

    std::uint64_t count(std::size_t i) const;
    std::uint64_t count(std::size_t i, std::uint64_t fallback) const { return given(i) ? count(i) : fallback; }
    std::optional<std::uint64_t> optional_count(std::size_t i) const;
    bool flag(std::size_t i) const;
    bool flag(std::size_t i, bool fallback) const { return given(i) ? flag(i) : fallback; }
    double real(std::size_t i, double fallback) const;
    ArrayView edge_array(std::size_t i) const;
    ArrayView id_vector(std::size_t i) const;
    ArrayView weight_vector(std::size_t i) const;
    std::optional<ArrayView> optional_weight_vector(std::size_t i) const;

  private:
    ArrayView array(std::size_t i, int ndim, bool real) const;

    const Signature& sig_;
    PyObject* slots_[8] = {};
};

// Copies, read through the strides in logical order.
EdgeList to_edge_list(ArrayView view);  // throws InputError (edge shape)

// The rows of an edge array, for a function that keeps the interpreter lock
// for its whole run: a view of the array's own memory when it is C-contiguous
// and aligned (no Python code can change it while the lock is held), else an
// owned copy read through the strides. Shape-checked like `to_edge_list`.
class EdgeRows {
  public:
    explicit EdgeRows(ArrayView view);
    // Moving keeps the copy's buffer, so the span stays valid; copying would not.
    EdgeRows(EdgeRows&&) = default;
    EdgeRows(const EdgeRows&) = delete;
    EdgeRows& operator=(const EdgeRows&) = delete;
    std::span<const Edge> rows() const { return rows_; }
    operator std::span<const Edge>() const { return rows_; }
    std::size_t size() const { return rows_.size(); }

  private:
    EdgeList copy_;
    std::span<const Edge> rows_;
};

// The same for a weight vector: a view when contiguous and aligned, else a copy.
class WeightRows {
  public:
    explicit WeightRows(ArrayView view);
    WeightRows(WeightRows&&) = default;
    WeightRows(const WeightRows&) = delete;
    WeightRows& operator=(const WeightRows&) = delete;
    operator std::span<const double>() const { return values_; }
    std::size_t size() const { return values_.size(); }

  private:
    std::vector<double> copy_;
    std::span<const double> values_;
};

std::vector<std::uint64_t> copy_ids(ArrayView view);
std::vector<double> copy_weights(ArrayView view);
inline std::optional<std::vector<double>> copy_weights(const std::optional<ArrayView>& view) {
    if (!view) return std::nullopt;
    return copy_weights(*view);
}

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

// Raises the InputError of a failed check or result.
inline void raise_if(const Check& check) {
    if (check) throw *check;
}
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

// Translates every C++ failure into the Python exception it stands for.
void raise_current_exception() noexcept;

// Not noexcept: the forced unwind of a thread ended at interpreter exit
// passes through.
template <class F>
PyObject* guarded(F&& f) {
    try {
        // Sweeps run with the lock held check for signals themselves.
        parallel::PollScope poll([] { return PyErr_CheckSignals() < 0; });
        return f();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace knotwell::py
