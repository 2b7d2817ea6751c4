from typing import Final

__version__: Final[str]
__all__ = ["__version__", "MorvalenError", "simplify_expr", "diff", "emit_python"]

class MorvalenError(Exception):
    """Raised for every compilation failure; ``args`` holds the one message."""

def simplify_expr(source: str, *, optimize: bool = False) -> str: ...
def diff(source: str, variable: str, *, optimize: bool = False) -> str: ...
def emit_python(source: str, function_name: str = "_kernel", *, optimize: bool = False) -> str: ...
