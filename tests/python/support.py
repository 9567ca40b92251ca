"""Small helpers of the Python tests."""

from __future__ import annotations

import asyncio
import pathlib
from typing import Callable

ROOT = pathlib.Path(__file__).resolve().parents[2]


async def until(condition: Callable[[], bool], timeout: float = 5.0) -> None:
    """Waits until the condition holds; fails the test after `timeout` seconds."""
    loop = asyncio.get_running_loop()
    end = loop.time() + timeout
    while not condition():
        assert loop.time() < end, "condition not reached in time"
        await asyncio.sleep(0.01)
