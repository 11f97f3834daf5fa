"""The module boundary: binding, conversion, messages, result arrays."""

import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import knotwell_rs as kw
from conftest import E, FUNCTIONS

PATH = E([(0, 1), (1, 2)])

# AddressSanitizer keeps freed memory in quarantine, so process-size checks
# only mean something in the optimised build.
rss_checked = pytest.mark.skipif(bool(os.environ.get("KNOTWELL_SANITIZE")), reason="sanitizer build")


def test_module_attributes():
    assert kw.__doc__ == "Python module for knotwell_rs"
    assert kw.__all__ == list(FUNCTIONS)
    public = {name for name in dir(kw) if not name.startswith("__")}
    assert public == set(kw.__all__)
    for name in kw.__all__:
        fn = getattr(kw, name)
        assert fn.__module__ == "knotwell_rs"
        assert fn.__self__ is kw
        assert fn.__text_signature__.startswith("(")


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("degree_rust", "(n, edges, directed)", "Compute degree sequence"),
        ("strength_rust", "(n, edges, weights, directed)", "Compute strength sequence (weighted degree)"),
        ("betweenness_rust", "(n, edges, weights=None, directed=False, normalized=True)",
         "Compute betweenness centrality (Brandes)"),
        ("louvain_rust", "(n, edges, weights=None, resolution=1.0, seed=None, max_levels=20)",
         "Detect communities with the Louvain method\n\nReturns (labels, modularity, n_communities, n_levels)."),
    ],
)
def test_signatures_and_docstrings(name, signature, doc):
    fn = getattr(kw, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc


def test_second_initialisation_fails():
    code = textwrap.dedent("""
        import sys, importlib
        import knotwell_rs
        del sys.modules["knotwell_rs"]
        try:
            importlib.import_module("knotwell_rs")
        except ImportError as e:
            print(e)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "PyO3 modules may only be initialized once per interpreter process"


@pytest.mark.parametrize("second_call", [False, True])
def test_numpy_unreachable_is_internal_fault(second_call):
    # Quietly: nothing on stderr, no sys.last_exc; the import failure is the
    # cause. A second call fails the same way.
    code = textwrap.dedent(f"""
        import sys
        sys.modules["numpy"] = None
        import knotwell_rs
        for _ in range({2 if second_call else 1}):
            try:
                knotwell_rs.degree_rust(3, [], False)
            except BaseException as e:
                print(type(e).__module__, type(e).__name__, isinstance(e, Exception), str(e))
                print(type(e.__cause__).__name__, hasattr(sys, "last_exc"))
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert proc.stderr == ""
    lines = proc.stdout.splitlines()
    assert len(lines) == (4 if second_call else 2)
    for i in range(0, len(lines), 2):
        assert lines[i].startswith("pyo3_runtime PanicException False Failed to access NumPy array API capsule")
        assert lines[i + 1] == "ModuleNotFoundError False"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: kw.in_degree_rust(1, PATH, False), "in_degree_rust() takes 2 positional arguments but 3 were given"),
        (lambda: kw.degree_rust(1, PATH, False, 1, 2),
         "degree_rust() takes 3 positional arguments but 5 were given"),
        (lambda: kw.degree_rust(1), "degree_rust() missing 2 required positional arguments: 'edges' and 'directed'"),
        (lambda: kw.degree_rust(), "degree_rust() missing 3 required positional arguments: 'n', 'edges', and 'directed'"),
        (lambda: kw.degree_rust(edges=PATH, directed=True), "degree_rust() missing 1 required positional argument: 'n'"),
        (lambda: kw.degree_rust(1, PATH, n=2), "degree_rust() got multiple values for argument 'n'"),
        (lambda: kw.degree_rust(1, PATH, directed=True, x=0), "degree_rust() got an unexpected keyword argument 'x'"),
        (lambda: kw.degree_rust(1, PATH, x=0, directed=1), "degree_rust() got an unexpected keyword argument 'x'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_optional_parameters_binding_messages():
    with pytest.raises(TypeError, match=r"^betweenness_rust\(\) missing 1 required positional argument: 'edges'$"):
        kw.betweenness_rust(1)
    with pytest.raises(TypeError, match=r"^betweenness_rust\(\) takes from 2 to 5 positional arguments but 6 were given$"):
        kw.betweenness_rust(3, PATH, None, False, True, 1)


class IndexRaises:
    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("no index here") from inner


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((3, PATH, 1), TypeError, "argument 'directed': 'int' object cannot be converted to 'PyBool'"),
        ((3, PATH, np.bool_(True)), TypeError, "argument 'directed': 'bool' object cannot be converted to 'PyBool'"),
        ((3, PATH, None), TypeError, "argument 'directed': 'NoneType' object cannot be converted to 'PyBool'"),
        ((-1, PATH, False), OverflowError, "can't convert negative int to unsigned"),
        ((2**64, PATH, False), OverflowError, None),
        ((3.0, PATH, False), TypeError, "argument 'n': 'float' object cannot be interpreted as an integer"),
        (("3", PATH, False), TypeError, "argument 'n': 'str' object cannot be interpreted as an integer"),
        ((3, PATH.astype(np.int64), False), TypeError, "argument 'edges': type mismatch:\n from=int64, to=uint64"),
        ((3, PATH.astype(np.uint32), False), TypeError, "argument 'edges': type mismatch:\n from=uint32, to=uint64"),
        ((3, [[0, 1]], False), TypeError, "argument 'edges': 'list' object cannot be converted to 'PyArray<T, D>'"),
        ((3, PATH[0], False), TypeError, "argument 'edges': dimensionality mismatch:\n from=1, to=2"),
        ((3, PATH[None], False), TypeError, "argument 'edges': dimensionality mismatch:\n from=3, to=2"),
        ((3, PATH.astype(">u8"), False), TypeError, "argument 'edges': type mismatch:\n from=>u8, to=uint64"),
        # The first bad parameter stops conversion.
        ((-1, [1], 1), OverflowError, "can't convert negative int to unsigned"),
        ((3, [1], 1), TypeError, "argument 'edges': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ],
)
def test_conversion_messages(args, exc, message):
    with pytest.raises(exc) as info:
        kw.degree_rust(*args)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_conversion_error_keeps_inner_cause():
    with pytest.raises(TypeError) as info:
        kw.degree_rust(IndexRaises(), PATH, False)
    assert str(info.value) == "argument 'n': no index here"
    assert isinstance(info.value.__cause__, KeyError)


def test_count_accepts_index_objects():
    assert kw.degree_rust(np.uint8(3), PATH, True).tolist() == [1, 1, 0]
    assert kw.degree_rust(True, E([(0, 0)]), False).tolist() == [1]


@pytest.mark.parametrize(
    "weights, exc, message",
    [
        (np.array([1.0, 2.0], dtype=np.float32), TypeError,
         "argument 'weights': type mismatch:\n from=float32, to=float64"),
        (np.ones((2, 1)), TypeError, "argument 'weights': dimensionality mismatch:\n from=2, to=1"),
        (None, TypeError, "argument 'weights': 'NoneType' object cannot be converted to 'PyArray<T, D>'"),
        (np.ones(3), ValueError, "weights length (3) must match edges length (2)"),
        (np.array([1.0, -2.5]), ValueError, "weight 1 is -2.5, but weights must be finite and non-negative"),
        (np.array([np.nan, 1.0]), ValueError, "weight 0 is NaN, but weights must be finite and non-negative"),
        (np.array([np.inf, 1.0]), ValueError, "weight 0 is inf, but weights must be finite and non-negative"),
        (np.array([1.0, -np.inf]), ValueError, "weight 1 is -inf, but weights must be finite and non-negative"),
        (np.array([-1.0, 1.0]), ValueError, "weight 0 is -1, but weights must be finite and non-negative"),
        (np.array([1.0, -1e21]), ValueError,
         "weight 1 is -1000000000000000000000, but weights must be finite and non-negative"),
        (np.array([-1e-7, 1.0]), ValueError, "weight 0 is -0.0000001, but weights must be finite and non-negative"),
        (np.array([-1e300, 1.0]), ValueError, "weight 0 is -1" + "0" * 300 + ", but weights must be finite and non-negative"),
        (np.array([-0.1, 1.0]), ValueError, "weight 0 is -0.1, but weights must be finite and non-negative"),
        (np.array([-5e-324, 1.0]), ValueError,
         "weight 0 is -0." + "0" * 323 + "5, but weights must be finite and non-negative"),
        (np.array([-123.456, 1.0]), ValueError, "weight 0 is -123.456, but weights must be finite and non-negative"),
    ],
)
def test_weight_messages(weights, exc, message):
    with pytest.raises(exc) as info:
        kw.strength_rust(3, PATH, weights, False)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "n, edges, message",
    [
        (3, np.zeros((3, 3), np.uint64), "edges must have shape [m, 2], got [3, 3]"),
        (3, np.zeros((0, 3), np.uint64), "edges must have shape [m, 2], got [0, 3]"),
        (3, E([(0, 1), (1, 5), (7, 0)]), "edge 1 (1, 5) names a node id outside [0, 3)"),
        (0, E([(0, 0)]), "edge 0 (0, 0) names a node id outside [0, 0)"),
        (2, E([(0, 2)]), "edge 0 (0, 2) names a node id outside [0, 2)"),
        (2, E([(2**64 - 1, 0)]), "edge 0 (18446744073709551615, 0) names a node id outside [0, 2)"),
    ],
)
def test_edge_messages(n, edges, message):
    with pytest.raises(ValueError) as info:
        kw.degree_rust(n, edges, False)
    assert str(info.value) == message


def test_range_checked_before_weights():
    with pytest.raises(ValueError, match=r"^edge 0 \(0, 9\)"):
        kw.strength_rust(3, E([(0, 9), (0, 1)]), np.array([np.nan]), False)


def test_shape_checked_after_all_conversions():
    with pytest.raises(TypeError, match="argument 'directed'"):
        kw.strength_rust(3, np.zeros((3, 3), np.uint64), np.ones(3), 1)


def layouts(rows):
    base = E(rows)
    fortran = np.asfortranarray(base)
    reversed_rows = E(rows[::-1])[::-1]
    wide = np.zeros((len(rows), 5), dtype=np.uint64)
    wide[:, 1] = base[:, 0]
    wide[:, 3] = base[:, 1]
    strided = wide[:, 1::2]
    readonly = base.copy()
    readonly.flags.writeable = False
    unaligned_buf = np.zeros(len(rows) * 16 + 1, dtype=np.uint8)[1:]
    unaligned = unaligned_buf.view(np.uint64).reshape(-1, 2)
    unaligned[:] = base
    return [base, fortran, reversed_rows, strided, readonly, unaligned]


@pytest.mark.parametrize("layout", range(6))
def test_any_layout_reads_logical_rows(layout):
    rows = [(0, 1), (1, 2), (2, 2), (3, 0)]
    edges = layouts(rows)[layout]
    before = edges.copy()
    assert kw.out_degree_rust(4, edges).tolist() == [1, 1, 1, 1]
    assert kw.in_degree_rust(4, edges).tolist() == [1, 1, 2, 0]
    assert kw.degree_rust(4, edges, False).tolist() == [2, 2, 2, 1]
    weights = np.array([9.0, 1.0, 0.0, 3.0, 4.0, 5.0, 2.0, 8.0])[::2]  # strided: 9, 0, 4, 2
    assert kw.strength_rust(4, edges, weights, False).tolist() == [11.0, 9.0, 4.0, 2.0]
    np.testing.assert_array_equal(edges, before)


def test_results_are_fresh_owned_arrays():
    edges = PATH.copy()
    a = kw.degree_rust(3, edges, False)
    b = kw.degree_rust(3, edges, False)
    for r in (a, b):
        assert r.dtype == np.uint64 and r.flags.c_contiguous and r.flags.writeable
        assert not np.shares_memory(r, edges)
    a[0] = 99
    assert b[0] == 1
    empty = kw.strength_rust(0, E([]), np.zeros(0), False)
    assert empty.shape == (0,) and empty.dtype == np.float64 and empty.flags.writeable


@rss_checked
def test_result_buffer_freed_with_array():
    import resource

    n = 10_000_000  # 80 MB per result
    kw.degree_rust(n, PATH, False)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in range(20):
        r = kw.degree_rust(n, PATH, False)
        del r
    gc.collect()
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 200_000  # KiB


@pytest.mark.parametrize("n", [2**62, 2**64 - 1])
def test_absurd_node_count_is_memory_error(n):
    with pytest.raises(MemoryError):
        kw.degree_rust(n, PATH, False)
    with pytest.raises(MemoryError):
        kw.in_degree_rust(n, PATH)
    with pytest.raises(MemoryError):
        kw.strength_rust(2**63, PATH, np.ones(2), True)


@rss_checked
def test_failing_calls_leave_nothing_behind():
    import resource

    edges = E([(0, 1), (1, 2), (2, 0)] * 50)
    bad = E([(0, 9)])
    weights = np.ones(150)
    calls = [
        lambda: kw.degree_rust(3, edges, False),
        lambda: kw.strength_rust(3, edges, weights, False),
        lambda: kw.degree_rust(3, bad, False),
        lambda: kw.strength_rust(3, edges, weights[:2], False),
        lambda: kw.degree_rust(3, edges, 1),
        lambda: kw.degree_rust(3, [1], False),
        lambda: kw.degree_rust(2**62, edges, False),
    ]

    def run(times):
        for _ in range(times):
            for call in calls:
                try:
                    call()
                except (ValueError, TypeError, MemoryError):
                    pass

    run(200)
    gc.collect()
    refs = [sys.getrefcount(x) for x in (edges, bad, weights)]
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    run(1500)
    gc.collect()
    assert [sys.getrefcount(x) for x in (edges, bad, weights)] == refs
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss < 20_000  # KiB
