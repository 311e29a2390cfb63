"""Work that runs after a response has been sent."""
import asyncio
import inspect
import logging
from collections.abc import Callable

log = logging.getLogger("calvenor")

# A callable without arguments (functools.partial for arguments), sync or async.
BackgroundTask = Callable[[], object]


async def run_background(task: BackgroundTask | None) -> None:
    """Run `task`: a coroutine function is awaited, a sync callable runs in a thread so it
    cannot block the event loop. A failure is logged; the response is already out."""
    if task is None:
        return
    try:
        if inspect.iscoroutinefunction(task) or inspect.iscoroutinefunction(getattr(task, "__call__", None)):
            result = task()
        else:
            result = await asyncio.to_thread(task)
        if inspect.isawaitable(result):
            await result
    except Exception:
        log.exception("background task %r failed", task)
