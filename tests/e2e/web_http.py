"""toruna-web over plain HTTP: /metrics read by Prometheus's own text parser
and checked against the published values; the JSON API; publishing with
--allow-publish (and refusing it without); requests of other sites refused;
bad arguments and a port in use; and a browser that opens the live stream
and never reads, which neither stalls the others nor makes the program grow."""
import json
import re
import socket
import subprocess
import sys
import threading
import time

from prometheus_client.parser import text_string_to_metric_families

from web_support import (CLI, SANITIZED, WEB, check, get_json, listening, output, publisher, request, run, send, sensor, start, start_server,
                         start_web, stop, wait_line, wait_until)


def metrics():
    status, headers, body = request("GET", "/metrics")
    check(status == 200 and headers["content-type"].startswith("text/plain; version=0.0.4"), f"/metrics: {status}")
    samples = {}
    for family in text_string_to_metric_families(body):
        for s in family.samples:
            samples.setdefault(s.name, []).append(s)
    return samples


def exported_value(samples, client, event):
    found = [s for s in samples.get("toruna_event_value", [])
             if s.labels["client"] == client and s.labels["event"] == event]
    return found[0] if found else None


def arguments():
    for args, message in [(["--listen", "nowhere"], "--listen needs ADDR:PORT"),
                          (["--listen", "127.0.0.1:70000"], "port from 1 to 65535"),
                          (["--bogus"], "unknown option '--bogus'"),
                          (["lab", "--discover"], "not both"),
                          (["--name", "caf\u20ac\u2603"], "--name")]:
        r = subprocess.run([WEB, *args], capture_output=True, text=True, timeout=5)
        check(r.returncode == 2 and message in r.stderr, f"{args}: status {r.returncode}, {r.stderr!r}")
    r = subprocess.run([WEB, "--help"], capture_output=True, text=True, timeout=5)
    check(r.returncode == 0 and "--allow-publish" in r.stdout, "--help")


def test():
    arguments()
    start_server("Lab")
    web = start_web("127.0.0.1", "--export", "Kitchen/*", "--allow-publish")
    wait_line("web", r'connected to server "Lab"', 5, "err")

    # A second one on the same port says so and ends with status 1.
    r = subprocess.run([WEB, "127.0.0.1"], capture_output=True, text=True, timeout=5)
    check(r.returncode == 1 and "127.0.0.1:8080" in r.stderr and "in use" in r.stderr,
          f"port in use: status {r.returncode}, {r.stderr!r}")

    # Exported events are subscribed without any viewer; their values are gauges.
    kitchen = publisher("kitchen", "Kitchen", "Temp", "--unit", "°C")
    garage = publisher("garage", "Garage", "Door")
    wait_line("kitchen", "^subscriber present for Temp$")
    send(kitchen, 21, 22, 19)
    wait_until(lambda: (v := exported_value(metrics(), "Kitchen", "Temp")) and v.value == 19, 3,
               "the exported value is not in /metrics")
    m = metrics()
    v = exported_value(m, "Kitchen", "Temp")
    check(v.labels == {"server": "Lab", "client": "Kitchen", "event": "Temp", "unit": "°C"}, f"labels {v.labels}")
    counts = [s for s in m["toruna_event_values_total"] if s.labels["event"] == "Temp"]
    check(counts and counts[0].value == 3, f"values counted: {counts}")
    check(exported_value(m, "Garage", "Door") is None, "an event nobody exports is in /metrics")
    check([s.value for s in m["toruna_web_server_up"]] == [1], "server_up")
    check([s.value for s in m["toruna_web_server_clients"]] == [2], "server_clients")
    check("Door" not in output("garage") or "subscriber present" not in output("garage"),
          "an event nobody watches was subscribed")

    # The JSON API.
    servers = get_json("/api/servers")["servers"]
    check(len(servers) == 1 and servers[0]["name"] == "Lab" and servers[0]["state"] == "connected", f"{servers}")
    roster = get_json("/api/roster")["servers"][0]
    check(sorted(c["name"] for c in roster["clients"]) == ["Garage", "Kitchen"], f"roster {roster}")
    values = get_json("/api/values")["values"]
    check([(x["client"], x["event"], x["unit"], x["value"]) for x in values] == [("Kitchen", "Temp", "°C", 19)],
          f"values {values}")
    history = get_json("/api/history", {"server": 1, "client": "Kitchen", "event": "Temp"})["values"]
    check([x[1] for x in history] == [21, 22, 19], f"history {history}")
    for method, path, args, want in [("GET", "/api/nothing", None, 404), ("GET", "/api/history", {"server": "x"}, 400),
                                     ("POST", "/api/watch", {"stream": "nope", "server": 1, "client": "a", "event": "b",
                                                             "on": 1}, 404),
                                     ("PUT", "/api/servers", None, 405), ("GET", "/nowhere.html", None, 404)]:
        status, _, body = request(method, path, args)
        check(status == want and "error" in json.loads(body), f"{method} {path}: {status} {body}")

    # Another site's page may neither post here nor read through a rebound name.
    status, _, _ = request("POST", "/api/own", {"server": 1, "name": "X"}, {"Origin": "http://evil.example"})
    check(status == 403, f"cross-site POST answered {status}")
    status, _, _ = request("GET", "/api/servers", headers={"Host": "evil.example:8080"})
    check(status == 403, f"foreign Host answered {status}")
    status, headers, _ = request("GET", "/")
    check(status == 200 and "script-src 'self'" in headers["content-security-policy"], "page headers")

    # Publishing into an event of the program's own.
    status, _, body = request("POST", "/api/own", {"server": 1, "name": "Dial", "unit": "%", "max": 100})
    check(status == 200, f"create: {status} {body}")
    watcher = start("watcher", [CLI, "watch", "127.0.0.1", "--subscribe", "web/Dial"])
    wait_line("watcher", r"^subscribed \d+ web/Dial$")
    status, _, body = request("POST", "/api/publish", {"server": 1, "event": "Dial", "value": 42})
    check(status == 200, f"publish: {status} {body}")
    wait_line("watcher", r" web/Dial 42 %$")
    watcher.kill()
    status, _, body = request("POST", "/api/publish", {"server": 1, "event": "Dial", "value": 256})
    check(status == 400, f"value 256: {status}")
    status, _, body = request("POST", "/api/own", {"server": 1, "name": "caf\u2603"})
    check(status == 400 and "error" in json.loads(body), f"unsendable name: {status} {body}")

    never_reading()
    check(stop(web) == 0, "toruna-web did not end with status 0 on SIGTERM")

    # Without --allow-publish the page cannot publish.
    web2 = start_web("127.0.0.1", name="web2")
    status, _, body = request("POST", "/api/own", {"server": 1, "name": "Dial"})
    check(status == 403 and "--allow-publish" in body, f"publishing without --allow-publish: {status}")
    check(stop(web2) == 0, "the second toruna-web did not end with status 0")


def open_stream(rcvbuf=None):
    """A raw connection to the live stream and its token."""
    sock = socket.socket()
    if rcvbuf:
        # Before connecting, so that the window it offers stays small.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    sock.connect(("127.0.0.1", 8080))
    sock.sendall(b"GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n")
    sock.settimeout(5)
    head = b""
    while b"event: hello\ndata: " not in head or b"\n" not in head.split(b"event: hello\ndata: ", 1)[1]:
        head += sock.recv(4096)
    token = json.loads(head.split(b"event: hello\ndata: ", 1)[1].split(b"\n", 1)[0])["stream"]
    return sock, token


def never_reading():
    """One client opens the stream, watches a busy event and then reads no
    more, while another reads all along: the stalled one is dropped once its
    backlog passes the limit, the program's memory stays bounded, and the
    reading one gets every value without a pause."""
    fire = sensor("fire", "Fire", "Hose")
    stalled, token = open_stream(rcvbuf=4096)
    live, live_token = open_stream()
    for t in (token, live_token):
        status, _, body = request("POST", "/api/watch", {"stream": t, "server": 1, "client": "Fire", "event": "Hose",
                                                         "on": 1})
        check(status == 200, f"watch: {status} {body}")
    wait_line("fire", "^subscribed$")
    received = bytearray()

    def read_live():
        live.settimeout(10)
        try:
            while len(received) < 1 << 24 and (chunk := live.recv(1 << 20)):
                received.extend(chunk)
        except OSError:
            pass

    reader = threading.Thread(target=read_live)
    reader.start()
    rss_before = metrics()["process_resident_memory_bytes"][0].value
    # About 2 MB of events for each stream: twice what one may hold back.
    fire.stdin.write(b"burst 100000\n")
    fire.stdin.flush()
    wait_line("fire", "^burst sent$", 30)
    wait_until(lambda: metrics()["toruna_web_streams_dropped_total"][0].value == 1, 10,
               "the stalled stream was never dropped (%s)" % {k: v[0].value for k, v in metrics().items() if k.startswith("toruna_web_")})
    rss_after = metrics()["process_resident_memory_bytes"][0].value
    print(f"resident memory {rss_before / 1e6:.1f} MB before the burst, {rss_after / 1e6:.1f} MB after")
    check(SANITIZED or rss_after - rss_before < 24 << 20, f"memory grew from {rss_before} to {rss_after} bytes")
    reader.join(15)
    values = re.findall(rb",(\d+)\]", bytes(received))
    check(len(values) >= 100000, f"the reading stream got {len(values)} of 100000 values")
    stalled.close()
    live.close()


sys.exit(run(test, int(__import__("os").environ.get("LIMIT", "150"))))
