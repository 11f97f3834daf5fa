"""Cancelling native calls that the package runs on threads of its own.

A Ctrl-C reaches only the main thread: a `knotwell_rs` call running on
another thread never hears of it and runs to its end. A `CancelScope` entered
on such a thread lets any other thread stop the calls made inside it: at its
next poll (every 20 ms or so of work) the call unwinds, frees what it holds
and raises KeyboardInterrupt in its own thread. Calls too short to reach a
poll finish normally; calls on other threads, inside scopes of their own or
none, are not affected. A function that keeps the interpreter lock (core
numbers, say) cannot be cancelled while it runs, since no Python code runs
meanwhile to call `cancel`.

The scopes live in the extension's shared object, as three plain C functions
reached through ctypes (loading the already loaded library gives the same
instance, so the same scopes), so the module's own attributes stay as they
are.

Examples
--------
>>> import threading, knotwell_rs as kw
>>> scope = CancelScope()
>>> def work():
...     with scope:
...         try:
...             kw.erdos_renyi_rust(3000, 3000 * 2999 // 2, 1)
...         except KeyboardInterrupt:
...             pass
>>> t = threading.Thread(target=work)
>>> t.start()
>>> scope.cancel()
>>> t.join()
"""

from __future__ import annotations

import ctypes
import threading

import knotwell_rs

_lib = ctypes.CDLL(knotwell_rs.__file__)
_enter = _lib.knotwell_cancel_scope_enter
_enter.argtypes = []
_enter.restype = ctypes.c_uint64
_cancel = _lib.knotwell_cancel
_cancel.argtypes = [ctypes.c_uint64]
_cancel.restype = ctypes.c_int
_exit = _lib.knotwell_cancel_scope_exit
_exit.argtypes = [ctypes.c_uint64]
_exit.restype = ctypes.c_int


class CancelScope:
    """Native calls made on one thread inside ``with scope:``, stoppable from
    any thread with ``scope.cancel()``.

    The scope is entered once, on the thread that makes the calls; scopes
    nest, innermost exited first, and cancelling one stops the calls of the
    scopes inside it too. ``cancel()`` may come before the scope is entered
    (the calls then stop at their first poll) or after it is left (no
    effect)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._token = 0
        self._entered = False
        self._cancelled = False

    @property
    def cancelled(self) -> bool:
        """Whether `cancel` has been called."""
        return self._cancelled

    def cancel(self) -> None:
        """Stops the calls inside the scope at their next poll."""
        with self._lock:
            self._cancelled = True
            if self._token:
                _cancel(self._token)

    def __enter__(self) -> CancelScope:
        with self._lock:
            if self._entered:
                raise RuntimeError("a CancelScope can be entered only once")
            token = _enter()
            if token == 0:
                raise MemoryError("could not open a cancel scope")
            self._entered = True
            self._token = token
            if self._cancelled:
                _cancel(token)
        return self

    def __exit__(self, *exc: object) -> None:
        with self._lock:
            if _exit(self._token) != 0:
                raise RuntimeError("a CancelScope must be left on its own thread, innermost first")
            self._token = 0
