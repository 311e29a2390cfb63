"""Work that runs after a response has been sent."""
import asyncio
import inspect
import logging
from collections.abc import Callable
from contextvars import ContextVar
from typing import Any

log = logging.getLogger("calvenor")

# A callable without arguments (functools.partial for arguments), sync or async.
BackgroundTask = Callable[[], object]

# The App whose sync background task runs in a worker thread, whose stack has none of its frames.
background_app: ContextVar[Any] = ContextVar("calvenor_background_app", default=None)


async def run_background(task: BackgroundTask | None) -> None:
    """Run `task`: a coroutine function is awaited, a sync callable runs in a thread so it
    cannot block the event loop. A failure is logged; the response is already out."""
    if task is None:
        return
    try:
        if inspect.iscoroutinefunction(task) or inspect.iscoroutinefunction(getattr(task, "__call__", None)):
            result = task()
        else:
            from .urls import nearest_app

            token = background_app.set(nearest_app())  # the thread runs in a copy of this context
            try:
                result = await asyncio.to_thread(task)
            finally:
                background_app.reset(token)
        if inspect.isawaitable(result):
            await result
    except Exception:
        log.exception("background task %r failed", task)
