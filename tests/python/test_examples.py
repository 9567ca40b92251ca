"""The Python examples, run as a user runs them, against the real server."""

import os
import re
import signal
import subprocess
import sys
import time

import pytest

from support import ROOT

EXAMPLES = ROOT / "examples" / "python"


def start(program: str, *args: str) -> subprocess.Popen[str]:
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    return subprocess.Popen([sys.executable, str(EXAMPLES / program), *args], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            encoding="utf-8")


def finish(process: subprocess.Popen[str]) -> list[str]:
    try:
        out, err = process.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
    assert process.returncode == 0, f"status {process.returncode}: {err}"
    return out.splitlines()


@pytest.mark.parametrize("found_by", ["address", "broadcast"])
def test_sensor_publishes_to_the_dashboard(start_server, tmp_path, found_by):
    if found_by == "broadcast" and not os.environ.get("TORUNA_BROADCAST"):
        pytest.skip("the namespace has no interface for a broadcast")
    start_server("Home")
    host = ["--host", "127.0.0.1"] if found_by == "address" else []
    reading = tmp_path / "temp"
    reading.write_text("21400\n")  # millidegrees, as Linux gives them

    dashboard = start("dashboard.py", *host, "--count", "3", "*/Temp")
    # The dashboard registers first; the sensor's event is created later.
    first = dashboard.stdout.readline() if dashboard.stdout else ""
    assert first == "server Home, 0 other clients\n"
    time.sleep(0.1)
    sensor = start("sensor.py", *host, "--name", "Kitchen", "--file", str(reading),
                   "--period", "0.05", "--count", "3")

    shown = finish(dashboard)
    assert len(shown) == 3
    for line in shown:
        assert re.fullmatch(r"\d\d:\d\d:\d\d Kitchen/Temp 21 °C", line), line
    sensor_lines = finish(sensor)
    assert sensor_lines[0] == "created Temp on Home"
    assert [x for x in sensor_lines if x.startswith("published")] == ["published 21 °C"] * 3


def test_dashboard_shows_the_roster(server, tmp_path):
    reading = tmp_path / "temp"
    reading.write_text("300\n")
    sensor = start("sensor.py", "--host", "127.0.0.1", "--name", "Garage", "--event", "Load",
                   "--unit", "", "--file", str(reading), "--scale", "1", "--period", "0.05",
                   "--count", "2")
    assert sensor.stdout and sensor.stdout.readline() == "created Load on Test Lab\n"
    dashboard = start("dashboard.py", "--host", "127.0.0.1", "--count", "2")
    shown = finish(dashboard)
    # The reading is kept within the event's maximum.
    assert shown[:2] == ["server Test Lab, 1 other clients", "  Garage: Load"]
    assert [line.split(" ", 1)[1] for line in shown[2:]] == ["Garage/Load 255"] * 2
    assert finish(sensor)[-2:] == ["published 255", "published 255"]


def test_a_server_that_is_not_there():
    done = subprocess.run([sys.executable, str(EXAMPLES / "dashboard.py"), "--host", "127.0.0.1"],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 1
    assert done.stderr == ("dashboard: connection refused by 127.0.0.1 "
                           "(no server listening there?)\n")


def test_sensor_and_dashboard_survive_a_server_restart(start_server, tmp_path):
    server = start_server("Home")
    reading = tmp_path / "temp"
    reading.write_text("20000\n")
    dashboard = start("dashboard.py", "--host", "127.0.0.1", "*/Temp")
    assert dashboard.stdout and dashboard.stdout.readline().startswith("server Home, 0 other")
    sensor = start("sensor.py", "--host", "127.0.0.1", "--name", "Kitchen", "--file",
                   str(reading), "--period", "0.1")
    assert dashboard.stdout.readline().endswith(" Kitchen/Temp 20 °C\n")

    server.kill()
    reading.write_text("30000\n")
    start_server("Home")
    # Both come back on their own: the sensor's event exists again and its
    # values reach the dashboard, which subscribed again.
    while not (line := dashboard.stdout.readline()).endswith(" Kitchen/Temp 30 °C\n"):
        assert line, "the dashboard ended"
    # The sensor's own lines may trail its value's arrival elsewhere: read up to
    # them (it publishes every 0.1 s, so lines keep coming) before ending it.
    said = []
    while not {"back on Home", "published 30 °C"} <= set(said) and len(said) < 200:
        line = sensor.stdout.readline()
        assert line, f"the sensor ended after: {said}"
        said.append(line.rstrip("\n"))
    for program in (dashboard, sensor):
        program.send_signal(signal.SIGINT)
    finish(dashboard)
    said += finish(sensor)
    lost = said.index("lost the server (the server on 127.0.0.1 closed the connection); "
                      "reconnecting")
    back = said.index("back on Home")
    assert lost < back < said.index("published 30 °C")
