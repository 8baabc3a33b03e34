# SPDX-License-Identifier: GPL-2.0-or-later
"""marlod as a station runs it: inputs in, PSD messages out to stand-in exciters on loopback,
the state of the air over time, signals, the state file, and bad input of every kind."""
import json
import os
import signal
import socket
import subprocess
import time

import pytest

from bridge_support import (MARLOD, Marlod, PadFeed, Receiver, free_port, pad_document,
                            send_udp, wait_until)

FIXTURE = os.path.join(os.environ.get("ZEL_SHARED_FIXTURES", ""), "pad_feed.txt")


def toml_config(exciters, udp=None, tcp=None, timing=None, extra="", state=None,
                station="Radio Test"):
    lines = [f'[station]\nname = "{station}"\n']
    for e in exciters:
        lines.append("[[exciter]]")
        lines.append('host = "127.0.0.1"')
        for key, value in e.items():
            lines.append(f"{key} = {json.dumps(value)}")
        lines.append("")
    if udp or tcp:
        lines.append("[input.json]")
        if udp:
            lines.append(f'udp = "127.0.0.1:{udp}"')
        if tcp:
            lines.append(f'tcp = "127.0.0.1:{tcp}"')
        lines.append("")
    timing = {"refresh": 0.4, "grace": 0.3, "max_age": 30, **(timing or {})}
    lines.append("[timing]")
    lines += [f"{k} = {v}" for k, v in timing.items()]
    lines.append("")
    if state:
        lines.append(f'[state]\npath = "{state}"\n')
    lines.append(extra)
    return "\n".join(lines)


@pytest.fixture
def rx():
    receivers = [Receiver(), Receiver()]
    yield receivers
    for r in receivers:
        r.close()


@pytest.fixture
def run(tmp_path):
    started = []

    def start(config, **kwargs):
        daemon = Marlod(str(tmp_path), config, **kwargs)
        started.append(daemon)
        daemon.wait_log(r"on air \(", 10)
        return daemon
    yield start
    for d in started:
        if d.alive():
            d.stop()


def test_items_refresh_and_new_content_ids(rx, run, tmp_path):
    udp, tcp = free_port(), free_port(socket.SOCK_STREAM)
    playing = tmp_path / "nowplaying.json"
    extra = f'[input.file]\npath = "{playing}"\nformat = "json"\n'
    d = run(toml_config([{"port": r.port} for r in rx], udp=udp, tcp=tcp, extra=extra))
    # The fallback is on air at start: the text is never blank.
    assert rx[0].wait_title("Radio Test")

    send_udp(udp, {"title": "Song One", "artist": "Band", "duration": 60})
    first = [r.wait_title("Song One") for r in rx]
    assert all(first) and first[0].content_id == first[1].content_id
    assert first[0].fields["artist"] == "Band"
    # Refreshes keep the content ID; a repeat of the item is not a new item.
    mark = rx[0].count()
    send_udp(udp, {"title": "Song One", "artist": "Band", "duration": 60})
    assert wait_until(lambda: rx[0].count() >= mark + 3, 5)
    assert {p.content_id for p in rx[0].snapshot()[mark:]} == {first[0].content_id}

    # A new item over TCP (two in one connection, the last one wins) gets a new content ID.
    with socket.create_connection(("127.0.0.1", tcp), timeout=5) as c:
        c.sendall(b'{"title": "Song Two", "artist": "Band"}\n{"title": "Song Three"}\n')
        third = rx[1].wait_title("Song Three")
    assert third and third.content_id != first[1].content_id

    # The same text with a new id is a new item.
    send_udp(udp, {"title": "Song Three", "id": "cart-7"})
    again = rx[1].wait_for(lambda p: p.title == "Song Three" and p.content_id != third.content_id)
    assert again

    # A file the playout renames into place.
    (tmp_path / "tmp.json").write_text(json.dumps({"title": "From File", "artist": "Disk"}))
    os.replace(tmp_path / "tmp.json", playing)
    assert rx[0].wait_title("From File")
    d.wait_log(r"on air \(from file\)")


def test_expiry_end_hold_and_silence(rx, run):
    udp = free_port()
    d = run(toml_config([{"port": rx[0].port}], udp=udp,
                        timing={"grace": 0.5, "silence": 1.5}))
    # Expiry: start + duration + grace, then the fallback with a content ID of its own.
    send_udp(udp, {"title": "Short Song", "duration": 0.5})
    song = rx[0].wait_title("Short Song")
    fallback = rx[0].wait_title("Radio Test", 3, after=rx[0].snapshot().index(song))
    assert fallback and fallback.content_id != song.content_id
    assert 0.8 <= fallback.when - song.when <= 2.0

    # The end of an item holds for the grace time, and a new item in it wins.
    send_udp(udp, {"title": "Talk", "duration": 600})
    rx[0].wait_title("Talk")
    send_udp(udp, {"clear": True})
    time.sleep(0.2)
    send_udp(udp, {"title": "Next Song", "duration": 600})
    mark = rx[0].count()
    assert rx[0].wait_title("Next Song", after=0)
    time.sleep(0.8)
    assert all(p.title == "Next Song" for p in rx[0].snapshot()[mark:])
    send_udp(udp, {"clear": True})
    end = time.monotonic()
    assert rx[0].wait_title("Radio Test", 3, after=rx[0].count())
    assert time.monotonic() - end >= 0.4

    # Silence: an item without a duration gives way after `silence` s without input...
    send_udp(udp, {"title": "Open Ended"})
    item = rx[0].wait_title("Open Ended")
    back = rx[0].wait_title("Radio Test", 4, after=rx[0].snapshot().index(item))
    assert back and 1.3 <= back.when - item.when <= 3.0
    d.wait_log("no input for")
    # ...but one with a known duration runs its course.
    send_udp(udp, {"title": "Long Song", "duration": 3})
    rx[0].wait_title("Long Song")
    mark = rx[0].count()
    time.sleep(2.2)
    assert all(p.title == "Long Song" for p in rx[0].snapshot()[mark:])


def test_filters_and_empty_updates_keep_the_item(rx, run):
    udp = free_port()
    extra = '[filter]\nskip_groups = ["JINGLES"]\n'
    d = run(toml_config([{"port": rx[0].port}], udp=udp, timing={"min_duration": 10},
                        extra=extra))
    send_udp(udp, {"title": "Real Song", "artist": "A", "duration": 200})
    song = rx[0].wait_title("Real Song")
    mark = rx[0].count()
    send_udp(udp, {"title": "Station ID", "group": "JINGLES", "duration": 20})
    send_udp(udp, {"title": "Sweeper", "duration": 4})
    send_udp(udp, {"title": "", "artist": ""})
    d.wait_log(r"skipped \(group\)")
    d.wait_log(r"skipped \(short\)")
    d.wait_log(r"skipped \(empty\)")
    assert wait_until(lambda: rx[0].count() >= mark + 2, 3)
    assert {(p.title, p.content_id) for p in rx[0].snapshot()[mark:]} == {
        ("Real Song", song.content_id)}


def test_pad_feed_now_end_and_reconnect(rx, run):
    feed = PadFeed()
    extra = (f'[input.rivendell]\nhost = "127.0.0.1"\nport = {feed.port}\nmachines = [1]\n'
             "onair_only = true\n")
    try:
        d = run(toml_config([{"port": rx[0].port}], extra=extra))
        feed.wait_connected()
        with open(FIXTURE, "rb") as f:
            documents = f.read()
        # The fixture as it arrives: the music item, the jingle (skipped only by its group when
        # configured: here it goes on air), then nothing on air.
        first_end = documents.index(b"\r\n\r\n") + 4
        feed.send_raw(documents[:first_end])
        song = rx[0].wait_title("Quiet Harbour Nocturne")
        assert song and song.fields["artist"] == "The Lantern Trio"
        # Another log machine, and an update off air, change nothing.
        feed.send(pad_document({"title": "Machine Two"}, machine=2))
        feed.send(pad_document({"title": "Off Air"}, onair=False))
        d.wait_log("ignored", 3)
        # now: null ends the item after the grace time.
        feed.send(pad_document(None))
        assert rx[0].wait_title("Radio Test", 3, after=rx[0].snapshot().index(song))

        # The feed goes away and comes back: marlod connects again by itself.
        port = feed.port
        feed.close()
        d.wait_log("rivendell.*(closed|lost|refused)", 5)
        feed = PadFeed(port)
        feed.wait_connected(timeout=10)
        feed.send(pad_document({"title": "After Restart", "artist": "X", "length": 200000,
                                "startDateTime": "2026-12-10T15:00:00+01:00"}))
        assert rx[0].wait_title("After Restart", 5)
        d.wait_log("connected to", 1)
    finally:
        feed.close()


def test_reload_keeps_or_changes_the_content_id(rx, run):
    udp = free_port()
    config = toml_config([{"port": rx[0].port}], udp=udp)
    d = run(config)
    send_udp(udp, {"title": "Keep Me", "artist": "Same", "duration": 300})
    kept = rx[0].wait_title("Keep Me")
    # Unchanged text: the same content ID after the reload.
    mark = len(d.log())
    d.signal(signal.SIGHUP)
    d.wait_log("configuration reloaded", 5, after=mark)
    mark = rx[0].count()
    assert wait_until(lambda: rx[0].count() >= mark + 2, 3)
    assert {p.content_id for p in rx[0].snapshot()[mark:]} == {kept.content_id}
    # A broken file is refused; the bridge goes on with the old one.
    d.write_config(config + "\n[station\n")
    mark = len(d.log())
    d.signal(signal.SIGHUP)
    d.wait_log("reload refused", 5, after=mark)
    # A new template changes the text: a new content ID.
    d.write_config(config + '\n[template]\ntitle = "{artist}: {title}"\n')
    d.signal(signal.SIGHUP)
    changed = rx[0].wait_title("Same: Keep Me", 5)
    assert changed and changed.content_id != kept.content_id
    assert d.alive()


def test_state_file_resumes_and_expires(rx, run, tmp_path):
    udp = free_port()
    state = tmp_path / "state.json"
    config = toml_config([{"port": rx[0].port}], udp=udp, state=str(state))
    d = run(config)
    send_udp(udp, {"title": "Survivor", "duration": 2})
    song = rx[0].wait_title("Survivor")
    assert d.stop() == 0
    assert json.loads(state.read_text())["on_air"]["content_id"] == song.content_id
    # A restart within the item's time resumes it with its content ID.
    mark = rx[0].count()
    d = run(config)
    resumed = rx[0].wait_for(lambda p: not p.flush, 5, after=mark)
    assert (resumed.title, resumed.content_id) == ("Survivor", song.content_id)
    assert d.stop() == 0
    # After it has expired, the fallback goes on air.
    time.sleep(2.5)
    mark = rx[0].count()
    d = run(config)
    fallback = rx[0].wait_for(lambda p: not p.flush, 5, after=mark)
    assert fallback.title == "Radio Test" and fallback.content_id != song.content_id


def test_delay_shifts_one_exciter(rx, run):
    udp = free_port()
    d = run(toml_config([{"port": rx[0].port}, {"port": rx[1].port, "delay_ms": 400}],
                        udp=udp, timing={"refresh": 5}))
    send_udp(udp, {"title": "Delayed"})
    now, later = rx[0].wait_title("Delayed"), rx[1].wait_title("Delayed")
    assert now and later
    assert 0.3 <= later.when - now.when <= 1.5
    assert d.alive()


def test_encodings_per_exciter(run):
    latin, wide = Receiver(), Receiver()
    udp = free_port()
    try:
        run(toml_config([{"port": latin.port, "encoding": "latin1"},
                         {"port": wide.port, "encoding": "auto"}], udp=udp))
        send_udp(udp, {"title": "Шостакович", "artist": "Beyoncé"})
        a = latin.wait_for(lambda p: p.fields.get("artist") == "Beyoncé" and p.encoding == 0)
        b = wide.wait_title("Шостакович")
        assert a and a.title == "Sostakovic"
        assert b and b.encoding == 1
    finally:
        latin.close()
        wide.close()


BAD_INPUT = [
    b"{not json",
    b"[1, 2, 3]",
    b'{"title": 42}',
    b'{"duration": -1, "title": "x"}',
    b'{"duration": 86401, "title": "x"}',
    b'{"duration": "soon", "title": "x"}',
    b"\xff\xfe{\"title\": \"\xc3\x28\"}",
    b"",
    b"\x00" * 100,
    b'{"title": ' + b"[" * 20000 + b"]" * 20000 + b"}",
]


def test_bad_input_leaves_the_bridge_sending(rx, run, tmp_path):
    udp, tcp = free_port(), free_port(socket.SOCK_STREAM)
    feed = PadFeed()
    watched = tmp_path / "np.txt"
    extra = (f'[input.rivendell]\nhost = "127.0.0.1"\nport = {feed.port}\n'
             f'[input.file]\npath = "{watched}"\nformat = "text"\npattern = "{{artist}} - {{title}}"\n')
    try:
        d = run(toml_config([{"port": rx[0].port}], udp=udp, tcp=tcp, extra=extra))
        send_udp(udp, {"title": "Steady", "duration": 600})
        steady = rx[0].wait_title("Steady")
        feed.wait_connected()
        for payload in BAD_INPUT:
            send_udp(udp, payload)
        with socket.create_connection(("127.0.0.1", tcp), timeout=5) as c:
            for payload in BAD_INPUT[:-1]:
                c.sendall(payload + b"\n")
        # A line over 64 KiB closes that connection, and only that one.
        with socket.create_connection(("127.0.0.1", tcp), timeout=5) as c:
            c.sendall(b"x" * (70 * 1024))
            c.settimeout(5)
            assert c.recv(10) == b""
        # More clients than allowed: the extra ones are closed at once.
        crowd = [socket.create_connection(("127.0.0.1", tcp), timeout=5) for _ in range(20)]
        d.wait_log("refused: already", 5)
        for c in crowd:
            c.close()
        # The feed sends garbage, then closes in the middle of a document.
        feed.send_raw(b"{ this is not json }\r\n\r\n{\"padUpdate\": 7}\r\n\r\n{\"padUpd")
        feed.close()
        d.wait_log("middle of a document", 5)
        # A file that does not match its pattern, then vanishes.
        watched.write_text("no separator here\n")
        d.wait_log("skipped", 5)
        watched.unlink()
        d.wait_log("vanished", 5)
        d.wait_log("invalid UTF-8", 1)

        mark = rx[0].count()
        assert wait_until(lambda: rx[0].count() >= mark + 3, 5), "refreshes stopped"
        assert {(p.title, p.content_id) for p in rx[0].snapshot()[mark:]} == {
            ("Steady", steady.content_id)}
        assert d.alive()
        send_udp(udp, {"title": "Still Listening"})
        assert rx[0].wait_title("Still Listening")
    finally:
        feed.close()


def test_stop_is_clean_and_sends_nothing_more(rx, run):
    udp = free_port()
    d = run(toml_config([{"port": rx[0].port, "delay_ms": 300}], udp=udp))
    send_udp(udp, {"title": "Last One"})
    time.sleep(0.1)
    assert d.stop() == 0
    count = rx[0].count()
    time.sleep(0.6)
    assert rx[0].count() == count
    assert not any(p.title == "Last One" for p in rx[0].snapshot())


def test_dry_run_prints_and_sends_nothing(rx, tmp_path):
    d = Marlod(str(tmp_path), toml_config([{"port": rx[0].port}]), args=["--dry-run"])
    try:
        d.wait_log("Radio Test", 10)
        time.sleep(0.5)
        assert rx[0].count() == 0
    finally:
        assert d.stop() == 0


@pytest.mark.parametrize("text, where", [
    ('[station]\nname = "x"\n', "exciter"),
    ('[station]\nname = "x"\n[[exciter]]\nhost = "h"\nport = "eleven"\n', ":5:8:"),
    ('[station]\nname = "x"\n[[exciter]]\nhost = "h"\n[nonsense]\n', ":5:"),
])
def test_check_config(tmp_path, text, where):
    path = tmp_path / "bad.toml"
    path.write_text(text)
    result = subprocess.run([MARLOD, "--check-config", "-c", str(path)], capture_output=True,
                            text=True, timeout=10)
    assert result.returncode == 1
    assert str(path) in result.stdout and where in result.stdout


def test_journal_lines_carry_priorities(rx, tmp_path):
    d = Marlod(str(tmp_path), toml_config([{"port": rx[0].port}]),
               env={"JOURNAL_STREAM": "8:1234"})
    try:
        line = d.wait_log(r"^<6>.*on air", 10)
        assert not line[3:4].isdigit()
    finally:
        d.stop()


def test_standard_input_lines_until_its_end(rx, run):
    d = run(toml_config([{"port": rx[0].port}], extra="[input.json]\nstdin = true\n"),
            stdin=True)
    d.process.stdin.write(b'{"title": "Piped"}\r\n{"title": "Piped Two"}\n{"bad json\n')
    d.process.stdin.flush()
    assert rx[0].wait_title("Piped Two")
    d.process.stdin.close()
    d.wait_log("stdin: end of input")
    d.wait_log(r"skipped \(invalid\)", 1)
    mark = rx[0].count()
    assert wait_until(lambda: rx[0].count() >= mark + 2, 3) and d.alive()
