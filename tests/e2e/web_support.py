"""Shared by the web_*.py end-to-end tests of toruna-web (run by their .sh
wrappers inside a network namespace of their own): the real server,
toruna-web and publishers as processes, HTTP helpers, and bounded waits.
Every process started here is killed when the test ends."""
import faulthandler
import http.client
import json
import os
import re
import subprocess
import sys
import time
import urllib.parse

BUILD = os.path.abspath(sys.argv[1])
WORK = sys.argv[2]
HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(BUILD, "src/app/toruna-server")
WEB = os.path.join(BUILD, "tools/web/toruna-web")
CLI = os.path.join(BUILD, "tools/cli/toruna-cli")
PYTHONPATH = os.path.join(HERE, "../../clients/python")


def _sanitized():
    try:
        with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
            return "TORUNA_SANITIZE:BOOL=ON" in f.read()
    except OSError:
        return False


# A sanitizer build's memory says more about the sanitizer than the program.
SANITIZED = _sanitized()

_procs = []


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_until(predicate, seconds, message):
    """Polls predicate until it returns something true; that value, or Failure."""
    end = time.time() + seconds
    while True:
        value = predicate()
        if value:
            return value
        if time.time() > end:
            raise Failure(message)
        time.sleep(0.05)


def start(name, args, stdin=None, env=None):
    """A process with its output in WORK/NAME.out and NAME.err."""
    out = open(os.path.join(WORK, name + ".out"), "w")
    err = open(os.path.join(WORK, name + ".err"), "w")
    p = subprocess.Popen(args, stdin=stdin, stdout=out, stderr=err, env=env)
    p.name = name
    _procs.append(p)
    return p


def output(name, stream="out"):
    try:
        with open(os.path.join(WORK, f"{name}.{stream}"), encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def wait_line(name, pattern, seconds=5, stream="out"):
    regex = re.compile(pattern, re.M)
    return wait_until(lambda: regex.search(output(name, stream)), seconds,
                      f"no line /{pattern}/ from {name} within {seconds} s")


def listening(port):
    with open("/proc/net/tcp") as f:
        return any(line.split()[1].endswith(":%04X" % port) and line.split()[3] == "0A" for line in f.readlines()[1:])


def start_server(name):
    config = os.path.join(WORK, "config")
    os.makedirs(config, exist_ok=True)
    with open(os.path.join(config, "Velmor Software.conf"), "w") as f:
        f.write(f"[Toruna]\nServername={name}\n")
    p = start("server", [SERVER, "--headless"], env=dict(os.environ, XDG_CONFIG_HOME=config))
    wait_until(lambda: listening(13131), 5, "the server did not start listening")
    return p


def start_web(*args, name="web", port=8080):
    p = start(name, [WEB, *args])
    wait_until(lambda: listening(port) or p.poll() is not None, 5, "toruna-web did not start listening")
    check(p.poll() is None, f"toruna-web ended at start: {output(name, 'err')}")
    return p


def publisher(name, client, event, *extra):
    """toruna-cli publish reading values from a pipe: write lines to p.stdin."""
    p = start(name, [CLI, "publish", "127.0.0.1", "--name", client, "--event", event, *extra],
              stdin=subprocess.PIPE)
    wait_line(name, "^created ")
    return p


def send(p, *values):
    p.stdin.write("".join(f"{v}\n" for v in values).encode())
    p.stdin.flush()


def sensor(name, client, event, unit="", maximum=255, rate=10):
    """A Python client that publishes a wave while somebody listens and
    removes its event when told ("remove" on its standard input)."""
    p = start(name, [sys.executable, os.path.join(HERE, "web_sensor.py"), client, event, unit, str(maximum), str(rate)],
              stdin=subprocess.PIPE, env=dict(os.environ, PYTHONPATH=PYTHONPATH))
    wait_line(name, "^created$")
    return p


def request(method, path, args=None, headers=None, port=8080):
    """(status, headers, body text) of one request to toruna-web."""
    url = path + ("?" + urllib.parse.urlencode(args) if args else "")
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    try:
        c.request(method, url, headers=headers or {})
        r = c.getresponse()
        return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read().decode("utf-8")
    finally:
        c.close()


def get_json(path, args=None):
    status, _, body = request("GET", path, args)
    check(status == 200, f"GET {path}: {status} {body}")
    return json.loads(body)


def stop(p, seconds=5):
    """SIGTERM, and the exit status."""
    p.terminate()
    try:
        return p.wait(seconds)
    except subprocess.TimeoutExpired:
        raise Failure(f"{p.name} did not end within {seconds} s of SIGTERM")


def run(test, limit=150):
    """Runs test(); on failure prints what every process said. A test still
    running after `limit` seconds shows where it is and ends."""
    faulthandler.dump_traceback_later(limit, exit=True)
    try:
        test()
        print("passed")
        return 0
    except Failure as e:
        print("FAILED:", e)
        for p in _procs:
            for stream in ("out", "err"):
                text = output(p.name, stream)
                if text:
                    print(f"--- {p.name}.{stream}")
                    print(text[-3000:])
        return 1
    finally:
        for p in _procs:
            if p.poll() is None:
                p.kill()
                p.wait()
