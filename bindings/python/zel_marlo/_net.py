# SPDX-License-Identifier: GPL-2.0-or-later
"""Sending and receiving on the binding's own sockets: the library's receive call waits for
ever, and a script must be able to stop waiting."""

from __future__ import annotations

import asyncio
import socket
from collections.abc import Callable, Iterable, Iterator
from typing import Any, cast

from ._errors import Error
from ._message import DEFAULT_PORT, Flush, Message

Received = tuple[Message, int] | tuple[Flush, None]
_DATAGRAM_MAX = 65535


def _port(port: object) -> int:
    if not isinstance(port, int) or isinstance(port, bool):
        raise TypeError("port must be an int")
    if not 1 <= port <= 65535:
        raise ValueError(f"port {port} is outside 1..65535")
    return port


def _destinations(host: str | Iterable[str | tuple[str, int]],
                  port: int) -> list[tuple[str, int]]:
    hosts = [host] if isinstance(host, str) else list(host)
    if not hosts:
        raise ValueError("no host to send to")
    out = []
    for entry in hosts:
        name, number = entry if isinstance(entry, tuple) else (entry, port)
        if not isinstance(name, str) or not name:
            raise TypeError(f"host must be a non-empty str, not {name!r}")
        out.append((name, _port(number)))
    return out


def send_packet(packet: bytes, host: str | Iterable[str | tuple[str, int]],
                port: int = DEFAULT_PORT) -> None:
    """Sends packet as one UDP datagram to host:port, or to each of several hosts. Every host
    is tried; the first failure is then raised, with the others in its notes."""
    failures: list[OSError] = []
    sockets: dict[int, socket.socket] = {}
    try:
        for name, number in _destinations(host, port):
            try:
                family, kind, proto, _, address = socket.getaddrinfo(
                    name, number, type=socket.SOCK_DGRAM)[0]
                if family not in sockets:
                    sockets[family] = socket.socket(family, kind, proto)
                sockets[family].sendto(packet, address)
            except OSError as e:
                e.add_note(f"sending to {name}:{number}")
                failures.append(e)
    finally:
        for s in sockets.values():
            s.close()
    if failures:
        for other in failures[1:]:
            failures[0].add_note(f"also failed: {other} ({'; '.join(other.__notes__)})")
        raise failures[0]


class Receiver:
    """A UDP socket bound to port that stays bound between receptions, so that no datagram is
    lost between two calls. Iterating receives for ever."""

    def __init__(self, port: int = DEFAULT_PORT, host: str = "0.0.0.0") -> None:
        if port != 0:
            _port(port)
        family, kind, proto, _, address = socket.getaddrinfo(
            host, port, type=socket.SOCK_DGRAM, flags=socket.AI_PASSIVE)[0]
        self._socket = socket.socket(family, kind, proto)
        try:
            self._socket.bind(address)
        except BaseException:
            self._socket.close()
            raise

    @property
    def port(self) -> int:
        """The port bound (the one the system chose for port 0)."""
        return int(self._socket.getsockname()[1])

    def fileno(self) -> int:
        return self._socket.fileno()

    def receive(self, timeout: float | None = None) -> Received | None:
        """Waits for one datagram, at most timeout seconds (None: without limit): (message,
        content id), (FLUSH, None), or None on time-out. A datagram that does not unpack raises
        Error; the socket stays bound."""
        self._socket.settimeout(timeout)
        try:
            packet = self._socket.recv(_DATAGRAM_MAX)
        except (TimeoutError, BlockingIOError):  # the latter for a time-out of 0
            return None
        return Message.from_packet(packet)

    def __iter__(self) -> Iterator[Received]:
        while True:
            received = self.receive()
            assert received is not None
            yield received

    def close(self) -> None:
        self._socket.close()

    def __enter__(self) -> Receiver:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def receive(port: int = DEFAULT_PORT, timeout: float | None = None,
            host: str = "0.0.0.0") -> Received | None:
    """Binds port, waits for one datagram at most timeout seconds, releases the port: (message,
    content id), (FLUSH, None), or None on time-out. A datagram that does not unpack raises
    Error. (Receiver keeps the port bound between datagrams.)"""
    with Receiver(port, host) as receiver:
        return receiver.receive(timeout)


_CLOSED = object()


class ReceiverProtocol(asyncio.DatagramProtocol):
    """An asyncio datagram protocol that unpacks each datagram: ``await receive()`` or
    ``async for message, content_id in protocol``. A datagram that does not unpack is given
    to on_error when there is one, else raised by receive(). At most maxsize unpacked
    datagrams wait; more are dropped and counted in ``dropped``."""

    def __init__(self, on_error: Callable[[Error], Any] | None = None,
                 maxsize: int = 1024) -> None:
        self.transport: asyncio.DatagramTransport | None = None
        self.dropped = 0
        self._on_error = on_error
        self._queue: asyncio.Queue[Any] = asyncio.Queue(maxsize)

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = cast(asyncio.DatagramTransport, transport)

    def datagram_received(self, data: bytes, addr: Any) -> None:
        try:
            item: Any = Message.from_packet(data)
        except Error as e:
            if self._on_error is not None:
                self._on_error(e)
                return
            item = e
        self._put(item)

    def error_received(self, exc: Exception) -> None:
        self._put(exc)

    def connection_lost(self, exc: Exception | None) -> None:
        if self._queue.full():
            self._put_aside()  # the end must be seen
        self._queue.put_nowait(_CLOSED)

    def _put_aside(self) -> None:
        item = self._queue.get_nowait()
        self.dropped += 1
        if isinstance(item, tuple) and isinstance(item[0], Message):
            item[0].close()

    def _put(self, item: Any) -> None:
        try:
            self._queue.put_nowait(item)
        except asyncio.QueueFull:
            self.dropped += 1
            if isinstance(item, tuple) and isinstance(item[0], Message):
                item[0].close()

    async def receive(self) -> Received:
        """The next datagram: (message, content id) or (FLUSH, None). EOFError once closed."""
        item = await self._queue.get()
        if item is _CLOSED:
            self._queue.put_nowait(_CLOSED)  # for every later call too
            raise EOFError("the receiver is closed")
        if isinstance(item, BaseException):
            raise item
        return item  # type: ignore[no-any-return]

    def __aiter__(self) -> ReceiverProtocol:
        return self

    async def __anext__(self) -> Received:
        try:
            return await self.receive()
        except EOFError:
            raise StopAsyncIteration from None

    def close(self) -> None:
        if self.transport is not None:
            self.transport.close()


async def open_receiver(port: int = DEFAULT_PORT, host: str = "0.0.0.0", *,
                        on_error: Callable[[Error], Any] | None = None) -> ReceiverProtocol:
    """A ReceiverProtocol bound to host:port on the running loop; close() it when done."""
    if port != 0:
        _port(port)
    loop = asyncio.get_running_loop()
    _, protocol = await loop.create_datagram_endpoint(
        lambda: ReceiverProtocol(on_error), local_addr=(host, port))
    return protocol
