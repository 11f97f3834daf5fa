// Binding from the signature table: each parameter's kind fixes, at compile
// time, the C++ types a binding function may take for it and the converter
// that makes the value. A module function is then one table entry
// (lib/signatures.hpp) and one binding function that receives typed,
// converted arguments:
//
//   Ref foo_rust(std::uint64_t n, OwnedRows edges, std::optional<std::uint64_t> seed) {
//       return py::u64_vector(py::compute(sig::kFoo, [&] { return foo(std::move(edges), seed); }));
//   }
//   ... py::method<sig::kFoo, foo_rust>() in the file's method list.
//
// `method` checks that the binding's parameters follow the table's kinds in
// order, and makes the entry point, which:
//   1. binds the call's arguments to the table's slots (TypeError on a
//      missing, surplus or unknown argument);
//   2. converts every slot in parameter order, each array copied (or, where
//      allowed, left in place) before the next slot is converted, so nothing
//      a later conversion runs can change what the call sees;
//   3. runs the shape check of the edge array (InputError, raised as
//      ValueError), only after every conversion has succeeded;
//   4. calls the binding function, inside `guarded`.
//
// Kind                  parameter types
// Count                 std::uint64_t
// OptionalCount         std::optional<std::uint64_t>  (None or omitted: nullopt)
// Flag                  bool
// Real                  double
// EdgeArray             OwnedRows     copied rows, narrowed and range-checked
//                                     against the slot "n" (which comes first)
//                       SharedEdges   the caller's rows in place when they are
//                                     C-contiguous and no later conversion can
//                                     run Python code, else a copy (functions
//                                     that keep the lock only; see EdgeRows)
// IdVector              std::vector<std::uint64_t>
// WeightVector          std::vector<double>, or SharedWeights (as SharedEdges)
// OptionalWeightVector  std::optional<std::vector<double>>
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "lib/py.hpp"

namespace knotwell::py {
namespace slots {

// What the conversions of one call share: the node count that sizes and
// range-checks the edge copy.
struct Context {
    std::uint64_t n = 0;
};

// The converter of a parameter of kind K taken as T; undefined where the
// kind does not convert to T. `Raw` is what conversion makes; `finish` turns
// it into the binding's argument once every slot is converted (and may throw
// the shape check's InputError). A Raw a finished argument points into stays
// alive for the binding function's call.
template <sig::Kind K, class T>
struct Slot;

// A parameter whose conversion already yields the binding's argument.
template <class T, T (Args::*Convert)(std::size_t) const>
struct Direct {
    using Raw = T;
    static Raw convert(const Args& a, std::size_t i, const Context&) { return (a.*Convert)(i); }
    static T finish(Raw& raw) { return std::move(raw); }
};

template <>
struct Slot<sig::Kind::Count, std::uint64_t> : Direct<std::uint64_t, &Args::count> {};

template <>
struct Slot<sig::Kind::OptionalCount, std::optional<std::uint64_t>>
    : Direct<std::optional<std::uint64_t>, &Args::optional_count> {};

template <>
struct Slot<sig::Kind::Flag, bool> : Direct<bool, &Args::flag> {};

template <>
struct Slot<sig::Kind::Real, double> : Direct<double, &Args::real> {};

template <>
struct Slot<sig::Kind::EdgeArray, OwnedRows> {
    static constexpr bool needs_n = true;
    using Raw = EdgeArray;
    static Raw convert(const Args& a, std::size_t i, const Context& ctx) { return a.edge_array(i, ctx.n); }
    static OwnedRows finish(Raw& raw) { return to_rows(std::move(raw)); }
};

template <>
struct Slot<sig::Kind::EdgeArray, SharedEdges> {
    static constexpr bool borrows = true;
    using Raw = EdgeRows;
    static Raw convert(const Args& a, std::size_t i, const Context&) { return a.edge_rows(i, a.inert_after(i)); }
    static SharedEdges finish(Raw& raw) { return to_edge_rows(raw); }
};

template <>
struct Slot<sig::Kind::IdVector, std::vector<std::uint64_t>> : Direct<std::vector<std::uint64_t>, &Args::id_vector> {};

template <>
struct Slot<sig::Kind::WeightVector, std::vector<double>> : Direct<std::vector<double>, &Args::weight_vector> {};

template <>
struct Slot<sig::Kind::WeightVector, SharedWeights> {
    static constexpr bool borrows = true;
    using Raw = WeightRows;
    static Raw convert(const Args& a, std::size_t i, const Context&) { return a.weight_rows(i, a.inert_after(i)); }
    static SharedWeights finish(Raw& raw) { return to_weight_rows(raw); }
};

template <>
struct Slot<sig::Kind::OptionalWeightVector, std::optional<std::vector<double>>>
    : Direct<std::optional<std::vector<double>>, &Args::optional_weight_vector> {};

template <class S>
concept Defined = requires { typename S::Raw; };

template <class S>
constexpr bool borrows() {
    if constexpr (requires { S::borrows; })
        return S::borrows;
    else
        return false;
}

template <class S>
constexpr bool needs_n() {
    if constexpr (requires { S::needs_n; })
        return S::needs_n;
    else
        return false;
}

// The slot that holds the node count: a Count named "n".
constexpr bool is_node_count(const sig::Param& p) { return p.kind == sig::Kind::Count && p.name == "n"; }

constexpr std::size_t node_count_slot(const sig::Function& f) {
    for (std::size_t i = 0; i < f.params.size(); ++i)
        if (is_node_count(f.params[i])) return i;
    return f.params.size();
}

template <class Fn>
struct Signature;

template <class R, class... Ts>
struct Signature<R (*)(Ts...)> {
    using Result = R;
    using Params = std::tuple<std::remove_cvref_t<Ts>...>;
    static constexpr std::size_t arity = sizeof...(Ts);
};

template <const sig::Function& F, auto Binding, std::size_t I>
using SlotOf = Slot<F.params[I].kind, std::tuple_element_t<I, typename Signature<decltype(Binding)>::Params>>;

// The compile-time agreement of a binding function with its table entry.
template <const sig::Function& F, auto Binding, std::size_t I>
constexpr bool check_slot() {
    using S = SlotOf<F, Binding, I>;
    static_assert(Defined<S>, "the binding function's parameter type does not match the table's kind of this slot");
    if constexpr (Defined<S>) {
        static_assert(!borrows<S>() || !F.releases_lock,
                      "a function that releases the lock must copy its arrays (no SharedEdges / SharedWeights)");
        static_assert(!needs_n<S>() || node_count_slot(F) < I,
                      "an edge array copied as OwnedRows needs the count \"n\" before it");
    }
    return true;
}

template <const sig::Function& F, auto Binding, std::size_t... I>
constexpr bool check(std::index_sequence<I...>) {
    using Sig = Signature<decltype(Binding)>;
    static_assert(std::is_same_v<typename Sig::Result, Ref>, "a binding function returns the result as a py::Ref");
    static_assert(Sig::arity == F.params.size(), "the binding function takes one parameter per table slot");
    if constexpr (Sig::arity == F.params.size()) return (check_slot<F, Binding, I>() && ... && true);
    return false;
}

// Converts slot I; the node count is remembered for the edge copy.
template <const sig::Function& F, auto Binding, std::size_t I>
typename SlotOf<F, Binding, I>::Raw convert(const Args& a, Context& ctx) {
    auto raw = SlotOf<F, Binding, I>::convert(a, I, ctx);
    if constexpr (is_node_count(F.params[I])) ctx.n = raw;
    return raw;
}

template <const sig::Function& F, auto Binding, std::size_t... I>
Ref invoke(const Args& a, std::index_sequence<I...>) {
    Context ctx;
    // Braced lists evaluate in order: slot by slot, as the table lists them.
    std::tuple<typename SlotOf<F, Binding, I>::Raw...> raw{convert<F, Binding, I>(a, ctx)...};
    typename Signature<decltype(Binding)>::Params typed{SlotOf<F, Binding, I>::finish(std::get<I>(raw))...};
    return std::apply(Binding, std::move(typed));
}

template <const sig::Function& F, auto Binding>
PyObject* entry_point(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const Args a(F, args, nargs, kwnames);
        return invoke<F, Binding>(a, std::make_index_sequence<F.params.size()>{});
    });
}

}  // namespace slots

// The function table entry of F bound to `Binding`: name and docstring (with
// its text signature) from the table, the fast call with keywords.
template <const sig::Function& F, auto Binding>
PyMethodDef method() {
    static_assert(slots::check<F, Binding>(std::make_index_sequence<F.params.size()>{}));
    return entry<F>(&slots::entry_point<F, Binding>);
}

}  // namespace knotwell::py
