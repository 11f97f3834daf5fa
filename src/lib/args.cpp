// Argument binding, scalar converters, the entry-point fence.
#include <new>
#include <stdexcept>
#include <string_view>

#include "lib/py.hpp"
#include "parallel/parallel.hpp"

namespace knotwell::py {
namespace {

[[noreturn]] void type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PyErrorSet{};
}

// A pending TypeError becomes "argument '{name}': {message}", keeping the
// original's cause; any other exception passes unchanged.
[[noreturn]] void prefix_pending(const char* name) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised != nullptr && PyErr_GivenExceptionMatches(raised, PyExc_TypeError)) {
        Ref message(PyUnicode_FromFormat("argument '%s': %S", name, raised));
        Ref replacement(message ? PyObject_CallOneArg(PyExc_TypeError, message.get()) : nullptr);
        if (!replacement) {
            // Building the replacement failed; that failure is pending now.
            Py_DECREF(raised);
            throw PyErrorSet{};
        }
        PyException_SetCause(replacement.get(), PyException_GetCause(raised));
        Py_DECREF(raised);
        PyErr_SetRaisedException(replacement.release());
        throw PyErrorSet{};
    }
    PyErr_SetRaisedException(raised);
    throw PyErrorSet{};
}

std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (type == nullptr)
        type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException",
                                         "An internal fault of the module (a broken invariant).", PyExc_BaseException,
                                         nullptr);
    return type;
}

}  // namespace

void set_panic(const std::string& message) {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // creating the type failed; that error is pending
    PyErr_SetString(type, message.c_str());
}

Args::Args(const sig::Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : f_(f) {
    const std::size_t total = f.params.size();
    const std::size_t required = f.required();
    const std::size_t given = static_cast<std::size_t>(nargs);
    if (given > total) {
        const char* was = given == 1 ? "was" : "were";
        std::string takes = required == total ? std::to_string(total)
                                              : "from " + std::to_string(required) + " to " + std::to_string(total);
        type_error(std::string(f.name) + "() takes " + takes + " positional arguments but " + std::to_string(given) +
                   " " + was + " given");
    }
    for (std::size_t i = 0; i < given; ++i) slots_[i] = args[i];
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t slot = total;
        for (std::size_t i = 0; i < total; ++i) {
            const std::string_view name = f.params[i].name;
            if (PyUnicode_EqualToUTF8AndSize(key, name.data(), static_cast<Py_ssize_t>(name.size()))) {
                slot = i;
                break;
            }
        }
        // Table names are NUL-terminated literals (see name()).
        if (slot == total) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f.name.data(), key);
            throw PyErrorSet{};
        }
        if (slots_[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", f.name.data(), key);
            throw PyErrorSet{};
        }
        slots_[slot] = args[nargs + k];
    }
    if (given >= required) return;  // positionally complete: nothing can be missing
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < required; ++i)
        if (slots_[i] == nullptr) missing.push_back(f.params[i].name);
    if (!missing.empty())
        type_error(std::string(f.name) + "() missing " + std::to_string(missing.size()) + " required positional " +
                   (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
}

bool Args::inert_after(std::size_t i) const {
    for (std::size_t j = i + 1; j < f_.params.size(); ++j) {
        PyObject* obj = slots_[j];
        if (obj == nullptr) continue;  // takes its default, converts nothing
        switch (f_.params[j].kind) {
            case sig::Kind::Count:
                if (!PyLong_CheckExact(obj)) return false;
                break;
            case sig::Kind::OptionalCount:
                if (obj != Py_None && !PyLong_CheckExact(obj)) return false;
                break;
            case sig::Kind::Real:
                if (!PyFloat_CheckExact(obj) && !PyLong_CheckExact(obj)) return false;
                break;
            case sig::Kind::Flag:  // a type check; a non-bool is refused as it is
            case sig::Kind::EdgeArray:
            case sig::Kind::IdVector:
            case sig::Kind::WeightVector:
            case sig::Kind::OptionalWeightVector:  // type, shape and dtype checks, then a copy
                break;
        }
    }
    return true;
}

std::uint64_t Args::count(std::size_t i) const {
    if (!given(i)) return sig::count_default(f_.params[i]);
    if (PyLong_CheckExact(slots_[i])) {  // its own index: no call, no new reference
        const unsigned long long value = PyLong_AsUnsignedLongLong(slots_[i]);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) prefix_pending(name(i));
        return value;
    }
    Ref index(PyNumber_Index(slots_[i]));
    if (!index) prefix_pending(name(i));
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) prefix_pending(name(i));
    return value;
}

std::optional<std::uint64_t> Args::optional_count(std::size_t i) const {
    if (!given(i) || slots_[i] == Py_None) return std::nullopt;
    return count(i);
}

bool Args::flag(std::size_t i) const {
    if (!given(i)) return sig::flag_default(f_.params[i]);
    PyObject* obj = slots_[i];
    if (!PyBool_Check(obj)) {
        Ref type_name(PyType_GetQualName(Py_TYPE(obj)));
        if (!type_name) throw PyErrorSet{};
        PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyBool'", name(i),
                     type_name.get());
        throw PyErrorSet{};
    }
    return obj == Py_True;
}

double Args::real(std::size_t i) const {
    if (!given(i)) return sig::real_default(f_.params[i]);
    PyObject* obj = slots_[i];
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) prefix_pending(name(i));
    return value;
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) set_panic("an internal call failed without an exception");
    } catch (const InputError& e) {
        PyErr_SetString(PyExc_ValueError, e.message().c_str());
    } catch (const parallel::WorkersOutOfMemory& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const parallel::Interrupted&) {
        // The poll hook left the signal handler's exception pending.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const parallel::ThreadStartFailed& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown internal fault");
    }
}

}  // namespace knotwell::py
