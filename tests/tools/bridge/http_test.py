# SPDX-License-Identifier: GPL-2.0-or-later
"""The bridge's HTTP server driven over loopback: every endpoint and answer code, the secret,
cross-site requests, body limits, hostile clients, /metrics' format and --health. Through all
of it the bridge's own timer must keep firing on time: a client never stalls the loop.

Each test of a running bridge runs against the stand-in (the server with a fake bridge, whose
50 ms timer reports its lateness) and, when MARLOD names it, against the real marlod (whose
refreshes at a loopback exciter must keep coming on time)."""

import json
import re
import socket
import subprocess
import time
import urllib.parse

import pytest

from bridge_http import MARLOD, STAND_IN, Bridge, Marlod, free_port, raw_exchange, start

# A timer (the stand-in's, marlod's refresh) may fire this late at worst on a machine busy with
# other work (CI runs builds beside the tests); a loop stalled by a client is late by seconds,
# up to the 10 s a connection may idle.
MAX_LATE_MS = 1000
KINDS = ["stand-in"] + (["marlod"] if MARLOD else [])
SECRET = "s3cret-Zq8!"


@pytest.fixture(scope="module", params=KINDS)
def bridge(request):
    b = start(request.param)
    yield b
    code, err = b.stop()
    assert code == 0, err


@pytest.fixture(scope="module", params=KINDS)
def guarded(request):
    b = start(request.param, secret=SECRET)
    yield b
    code, err = b.stop()
    assert code == 0, err
    assert SECRET not in err  # nor in the log


def title_on_air(b):
    air = b.status()["on_air"]
    return air and air["fields"]["title"]


def is_json_error(headers, body):
    return headers["content-type"] == "application/json" and "error" in json.loads(body)


@pytest.mark.parametrize("method,path,code,content_type,allow", [
    ("GET", "/", 200, "text/html; charset=utf-8", None),
    ("HEAD", "/", 200, "text/html; charset=utf-8", None),
    ("GET", "/status", 200, "application/json", None),
    ("HEAD", "/status", 200, "application/json", None),
    ("GET", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8", None),
    ("HEAD", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8", None),
    ("GET", "/nope", 404, "application/json", None),
    ("GET", "/status/", 404, "application/json", None),
    ("GET", "/index.html", 404, "application/json", None),
    ("GET", "/../../etc/passwd", 404, "application/json", None),
    ("GET", "/%2e%2e/etc/passwd", 404, "application/json", None),
    ("POST", "/status", 405, "application/json", "GET, HEAD"),
    ("PUT", "/", 405, "application/json", "GET, HEAD"),
    ("POST", "/metrics", 405, "application/json", "GET, HEAD"),
    ("DELETE", "/nowplaying", 405, "application/json", "GET, HEAD, POST"),
    ("OPTIONS", "/nowplaying", 405, "application/json", "GET, HEAD, POST"),
    ("TRACE", "/status", 405, "application/json", "GET, HEAD"),
])
def test_routes(bridge, method, path, code, content_type, allow):
    got, headers, body = bridge.request(method, path)
    assert got == code
    assert headers["content-type"] == content_type
    assert headers["x-content-type-options"] == "nosniff"
    assert headers.get("allow") == allow
    if method == "HEAD":
        assert body == b""
    if code >= 400:
        assert is_json_error(headers, body)


def test_page_headers_and_content(bridge):
    _, headers, body = bridge.request("GET", "/")
    csp = headers["content-security-policy"]
    assert "default-src 'none'" in csp and "connect-src 'self'" in csp
    page = body.decode()
    assert '<meta name="viewport"' in page
    # Nothing is loaded from elsewhere, and data never goes in as markup.
    assert not re.search(r"""(src|href)\s*=\s*["']?(https?:)?//""", page)
    assert "innerHTML" not in page and "document.write" not in page


def test_status_document(bridge):
    s = bridge.status()
    for key in ("version", "station", "started", "now", "uptime_seconds", "on_air", "inputs",
                "exciters", "events"):
        assert key in s


@pytest.mark.parametrize("how", ["query", "form", "multipart", "json", "json-as-text"])
def test_nowplaying_ways(bridge, how):
    title = f"Song by {how} ü"
    before = bridge.status()["on_air"]
    if how == "query":
        code, headers, body = bridge.request(
            "GET", "/nowplaying?" + urllib.parse.urlencode({"title": title, "duration": "180"}))
    elif how == "form":
        code, headers, body = bridge.request(
            "POST", "/nowplaying", urllib.parse.urlencode({"title": title, "artist": "A"}),
            {"Content-Type": "application/x-www-form-urlencoded"})
    elif how == "multipart":
        data = ("--XyZ\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\n" + title +
                "\r\n--XyZ--\r\n").encode()
        code, headers, body = bridge.request(
            "POST", "/nowplaying", data, {"Content-Type": "multipart/form-data; boundary=XyZ"})
    else:
        code, headers, body = bridge.request(
            "POST", "/nowplaying", json.dumps({"title": title, "duration": 212.5}),
            {"Content-Type": "application/json" if how == "json" else "text/plain"})
    assert code == 200, body
    assert headers["content-type"] == "application/json"
    answer = json.loads(body)
    assert answer["exciters"][0]["title"] == title
    air = bridge.status()["on_air"]
    assert air["fields"]["title"] == title
    assert air["content_id"] == answer["content_id"] != (before or {}).get("content_id")


@pytest.mark.parametrize("method,path,body,content_type,why", [
    ("GET", "/nowplaying", None, None, "no item"),
    ("GET", "/nowplaying?unknown=1", None, None, "no item"),
    ("GET", "/nowplaying?title=x&duration=abc", None, None, "duration"),
    ("GET", "/nowplaying?title=x&duration=0", None, None, "duration"),
    ("GET", "/nowplaying?title=x&duration=1e9", None, None, "duration"),
    ("GET", "/nowplaying?clear=maybe", None, None, "clear"),
    ("POST", "/nowplaying", '{"title": "x"', "application/json", "JSON"),
    ("POST", "/nowplaying", '{"title": 5}', "application/json", "title"),
    ("POST", "/nowplaying", '["title"]', "application/json", "neither"),
    ("POST", "/nowplaying", "title is x", "text/plain", "neither"),
])
def test_nowplaying_refused(bridge, method, path, body, content_type, why):
    before = bridge.status()["on_air"]
    code, headers, answer = bridge.request(method, path, body,
                                           {"Content-Type": content_type} if content_type else {})
    assert code == 400
    assert is_json_error(headers, answer)
    assert why.lower() in json.loads(answer)["error"].lower()
    assert bridge.status()["on_air"] == before


def test_typed_parameters(bridge):
    # A numeric title stays text; clear=true ends the item.
    code, answer = bridge.now_playing(title="1999", artist="Prince", duration="3.5")
    assert code == 200 and answer["exciters"][0]["title"] == "1999"
    code, _ = bridge.now_playing(clear="true")
    assert code == 200
    deadline = time.monotonic() + 3  # after the end's grace time
    while not bridge.status()["on_air"]["fallback"]:
        assert time.monotonic() < deadline, "clear=true did not end the item"
        time.sleep(0.05)


def test_head_nowplaying_puts_nothing_on_air(bridge):
    before = bridge.status()["on_air"]
    code, _, body = bridge.request("HEAD", "/nowplaying?title=Not+on+air")
    assert code == 200 and body == b""
    assert bridge.status()["on_air"] == before


def test_markup_is_data(bridge):
    title = '<script>alert("x")</script> & "quotes"'
    assert bridge.now_playing(title=title)[0] == 200
    assert title_on_air(bridge) == title


@pytest.mark.parametrize("how,secret,code", [
    ("header", SECRET, 200),
    ("header", "wrong", 401),
    ("header", SECRET[:-1], 401),
    ("header", SECRET + "x", 401),
    ("header", "", 401),
    ("query", SECRET, 200),
    ("query", "wrong", 401),
    ("form", SECRET, 200),
    ("form", "wrong", 401),
    ("json+header", SECRET, 200),
    ("json+query", SECRET, 200),
    ("missing", None, 401),
    ("json-missing", None, 401),
    ("header+cross-site", SECRET, 200),  # the secret is what counts once there is one
])
def test_secret(guarded, how, secret, code):
    title = f"Guarded {how} {code}"
    before = guarded.status()["on_air"]
    headers, path, body = {}, "/nowplaying", None
    if "header" in how:
        headers["X-Secret"] = secret
    if "cross-site" in how:
        headers.update({"Origin": "http://evil.example", "Sec-Fetch-Site": "cross-site"})
    if how.startswith("json"):
        body = json.dumps({"title": title})
        headers["Content-Type"] = "application/json"
        if how == "json+query":
            path += "?" + urllib.parse.urlencode({"secret": secret})
    elif how == "form":
        body = urllib.parse.urlencode({"title": title, "secret": secret})
        headers["Content-Type"] = "application/x-www-form-urlencoded"
    else:
        params = {"title": title}
        if how == "query":
            params["secret"] = secret
        path += "?" + urllib.parse.urlencode(params)
    got, answer_headers, answer = guarded.request("POST" if body else "GET", path, body, headers)
    assert got == code, answer
    if code == 200:
        assert title_on_air(guarded) == title
    else:
        assert is_json_error(answer_headers, answer)
        assert guarded.status()["on_air"] == before
    assert SECRET.encode() not in guarded.request("GET", "/status")[2]


@pytest.mark.parametrize("headers,code", [
    ({"Sec-Fetch-Site": "cross-site"}, 403),
    ({"Sec-Fetch-Site": "same-site"}, 403),  # another port of the same host is another site
    ({"Origin": "http://evil.example"}, 403),
    ({"Origin": "null"}, 403),
    ({"Origin": "https://127.0.0.1:{port}"}, 403),
    ({"Origin": "http://127.0.0.1:1"}, 403),
    ({"Sec-Fetch-Site": "same-origin", "Origin": "http://127.0.0.1:{port}"}, 200),
    ({"Sec-Fetch-Site": "none"}, 200),  # typed into the address bar
    ({}, 200),  # curl and playout systems send neither
])
def test_cross_site_without_secret(bridge, headers, code):
    headers = {k: v.format(port=bridge.port) for k, v in headers.items()}
    title = f"Cross {sorted(headers.items())}"
    got, _, _ = bridge.request("GET", "/nowplaying?" + urllib.parse.urlencode({"title": title}),
                               headers=headers)
    assert got == code
    assert (title_on_air(bridge) == title) == (code == 200)


def test_body_limits(bridge):
    # A 1 MiB body is refused from its announced length, before a byte of it is sent.
    head = (b"POST /nowplaying HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            b"Content-Length: 1048576\r\n\r\n")
    answer = raw_exchange(bridge.port, [head])
    assert answer.startswith(b"HTTP/1.1 413 ")
    assert b'{"error":' in answer
    # Sent anyway, it does not get through either.
    answer = raw_exchange(bridge.port, [head, b"x" * 1048576])
    assert answer == b"" or answer.startswith(b"HTTP/1.1 413 ")
    # Nor without an announced length.
    big = b"x" * 200000
    answer = raw_exchange(bridge.port, [
        b"POST /nowplaying HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n",
        b"%x\r\n" % len(big) + big + b"\r\n0\r\n\r\n"])
    assert answer == b"" or answer.startswith(b"HTTP/1.1 413 ")
    # 64 KiB exactly is still taken.
    title = "Long " + "x" * 100
    body = json.dumps({"title": title, "comment": ""})
    body = body[:-3] + " " * (65536 - len(body)) + '""}'
    assert len(body) == 65536
    code, _, _ = bridge.request("POST", "/nowplaying", body, {"Content-Type": "application/json"})
    assert code == 200 and title_on_air(bridge) == title
    assert bridge.lateness_ms() < MAX_LATE_MS


def test_one_byte_per_packet(bridge):
    request = (b"GET /nowplaying?title=Slowly HTTP/1.1\r\nHost: 127.0.0.1\r\n"
               b"Connection: close\r\n\r\n")
    answer = raw_exchange(bridge.port, [request[i:i + 1] for i in range(len(request))],
                          timeout=10, pause=0.01)
    assert answer.startswith(b"HTTP/1.1 200 ")
    assert title_on_air(bridge) == "Slowly"
    assert bridge.lateness_ms() < MAX_LATE_MS


def test_idle_connections(bridge):
    idle = []
    try:
        for i in range(200):
            s = socket.create_connection(("127.0.0.1", bridge.port), timeout=5)
            if i % 2:  # half of them start a request and stop
                s.sendall(b"GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
            idle.append(s)
        # The server answers the others meanwhile, and promptly.
        t = time.monotonic()
        assert bridge.now_playing(title="Among idlers")[0] == 200
        assert time.monotonic() - t < 2
        assert title_on_air(bridge) == "Among idlers"
    finally:
        for s in idle:
            s.close()
    assert bridge.lateness_ms() < MAX_LATE_MS


@pytest.mark.parametrize("raw", [
    pytest.param(b"GARBAGE\r\n\r\n", id="garbage"),
    pytest.param(b"GET / HTTP/9.9\r\nHost: a\r\n\r\n", id="version"),
    pytest.param(b"GET /status HTTP/1.1\r\n\r\n", id="no-host"),
    pytest.param(b"GET /status HTTP/1.1\r\nHost: a\r\nNo colon here\r\n\r\n", id="header"),
    pytest.param(b"GET /status HTTP/1.1\r\nHost: a\r\nX-Big: " + b"a" * 40000 + b"\r\n\r\n",
                 id="huge-header"),
    pytest.param(b"GET /st\x00atus HTTP/1.1\r\nHost: a\r\n\r\n", id="nul"),
    pytest.param(b"POST /nowplaying HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
                 b"zz\r\n", id="chunk-size"),
    pytest.param(b"POST /nowplaying HTTP/1.1\r\nHost: a\r\nContent-Length: -5\r\n\r\n",
                 id="negative-length"),
    pytest.param(b"POST /nowplaying HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n"
                 b"Content-Length: 9\r\n\r\n", id="two-lengths"),
    pytest.param(b"\xff\xfe\r\n\r\n", id="binary"),
])
def test_malformed_requests(bridge, raw):
    before = bridge.status()["on_air"]
    answer = raw_exchange(bridge.port, [raw])
    assert answer == b"" or re.match(rb"HTTP/1\.[01] (4\d\d|505) ", answer), answer[:100]
    assert bridge.status()["on_air"] == before
    assert bridge.lateness_ms() < MAX_LATE_MS


METRIC_LINE = re.compile(
    r"^(# (HELP|TYPE) [a-zA-Z_:][a-zA-Z0-9_:]*( .*)?"
    r"|[a-zA-Z_:][a-zA-Z0-9_:]*"
    r'(\{[a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\["\\n])*"(,[a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\["\\n])*")*\})?'
    r" [-+]?([0-9]+(\.[0-9]*)?([eE][-+]?[0-9]+)?|\.[0-9]+([eE][-+]?[0-9]+)?|NaN|\+Inf|-Inf)"
    r"( -?[0-9]+)?)$")


def metrics(b):
    code, headers, body = b.request("GET", "/metrics")
    assert code == 200
    text = body.decode()
    assert text.endswith("\n")
    values = {}
    for line in text.splitlines():
        assert METRIC_LINE.match(line), line
        if not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            values[name] = float(value)
    return values


def test_metrics_move(bridge):
    before = metrics(bridge)
    assert bridge.now_playing(title="Counted")[0] == 200
    after = metrics(bridge)
    assert after["marlod_items_total"] == before["marlod_items_total"] + 1


def health(address, timeout=15):
    r = subprocess.run([STAND_IN, "--health", address], capture_output=True, timeout=timeout)
    lines = r.stdout.decode().splitlines()
    assert len(lines) == 1, lines
    return r.returncode, lines[0]


def test_health():
    b = Bridge()
    try:
        assert health(b.address) == (1, "marlod: nothing on air")
        b.now_playing(title="Fine")
        code, line = health(b.address)
        assert code == 0 and "Fine" in line
        b.now_playing(title="Broken", group="break")
        code, line = health(b.address)
        assert code == 1 and "127.0.0.1:11001" in line and "Connection refused" in line
        b.now_playing(title="Mended", group="mend")
        assert health(b.address)[0] == 0
    finally:
        assert b.stop()[0] == 0
    code, line = health(b.address)
    assert code == 1 and "cannot reach" in line


def test_health_of_a_silent_server():
    # Something listens but never answers: the check gives up after its 5 s.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen(4)
        t = time.monotonic()
        code, line = health(f"127.0.0.1:{s.getsockname()[1]}")
        assert code == 1 and "5 s" in line
        assert 4 < time.monotonic() - t < 10


def test_listen_address_refused():
    r = subprocess.run([STAND_IN, "--listen", "127.0.0.1"], capture_output=True, timeout=10)
    assert r.returncode == 1 and b"ADDRESS:PORT" in r.stderr
    with socket.socket() as s:  # taken
        s.bind(("127.0.0.1", 0))
        s.listen(1)
        r = subprocess.run([STAND_IN, "--listen", f"127.0.0.1:{s.getsockname()[1]}"],
                           capture_output=True, timeout=10)
        assert r.returncode == 1 and b"cannot listen" in r.stderr


def test_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
    except OSError:
        pytest.skip("no IPv6 loopback")
    port = free_port()
    p = subprocess.Popen([STAND_IN, "--listen", f"[::1]:{port}"], stdout=subprocess.PIPE)
    try:
        assert p.stdout.readline().startswith(b"listening")
        with socket.create_connection(("::1", port), timeout=5) as c:
            c.sendall(b"GET /status HTTP/1.0\r\n\r\n")
            assert c.recv(100).startswith(b"HTTP/1.1 200 ")
        assert health(f"[::1]:{port}")[1] == "marlod: nothing on air"
    finally:
        p.terminate()
        assert p.wait(10) == 0


@pytest.mark.skipif(not MARLOD, reason="MARLOD not set")
def test_http_item_reaches_the_exciter():
    b = Marlod()
    try:
        code, answer = b.now_playing(title="Über den Wolken", artist="Reinhard", duration=60)
        assert code == 200 and answer["state"] == "on air"
        _, content_id, title = b.receiver.wait_for("Über den Wolken")
        assert content_id == answer["content_id"] == b.status()["on_air"]["content_id"]
        # The same item again is a repeat: same content ID, nothing new on air.
        code, again = b.now_playing(title="Über den Wolken", artist="Reinhard", duration=60)
        assert again["state"] == "repeat" and again["content_id"] == content_id
        # The refreshes carry it on, on time.
        time.sleep(4 * Marlod.REFRESH)
        assert b.receiver.latest()[1:] == (content_id, "Über den Wolken")
        assert b.lateness_ms() < MAX_LATE_MS
    finally:
        assert b.stop()[0] == 0


@pytest.mark.skipif(not MARLOD, reason="MARLOD not set")
def test_health_of_marlod(tmp_path):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as closed:
        closed.bind(("127.0.0.1", 0))
        refusing = closed.getsockname()[1]
    b = Marlod()
    config = tmp_path / "marlod.toml"  # outlives the bridge's own folder
    try:
        config.write_text(open(b.config).read())
        r = subprocess.run([MARLOD, "--health", "-c", config], capture_output=True, timeout=15)
        assert r.returncode == 0, r.stdout
        assert len(r.stdout.decode().splitlines()) == 1
    finally:
        assert b.stop()[0] == 0
    r = subprocess.run([MARLOD, "--health", "-c", config], capture_output=True, timeout=15)
    assert r.returncode == 1 and b"cannot reach" in r.stdout
    # An exciter whose port refuses: its sends fail, the check says which.
    b = Marlod(extra_exciters=[refusing])
    try:
        deadline = time.monotonic() + 5
        while True:
            r = subprocess.run([MARLOD, "--health", "-c", b.config], capture_output=True,
                               timeout=15)
            if r.returncode == 1 or time.monotonic() > deadline:
                break
            time.sleep(Marlod.REFRESH)
        assert r.returncode == 1 and f"127.0.0.1:{refusing}".encode() in r.stdout, r.stdout
    finally:
        assert b.stop()[0] == 0
