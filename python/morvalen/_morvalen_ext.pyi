from typing import Iterable, Optional

__all__: list[str]

def emit_numpy(
    source: str, function_name: str = "_kernel", *, optimize: bool = False, wrt: Optional[Iterable[str]] = None
) -> str: ...
def emit_python(
    source: str, function_name: str = "_kernel", *, optimize: bool = False, wrt: Optional[Iterable[str]] = None
) -> str: ...
