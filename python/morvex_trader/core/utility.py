"""Small helpers of the platform core."""

import functools
import sys
import traceback
from typing import Any, Callable, TypeVar

F = TypeVar("F", bound=Callable[..., Any])


def safe_call(func: F) -> F:
    """Wrap `func` so that a failure is reported on standard error instead of raised.

    The wrapped call returns None when `func` fails. Gateways put it around
    operations whose failure must not stop the caller (unsubscribing, for example).
    """

    @functools.wraps(func)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        try:
            return func(*args, **kwargs)
        except Exception as error:  # the wrapper exists to receive every failure
            name = getattr(func, "__qualname__", repr(func))
            print(f"safe_call: {name} failed: {error!r}", file=sys.stderr, flush=True)
            traceback.print_exc(file=sys.stderr)
            return None

    return wrapper  # type: ignore[return-value]
