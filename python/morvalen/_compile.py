"""``compile``: a program turned into a Python callable, cached."""

from __future__ import annotations

import builtins
import functools
from typing import Any, Callable, Iterable, Optional, Tuple

from . import _morvalen, _morvalen_ext

_BACKENDS = ("python", "numpy")
_FUNCTION_NAME = "_kernel"
_NUMPY_EXTRA = (
    "the numpy back end of morvalen needs numpy and ml_dtypes; "
    "install them with: pip install 'morvalen[numpy]'"
)


def compile(
    source: str,
    *,
    optimize: bool = False,
    backend: str = "python",
    wrt: Optional[Iterable[str]] = None,
) -> Callable[..., Any]:
    """Returns a function evaluating the program ``source``.

    Its positional parameters are the program's parameters, in order, under
    the names the emitted code gives them. It returns the program's value, or
    a tuple for a tuple result.

    * ``backend="python"``: the function that ``emit_python`` defines, over
      Python numbers.
    * ``backend="numpy"``: the vectorised kernel of ``emit_numpy``. Arguments
      (numbers or arrays, broadcast as numpy does) are converted to their
      parameters' dtypes and every operation computes in its own dtype, so
      ``f32`` rounds to 32 bits and ``u8`` wraps at 8 bits. Floating results
      follow IEEE (inf, -inf, nan) with no exception and no warning, whatever
      the caller's ``np.errstate``; integer division by zero gives 0, as numpy
      does. A Dask array stays lazy: a Dask array comes back, and it computes
      later, under the caller's floating-point settings.
    * ``wrt``: floating parameter names; the function then returns
      ``(value, d/dv1, d/dv2, ...)``, each derivative the one ``diff`` gives,
      with every shared subexpression computed once.

    Raises ``MorvalenError`` when the program does not compile (or ``diff``
    refuses a name of ``wrt``), ``ValueError`` for an unknown ``backend``, and
    ``ImportError`` when the numpy back end is used without numpy and
    ml_dtypes. Compiling the same arguments again returns the cached function.
    """
    if type(backend) is not str or backend not in _BACKENDS:
        raise ValueError(f"backend must be 'python' or 'numpy', got {backend!r}")
    # Only plain, hashable arguments reach the cache; anything else takes the
    # long way, where the emitters raise their argument errors (`optimize=1`
    # must not find the entry of `optimize=True`).
    if type(source) is str and type(optimize) is bool:
        if wrt is None:
            return _cached(source, optimize, backend, None)
        if type(wrt) in (tuple, list) and all(type(name) is str for name in wrt):
            return _cached(source, optimize, backend, tuple(wrt))
    return _build(source, optimize, backend, wrt)


@functools.lru_cache(maxsize=1024)
def _cached(source: str, optimize: bool, backend: str, wrt: Optional[Tuple[str, ...]]) -> Callable[..., Any]:
    return _build(source, optimize, backend, wrt)


def _build(source: Any, optimize: Any, backend: str, wrt: Any) -> Callable[..., Any]:
    if backend == "numpy":
        text = _morvalen_ext.emit_numpy(source, _FUNCTION_NAME, optimize=optimize, wrt=wrt)
    elif wrt is None:
        text = _morvalen.emit_python(source, _FUNCTION_NAME, optimize=optimize)
    else:
        text = _morvalen_ext.emit_python(source, _FUNCTION_NAME, optimize=optimize, wrt=wrt)
    namespace: dict = {}
    try:
        exec(builtins.compile(text, "<morvalen>", "exec"), namespace)
    except ModuleNotFoundError as error:
        if error.name in ("numpy", "ml_dtypes"):
            raise ImportError(_NUMPY_EXTRA, name=error.name) from error
        raise
    return namespace[_FUNCTION_NAME]
