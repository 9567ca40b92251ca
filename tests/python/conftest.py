"""Shared by the Python tests: the real server, started fresh for each test that
asks for it, and coroutine tests run on their own event loop.

The tests take the fixed ports, so they run only inside the network namespace
that tests/python/run makes for them.
"""

from __future__ import annotations

import asyncio
import inspect
import os
import pathlib
import signal
import subprocess
import time
from typing import Callable, Iterator

import pytest

TEST_TIMEOUT = float(os.environ.get("TORUNA_TEST_TIMEOUT", "60"))


def pytest_configure(config: pytest.Config) -> None:
    if os.environ.get("TORUNA_NETNS") != "1":
        pytest.exit("these tests start servers on the fixed ports: run them with "
                    "tests/python/run BUILD_DIR, which gives them a network namespace",
                    returncode=2)


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem: pytest.Function) -> bool | None:
    """Runs `async def` tests, each on a new loop and within a time limit."""
    if not inspect.iscoroutinefunction(pyfuncitem.obj):
        return None
    args = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    asyncio.run(asyncio.wait_for(pyfuncitem.obj(**args), TEST_TIMEOUT))
    return True


class Server:
    """toruna-server --headless under a given name, listening when made."""

    def __init__(self, work: pathlib.Path, name: str, netns: Namespace | None = None):
        self.name = name
        self.work = work
        config = work / "config"
        config.mkdir(parents=True, exist_ok=True)
        (config / "Velmor Software.conf").write_text(
            f"[Toruna]\nServername={name}\n", encoding="utf-8")
        self.out = work / "server.out"
        self.err = work / "server.err"
        binary = pathlib.Path(os.environ["TORUNA_BUILD"]) / "src/app/toruna-server"
        env = dict(os.environ, XDG_CONFIG_HOME=str(config))
        with open(self.out, "wb") as out, open(self.err, "wb") as err:
            command = [str(binary), "--headless"]
            if netns is not None:
                command = netns.command(*command)
            self.process = subprocess.Popen(command, stdout=out,
                                            stderr=err, stdin=subprocess.DEVNULL, env=env)
        # The line on standard error comes once both ports are open.
        deadline = time.monotonic() + 20
        while b"running headless" not in self.err.read_bytes():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"the server did not start: {self.err.read_text()}")
            time.sleep(0.02)

    def log(self) -> list[str]:
        """The server's log lines so far."""
        return self.out.read_text(encoding="utf-8", errors="replace").splitlines()

    def kill(self) -> None:
        """Ends it at once, as a crash or a power cut would."""
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()

    def stop(self) -> int:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=30)


@pytest.fixture
def start_server(tmp_path: pathlib.Path) -> Iterator[Callable[..., Server]]:
    """Starts servers; at the end each one that was not killed must stop cleanly
    (status 0: under the sanitizers that also means no leak and no fault)."""
    servers: list[Server] = []

    def start(name: str = "Test Lab", netns: Namespace | None = None) -> Server:
        s = Server(tmp_path / f"server{len(servers)}", name, netns)
        servers.append(s)
        return s

    yield start
    for s in servers:
        killed = s.process.returncode == -signal.SIGKILL
        status = s.stop()
        if not killed:
            assert status == 0, f"server ended with {status}: {s.err.read_text()}"


@pytest.fixture
def server(start_server: Callable[..., Server]) -> Server:
    return start_server()


class Namespace:
    """A network namespace inside the tests' own, held open by a sleeping
    process; command() runs a program in it."""

    def __init__(self) -> None:
        self.holder = subprocess.Popen(["unshare", "-n", "sleep", "infinity"])
        ours = os.readlink("/proc/self/ns/net")
        deadline = time.monotonic() + 10
        while os.readlink(f"/proc/{self.holder.pid}/ns/net") == ours:
            assert time.monotonic() < deadline, "the namespace was not made"
            time.sleep(0.01)
        self.ip("link", "set", "lo", "up")

    def command(self, *args: str) -> list[str]:
        return ["nsenter", "-t", str(self.holder.pid), "-n", *args]

    def ip(self, *args: str) -> None:
        subprocess.run(self.command("ip", *args), check=True)

    def close(self) -> None:
        self.holder.kill()
        self.holder.wait()


@pytest.fixture
def namespace() -> Iterator[Namespace]:
    ns = Namespace()
    yield ns
    ns.close()
