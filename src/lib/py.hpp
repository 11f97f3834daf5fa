// The module boundary's toolkit: owned references, argument binding and
// conversion, result builders, the lock guard and the entry-point fence.
// Entry points are made from the signature table by lib/slots.hpp: binding,
// conversion in parameter order and the shape check happen there, and the
// function's binding function receives typed arguments:
//
//   py::Ref foo_rust(std::uint64_t n, OwnedRows edges) {
//       auto result = py::compute(sig::kFoo, [&] { return foo(n, std::move(edges)); });  // checks, then the work
//       return py::u64_vector(std::move(result));       // zero-copy result
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
#include <unistd.h>

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
#include "parallel/unwind.hpp"

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
    // Whether converting every parameter after `i` runs no Python code (no
    // `__index__`, `__float__`, ...): only then may slot `i`'s array be read
    // in place after the conversions.
    bool inert_after(std::size_t i) const;

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
    EdgeRows edge_rows(std::size_t i, bool borrow) const;
    WeightRows weight_rows(std::size_t i, bool borrow) const;

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

// Signals without the lock. The interpreter's signal handler (the C-level
// one, for every signal with a Python handler, and for interrupt_main())
// marks the signal as tripped and then writes its number to the wakeup fd.
// While a watch lives on the interpreter's main thread, the only thread that
// runs Python signal handlers, that fd is a non-blocking pipe of the module's,
// so `signal_arrived` learns of a tripped signal with one read: no lock, no
// Python code, nothing of the caller's touched. A wakeup fd that the program
// had set (asyncio's, say) is put back when the outermost watch ends, and
// every byte the pipe received meanwhile is passed on to it. Setting and
// restoring the fd are a few stores, cheap enough for any call; the main
// thread is the process's first thread (where CPython starts and where it
// moves on fork). Watches nest; on other threads they do nothing.
//
// `GilRelease` opens one, and polls in lock-released work ask
// `signal_arrived()` (below the binding: parallel::signal_arrived()) before
// they take the lock to run the handlers. A call that keeps the lock and
// reads the caller's array in place needs no watch: it does not poll until
// that read is over, so no handler can free the array under it. A signal
// that tripped before the watch was opened left no byte; for SIGINT the
// watch trips it again so that it is seen.
class SignalWatch {
  public:
    SignalWatch();   // lock held
    ~SignalWatch();  // lock held
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    // Whether this thread is watched: the main thread inside a watch whose
    // pipe could be made. Off it, signal handlers never run here.
    static bool watching() noexcept;

  private:
    bool entered_ = false;
    unsigned generation_ = 0;
};

// True once per batch of signals that tripped since the last true answer
// while this thread was watched; false on any other thread.
bool signal_arrived() noexcept;

// Whether this is the interpreter's main thread.
bool on_main_thread() noexcept;

// Takes the interpreter lock back. Under libstdc++ the forced unwind that
// ends a daemon thread here at exit passes through the callers (see
// parallel/unwind.hpp). Under libc++abi, where no handler can pass it on,
// it stops here: the thread keeps its stack, and with it every caller's
// data that pool workers may still use, and sleeps until the process ends.
inline void retake_lock(PyThreadState* state) {
#if KNOTWELL_TYPED_FORCED_UNWIND
    PyEval_RestoreThread(state);
#else
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        // Only the thread's end leaves PyEval_RestoreThread by unwinding.
        for (;;) pause();
    }
#endif
}

// Releases the interpreter lock for the life of the guard; takes it back on
// every exit path, exceptions included. While it lives, polls on this thread
// (sweeps waiting for the pool, long loops) never wait for the lock unless
// there is work for it: off the main thread signal handlers never run, so
// the poll takes no lock at all (cancel scopes are checked below it, without
// one); on the main thread it re-takes the lock only when `signal_arrived`
// says a signal tripped, to run the handlers. So another thread holding the
// lock for long never slows the work down. Should the watch be unavailable
// (no pipe could be made), the main thread falls back to re-taking the lock
// at every poll.
//
// At interpreter exit CPython 3.13 ends a daemon thread that retakes the lock
// with pthread_exit, a forced unwind that must pass through untouched: the
// state is forgotten before each retake, so an unwinding guard does not try
// again, and `without_gil` retakes the lock outside of any other unwinding.
class GilRelease {
  public:
    GilRelease() : main_(on_main_thread()), state_(PyEval_SaveThread()), poll_([this] { return poll(); }) {}
    ~GilRelease() {
        if (state_ != nullptr) retake_lock(state_);
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

    void restore() { retake_lock(std::exchange(state_, nullptr)); }

  private:
    bool poll() {
        if (!main_) return false;
        if (SignalWatch::watching() && !signal_arrived()) return false;
        restore();
        const bool raised = PyErr_CheckSignals() < 0;
        state_ = PyEval_SaveThread();
        return raised;
    }

    SignalWatch watch_;  // set before and restored after the lock is released
    bool main_;
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
    }
#if KNOTWELL_TYPED_FORCED_UNWIND
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (...) {
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

// A function table's entry: name and docstring (with its text signature)
// from the function's signature table, the fast call with keywords. The
// name must match the entry point's.
template <const sig::Function& F>
constexpr PyMethodDef entry(PyObject* (*fn)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
    return {F.name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
            METH_FASTCALL | METH_KEYWORDS, sig::Doc<F>::text.data()};
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
    }
#if KNOTWELL_TYPED_FORCED_UNWIND
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace knotwell::py
