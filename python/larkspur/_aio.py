"""asyncio support for larkspur.Lookup: its eventfd, watched by the running
event loop (no thread per await)."""

from __future__ import annotations

import asyncio


async def wait_for_lookup(lookup):
    """The lookup's result, once its eventfd says it is done."""
    if not lookup.done():
        loop = asyncio.get_running_loop()
        ready = loop.create_future()
        fd = lookup.fileno()

        def on_ready() -> None:
            if not ready.done():
                ready.set_result(None)

        loop.add_reader(fd, on_ready)
        try:
            await ready
        finally:
            loop.remove_reader(fd)
    return lookup.result()
