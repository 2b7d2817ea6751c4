"""morvalen: a compiler for a small typed language of scalar math expressions.

A program is one function: a header of typed parameters between two bars,
optional assignment lines, and one result expression::

    |x: f64, n: i32|
    y = x * 2.0
    y ** n

Three operations take such a program as text and return text:

* ``simplify_expr(source, *, optimize=False)`` renders the folded (and, on
  request, optimised) result expression;
* ``diff(source, variable, *, optimize=False)`` renders the derivative of the
  result with respect to one floating parameter;
* ``emit_python(source, function_name="_kernel", *, optimize=False)`` returns
  the source of a Python function evaluating the program;
* ``emit_numpy(source, function_name="_kernel", *, optimize=False, wrt=None)``
  returns the source of a vectorised numpy function computing the program in
  its declared dtypes (with ``wrt``, its value and its derivatives).

``simplify_program(source, *, optimize=False)`` and
``diff_program(source, variable, *, optimize=False)`` return the same results
as the text of a program: the header, a line binding every shared
subexpression to a name, and the result expression. The text stays
proportional to the expression's graph, reads back into the same expression
(so ``simplify_program`` of it returns it unchanged), and can be
differentiated again.

``compile(source, *, optimize=False, backend="python", wrt=None)`` returns the
function itself, ready to call (``backend="numpy"`` needs the extra
``morvalen[numpy]``).

Every compilation failure raises ``MorvalenError`` with one message.
"""

from ._morvalen import MorvalenError, __version__, diff, emit_python, simplify_expr
from ._morvalen_ext import diff_program, emit_numpy, simplify_program
from ._compile import compile
from ._pickling import register as _register_pickling

_register_pickling()

__all__ = [
    "__version__",
    "MorvalenError",
    "simplify_expr",
    "diff",
    "emit_python",
    "emit_numpy",
    "simplify_program",
    "diff_program",
    "compile",
]
