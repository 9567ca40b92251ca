"""The package as users get it: installed with pip (offline, with Debian's
setuptools) into a virtual environment, importable there, and typed for their
type checker."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from support import ROOT

PACKAGE = ROOT / "clients" / "python"

USER_PROGRAM = '''
import toruna

async def main() -> None:
    servers: list[toruna.Server] = await toruna.discover(timeout=0.1, to="127.0.0.1")
    async with toruna.connect(servers[0].address, name="Typed") as client:
        event: toruna.Event = await client.create_event("Temp", unit="°C")
        await event.publish(21)
        async for value in client.subscribe("*/Temp"):
            line: str = f"{value.path} {value.value} {value.unit} {value.time:%H:%M}"
'''


def run(*args: str, cwd: pathlib.Path) -> subprocess.CompletedProcess[str]:
    # Without the source tree on the path: what is imported must be the installed copy.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=240)


def test_pip_install_into_a_venv(tmp_path):
    # Build from a copy, so that the build leaves nothing in the source tree.
    source = tmp_path / "source"
    shutil.copytree(PACKAGE, source, ignore=shutil.ignore_patterns("build", "*.egg-info",
                                                                   "__pycache__"))
    venv = tmp_path / "venv"
    done = run(sys.executable, "-m", "venv", "--without-pip", "--system-site-packages",
               str(venv), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    python = venv / "bin" / "python"
    done = run(sys.executable, "-m", "pip", "--python", str(python), "install", "--no-index",
               "--no-build-isolation", str(source), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr

    check = ("import importlib.metadata, pathlib, toruna; "
             "print(toruna.__file__); print(importlib.metadata.version('toruna')); "
             "print((pathlib.Path(toruna.__file__).parent / 'py.typed').exists())")
    done = run(str(python), "-c", check, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    where, version, typed = done.stdout.split()
    assert where.startswith(str(venv)) and typed == "True"
    assert version == (PACKAGE / "toruna" / "__init__.py").read_text().split(
        '__version__ = "')[1].split('"')[0]

    # The installed types reach a user's type checker: a correct program passes,
    # a wrong one is caught.
    (tmp_path / "good.py").write_text(USER_PROGRAM)
    bad = USER_PROGRAM + "    wrong: str = event.has_subscribers\n"
    (tmp_path / "bad.py").write_text(bad)
    mypy = [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
            "--python-executable", str(python)]
    done = run(*mypy, "good.py", cwd=tmp_path)
    assert done.returncode == 0, done.stdout
    done = run(*mypy, "bad.py", cwd=tmp_path)
    assert done.returncode == 1, done.stdout
    assert f"bad.py:{len(bad.splitlines())}: error: Incompatible types" in done.stdout, done.stdout


def test_package_examples_and_readme_are_strictly_typed(tmp_path):
    # The README's programs as files of their own, beside the examples.
    readme = (PACKAGE / "README.md").read_text(encoding="utf-8")
    snippets = re.findall(r"```python\n(.*?)```", readme, re.S)
    assert len(snippets) == 3
    for n, code in enumerate(snippets):
        (tmp_path / f"readme_{n}.py").write_text(code, encoding="utf-8")
    programs = [str(p) for p in sorted(tmp_path.glob("readme_*.py"))]
    programs += [str(p) for p in sorted((ROOT / "examples" / "python").glob("*.py"))]
    done = run(sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
               str(PACKAGE / "toruna"), *programs, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    modules = len(list((PACKAGE / "toruna").glob("*.py")))
    assert f"no issues found in {modules + len(programs)} source files" in done.stdout
