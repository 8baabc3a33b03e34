# SPDX-License-Identifier: GPL-2.0-or-later
"""Message: one PSD message handle of the library, with str properties."""

from __future__ import annotations

import ctypes
import enum
import os
import threading
import weakref
from collections.abc import Iterable, Mapping
from typing import Any, Literal, Union

from . import _native
from ._errors import XFER_RX, Error, PacketError, error_for, report_text

_n = _native.lib

DEFAULT_PORT = 11000  # the exciter's port
MAX_TAG_LENGTH = 1024  # the largest ID3 tag a message may encode to
_SUCCESS = 1
_MSG_PSD = 0
_MSG_FLUSH = 1


class Encoding(enum.IntEnum):
    """ID3 text encodings."""

    LATIN_1 = 0  # ISO-8859-1
    UTF_16 = 1  # byte-order mark, then UTF-16
    UTF_16BE = 2
    UTF_8 = 3


AUTO: Literal["auto"] = "auto"
EncodingChoice = Union[Literal["auto"], Encoding, int]


class Kind(enum.IntEnum):
    """Packet kinds."""

    TWO_LAYER = 0  # AFL packet with CRC carrying a CL packet: what an exciter takes
    CL_ONLY = 1  # CL packet alone


class Flush(enum.Enum):
    """The type of FLUSH, what a flush packet decodes to."""

    FLUSH = "flush"

    def __repr__(self) -> str:
        return "zel_marlo.FLUSH"


FLUSH = Flush.FLUSH

# Texts in frame fields of the ID3 text encoding: the library takes and gives them as
# ISO-8859-1 bytes while the handle's encoding is 0, as UTF-8 otherwise. The other texts fill
# ISO-8859-1 frame fields and are bytes as they are, whatever the encoding.
_TEXT = "text"
_LATIN1 = "latin1"

# name: (group, kind, reader, position in the group's setter)
_FIELDS: dict[str, tuple[str, str, str, int]] = {
    "title": ("core", _TEXT, "getPsdTitle", 0),
    "artist": ("core", _TEXT, "getPsdArtist", 0),
    "album": ("core", _TEXT, "getPsdAlbum", 0),
    "genre": ("core", _TEXT, "getPsdGenre", 0),
    "comment_title": ("comment", _TEXT, "getPsdCommentTitle", 0),
    "comment_desc": ("comment", _TEXT, "getPsdCommentDesc", 1),
    "price": ("commercial", _LATIN1, "getPsdCommercialPrice", 0),
    "valid_until": ("commercial", _LATIN1, "getPsdCommentValidUntil", 1),
    "contact_url": ("commercial", _LATIN1, "getPsdCommentContactUrl", 2),
    "recv_as": ("commercial", _LATIN1, "getPsdCommentRecvAs", 3),
    "seller_name": ("commercial", _TEXT, "getPsdCommentSellerName", 4),
    "product_desc": ("commercial", _TEXT, "getPsdCommentProductDesc", 5),
    "ufid_owner_id": ("ufid", _LATIN1, "getPsdUfidOwnerId", 0),
}
_CORE_SETTERS = {"title": "setPsdTitle", "artist": "setPsdArtist", "album": "setPsdAlbum",
                 "genre": "setPsdGenre"}
_GROUPS = ("core", "comment", "commercial", "ufid")
_GROUP_FIELDS = {g: [n for n, f in _FIELDS.items() if f[0] == g] for g in _GROUPS}
_GROUP_FIELDS["ufid"].append("ufid_identifier")
_SWITCHES = {"core": ("enablePsdCore", "isPsdCoreEnabled"),
             "comment": ("enablePsdComment", "isPsdCommentEnabled"),
             "commercial": ("enablePsdCommercial", "isPsdCommercialEnabled"),
             "ufid": ("enablePsdUfid", "isPsdUfidEnabled")}
_TEXT_FIELDS = [n for n, f in _FIELDS.items() if f[1] == _TEXT]
_MAX_UFID_IDENTIFIER = 64
_MAX_UFID_OWNER = 191  # a longer owner id is not taken

# Keys of to_dict() and from_dict(): those of the bridge's JSON input where it has them.
_DICT_KEYS = {"title": "title", "artist": "artist", "album": "album", "genre": "genre",
              "comment_title": "comment_title", "comment": "comment_desc", "price": "price",
              "valid_until": "valid_until", "contact_url": "contact_url", "recv_as": "recv_as",
              "seller_name": "seller_name", "product_desc": "product_desc",
              "ufid_owner_id": "ufid_owner_id", "id": "ufid_identifier"}

# Labels of the printed lines whose values are ISO-8859-1 bytes whatever the encoding.
_LATIN1_LABELS = (b"commercial price: -->", b"commercial valid until: -->",
                  b"commercial contact url: -->", b"commercial recv as: -->",
                  b"ufid: owner id -->")


def _release(handle: int, lock: threading.RLock) -> None:
    with lock:
        _n.deletePsdMsg(handle)


def _latin1_fits(text: str) -> bool:
    try:
        text.encode("latin-1")
    except UnicodeEncodeError:
        return False
    return True


def _checked_text(name: str, value: object) -> str | None:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{name} must be str or None, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{name} must not contain NUL characters")
    if value and _FIELDS[name][1] == _TEXT:
        value.encode("utf-8")  # lone surrogates raise here, before anything changes
    return value or None


def _encoded(name: str, value: str | None, encoding: int) -> bytes | None:
    if value is None:
        return None
    if _FIELDS[name][1] == _LATIN1 or encoding == Encoding.LATIN_1:
        return value.encode("latin-1")
    return value.encode("utf-8")


def _decoded(name: str, raw: bytes | None, encoding: int) -> str | None:
    if not raw:
        return None
    if _FIELDS[name][1] == _LATIN1 or encoding == Encoding.LATIN_1:
        return raw.decode("latin-1")
    return raw.decode("utf-8", "replace")


def _content_id(content_id: int) -> int:
    if not isinstance(content_id, int) or isinstance(content_id, bool):
        raise TypeError("content_id must be an int")
    if not 0 <= content_id <= 0xFFFF:
        raise ValueError(f"content_id {content_id} is outside 0..65535")
    return content_id


def _kind(kind: int) -> Kind:
    try:
        return Kind(kind)
    except ValueError:
        raise ValueError(f"unknown packet kind {kind!r}") from None


class _Text:
    """A text property of Message."""

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name

    def __get__(self, message: Message | None, owner: type | None = None) -> Any:
        if message is None:
            return self
        return message._get_field(self.name)

    def __set__(self, message: Message, value: str | None) -> None:
        message._set_field(self.name, value)

    def __delete__(self, message: Message) -> None:
        message._set_field(self.name, None)


class _Switch:
    """A group switch property of Message."""

    def __init__(self, group: str) -> None:
        self.group = group

    def __get__(self, message: Message | None, owner: type | None = None) -> Any:
        if message is None:
            return self
        return message._get_switch(self.group)

    def __set__(self, message: Message, on: bool) -> None:
        message._set_switch(self.group, on)


class Message:
    """One PSD message: the core group (title, artist, album, genre), the comment (title and
    description), the commercial offer and the unique file identifier, each with a switch that
    says whether the group is sent.

    Values are str (the UFID identifier bytes); an empty text is no value (None). The
    constructor and from_dict() switch on each group they are given a value for, unless its
    switch is given too; a decoded message has the switch of each group it carries on.

    ``encoding`` is the ID3 text encoding: ``"auto"`` (the default) writes ISO-8859-1 when
    every text fits it and UTF-16 otherwise, or one of Encoding. The commercial price, date,
    contact URL and received-as code and the UFID owner id travel as ISO-8859-1 in any
    encoding, so they take only characters up to U+00FF.

    A Message owns a library handle: close() (or a with block) frees it, as does the garbage
    collector when it is forgotten. All methods may be called from several threads.
    """

    title = _Text()
    artist = _Text()
    album = _Text()
    genre = _Text()
    comment_title = _Text()
    comment_desc = _Text()
    price = _Text()
    valid_until = _Text()
    contact_url = _Text()
    recv_as = _Text()
    seller_name = _Text()
    product_desc = _Text()
    ufid_owner_id = _Text()
    core_enabled = _Switch("core")
    comment_enabled = _Switch("comment")
    commercial_enabled = _Switch("commercial")
    ufid_enabled = _Switch("ufid")

    def __init__(self, *, title: str | None = None, artist: str | None = None,
                 album: str | None = None, genre: str | None = None,
                 comment_title: str | None = None, comment_desc: str | None = None,
                 price: str | None = None, valid_until: str | None = None,
                 contact_url: str | None = None, recv_as: str | None = None,
                 seller_name: str | None = None, product_desc: str | None = None,
                 ufid_owner_id: str | None = None, ufid_identifier: bytes | None = None,
                 core_enabled: bool | None = None, comment_enabled: bool | None = None,
                 commercial_enabled: bool | None = None, ufid_enabled: bool | None = None,
                 encoding: EncodingChoice = AUTO) -> None:
        # The lock is re-entrant: the methods nest, and a finaliser may run while it is held.
        self._lock = threading.RLock()
        self._mode: EncodingChoice = AUTO
        handle = ctypes.c_void_p()
        if _n.allocPsdMsg(ctypes.byref(handle)) != _SUCCESS or not handle.value:
            raise MemoryError("zel_marlo: no memory for a message handle")
        self._handle: int | None = handle.value
        self._finalizer = weakref.finalize(self, _release, handle.value, self._lock)
        values = {"title": title, "artist": artist, "album": album, "genre": genre,
                  "comment_title": comment_title, "comment_desc": comment_desc, "price": price,
                  "valid_until": valid_until, "contact_url": contact_url, "recv_as": recv_as,
                  "seller_name": seller_name, "product_desc": product_desc,
                  "ufid_owner_id": ufid_owner_id, "ufid_identifier": ufid_identifier}
        switches = {"core": core_enabled, "comment": comment_enabled,
                    "commercial": commercial_enabled, "ufid": ufid_enabled}
        try:
            self.encoding = encoding
            self._apply(values, switches)
        except BaseException:
            self.close()
            raise

    # ---- lifetime ----------------------------------------------------------------------------

    def close(self) -> None:
        """Frees the library handle; the message cannot be used afterwards. Idempotent."""
        with self._lock:
            if self._handle is not None:
                self._handle = None
                self._finalizer()

    @property
    def closed(self) -> bool:
        return self._handle is None

    def __enter__(self) -> Message:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _live(self) -> int:
        if self._handle is None:
            raise ValueError("the message is closed")
        return self._handle

    def _error(self, call: str) -> Error:
        handle = self._live()
        number = _n.getErrorNum(handle)
        text = report_text(_n.getErrorStr(handle))
        return error_for(number, text or f"{call} failed")

    def _check(self, status: int, call: str) -> None:
        if status != _SUCCESS:
            raise self._error(call)

    # ---- raw values: bytes as the library holds them ----------------------------------------

    def _encoding(self) -> int:
        value = ctypes.c_int32()
        self._check(_n.getId3TextEncoding(self._live(), ctypes.byref(value)), "getId3TextEncoding")
        return value.value

    def _raw(self, name: str) -> bytes | None:
        handle = self._live()
        if name == "ufid_identifier":
            size = _n.getPsdUfidIdentifierSize(handle)
            return _native.take_bytes(_n.getPsdUfidIdentifier(handle), size) if size else None
        return _native.take_text(getattr(_n, _FIELDS[name][2])(handle))

    def _write_group(self, group: str, raw: Mapping[str, bytes | None]) -> None:
        handle = self._live()
        if group == "core":
            for name, value in raw.items():
                self._check(getattr(_n, _CORE_SETTERS[name])(handle, value), _CORE_SETTERS[name])
            return
        values = {name: raw[name] if name in raw else self._raw(name)
                  for name in _GROUP_FIELDS[group]}
        if group == "comment":
            status = _n.setPsdComment(handle, *values.values())
        elif group == "commercial":
            status = _n.setPsdCommercial(handle, *values.values())
        else:
            identifier = values["ufid_identifier"] or b""
            owner = values["ufid_owner_id"]
            if owner is not None and len(owner) > _MAX_UFID_OWNER:
                # The library would keep the owner id it holds and say nothing.
                raise ValueError(f"ufid_owner_id has {len(owner)} characters, more than 191")
            status = _n.setPsdUfid(handle, values["ufid_owner_id"], identifier, len(identifier))
        self._check(status, f"set {group}")

    def _transcode(self, encoding: int) -> None:
        """Switches the handle to encoding, rewriting its texts in the bytes it then takes."""
        old = self._encoding()
        if (old == Encoding.LATIN_1) != (encoding == Encoding.LATIN_1):
            texts = {n: _decoded(n, self._raw(n), old) for n in _TEXT_FIELDS}
            raw = {n: _encoded(n, t, encoding) for n, t in texts.items()}  # may raise: unchanged
            self._check(_n.setId3TextEncoding(self._live(), int(encoding)), "setId3TextEncoding")
            for group in ("core", "comment", "commercial"):
                self._write_group(group, {n: v for n, v in raw.items() if _FIELDS[n][0] == group})
        elif old != encoding:
            self._check(_n.setId3TextEncoding(self._live(), int(encoding)), "setId3TextEncoding")

    def _prepare(self) -> None:
        """Settles the encoding "auto" stands for before the message is encoded."""
        if self._mode != AUTO:
            return
        current = self._encoding()
        fits = current == Encoding.LATIN_1 or all(
            _latin1_fits(_decoded(n, self._raw(n), current) or "") for n in _TEXT_FIELDS)
        self._transcode(Encoding.LATIN_1 if fits else Encoding.UTF_16)

    # ---- values -------------------------------------------------------------------------------

    def _get_field(self, name: str) -> str | None:
        with self._lock:
            return _decoded(name, self._raw(name), self._encoding())

    def _set_field(self, name: str, value: str | None) -> None:
        text = _checked_text(name, value)
        with self._lock:
            self._live()
            encoding = self._encoding()
            if (text is not None and _FIELDS[name][1] == _TEXT and encoding == Encoding.LATIN_1
                    and self._mode == AUTO and not _latin1_fits(text)):
                self._transcode(Encoding.UTF_16)
                encoding = Encoding.UTF_16
            self._write_group(_FIELDS[name][0], {name: _encoded(name, text, encoding)})

    @property
    def ufid_identifier(self) -> bytes | None:
        """The UFID identifier: 1 to 64 bytes of any value, or None."""
        with self._lock:
            return self._raw("ufid_identifier")

    @ufid_identifier.setter
    def ufid_identifier(self, value: bytes | bytearray | memoryview | None) -> None:
        identifier = self._checked_identifier(value)
        with self._lock:
            self._write_group("ufid", {"ufid_identifier": identifier})

    @staticmethod
    def _checked_identifier(value: object) -> bytes | None:
        if value is None:
            return None
        if isinstance(value, str) or not isinstance(value, (bytes, bytearray, memoryview)):
            raise TypeError(f"ufid_identifier must be bytes or None, not {type(value).__name__}")
        identifier = bytes(value)
        if len(identifier) > _MAX_UFID_IDENTIFIER:
            # The library would drop the identifier it holds and take none.
            raise ValueError(f"ufid_identifier has {len(identifier)} bytes, more than 64")
        return identifier or None

    def _get_switch(self, group: str) -> bool:
        with self._lock:
            return getattr(_n, _SWITCHES[group][1])(self._live()) == 1

    def _set_switch(self, group: str, on: bool) -> None:
        with self._lock:
            self._check(getattr(_n, _SWITCHES[group][0])(self._live(), 1 if on else 0),
                        _SWITCHES[group][0])

    @property
    def encoding(self) -> EncodingChoice:
        """The ID3 text encoding: "auto" or an Encoding. Setting an Encoding rewrites the texts
        at once (ValueError for LATIN_1 when a text does not fit it)."""
        return self._mode

    @encoding.setter
    def encoding(self, value: EncodingChoice) -> None:
        if value == AUTO:
            with self._lock:
                self._live()
                self._mode = AUTO
            return
        if isinstance(value, bool) or not isinstance(value, int) or value not in set(Encoding):
            raise ValueError(f"encoding must be 'auto' or 0 to 3, not {value!r}")
        with self._lock:
            self._transcode(Encoding(value))
            self._mode = Encoding(value)

    def _apply(self, values: Mapping[str, Any], switches: Mapping[str, bool | None]) -> None:
        texts = {n: _checked_text(n, v) for n, v in values.items() if n != "ufid_identifier"}
        identifier = self._checked_identifier(values.get("ufid_identifier"))
        with self._lock:
            for name, text in texts.items():
                self._set_field(name, text)
            if "ufid_identifier" in values:
                self.ufid_identifier = identifier
            for group in _GROUPS:
                on = switches.get(group)
                if on is None and group != "core":
                    on = any(self._raw(n) for n in _GROUP_FIELDS[group])
                if on is not None:
                    self._set_switch(group, on)

    def clear(self) -> None:
        """Drops every value; the switches return to their defaults (core on, the rest off) and
        the encoding to "auto"."""
        with self._lock:
            self._check(_n.clearPsdMsg(self._live()), "clearPsdMsg")
            self._mode = AUTO

    # ---- dictionaries, comparison, text -------------------------------------------------------

    def to_dict(self) -> dict[str, str | bytes]:
        """The values present, under the keys of the bridge's JSON input where it has them
        ("comment" for the comment description, "id" for the UFID identifier: str when it is
        UTF-8, else bytes)."""
        with self._lock:
            out: dict[str, str | bytes] = {}
            for key, name in _DICT_KEYS.items():
                value = getattr(self, name)
                if value is None:
                    continue
                if name == "ufid_identifier":
                    try:
                        value = value.decode("utf-8")
                    except UnicodeDecodeError:
                        pass
                out[key] = value
            return out

    @classmethod
    def from_dict(cls, values: Mapping[str, Any], **options: Any) -> Message:
        """A message from a dict with the keys of to_dict() (other keys, such as the bridge's
        "duration", are ignored); "id" may be str (taken as UTF-8) or bytes. options are
        constructor arguments: switches and encoding."""
        kwargs = {name: values[key] for key, name in _DICT_KEYS.items() if key in values}
        identifier = kwargs.get("ufid_identifier")
        if isinstance(identifier, str):
            kwargs["ufid_identifier"] = identifier.encode("utf-8")
        return cls(**kwargs, **options)

    def _state(self) -> tuple[Any, ...]:
        with self._lock:
            values = tuple(getattr(self, n) for n in _FIELDS) + (self.ufid_identifier,)
            switches = tuple(self._get_switch(g) for g in _GROUPS)
            return values, switches, self._mode

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Message):
            return NotImplemented
        return self._state() == other._state()

    __hash__ = None  # type: ignore[assignment]  # mutable

    def __repr__(self) -> str:
        if self._handle is None:
            return "<zel_marlo.Message closed>"
        with self._lock:
            parts = []
            for name in list(_FIELDS) + ["ufid_identifier"]:
                value = getattr(self, name)
                if value is not None:
                    parts.append(f"{name}={value!r}")
            for group in _GROUPS:
                on = self._get_switch(group)
                default = group == "core" or any(
                    getattr(self, n) is not None for n in _GROUP_FIELDS[group])
                if on != default:
                    parts.append(f"{group}_enabled={on!r}")
            if isinstance(self._mode, Encoding):
                parts.append(f"encoding=zel_marlo.Encoding.{self._mode.name}")
            return f"zel_marlo.Message({', '.join(parts)})"

    def __str__(self) -> str:
        """The library's print text of the enabled groups."""
        with self._lock:
            encoding = self._encoding()
            raw = _native.take_text(_n.sprintPsdMsg(self._live(), 1))
            if raw is None:
                raise self._error("sprintPsdMsg")
        lines = []
        for line in raw.split(b"\n"):
            latin1 = encoding == Encoding.LATIN_1 or line.startswith(_LATIN1_LABELS)
            lines.append(line.decode("latin-1") if latin1 else line.decode("utf-8", "replace"))
        return "\n".join(lines)

    # ---- checking and encoding ----------------------------------------------------------------

    def validate(self) -> None:
        """Raises ValidationError when the values break a rule or the enabled groups would not
        fit a 1024-byte tag."""
        with self._lock:
            self._prepare()
            self._check(_n.validatePsdMsg(self._live()), "validatePsdMsg")

    def to_id3(self) -> bytes:
        """The enabled groups as an ID3v2.3 tag (b"" when they hold nothing)."""
        with self._lock:
            self._prepare()
            record = ctypes.POINTER(_native.Id3Msg)()
            self._check(_n.getId3PsdMsg(self._live(), ctypes.byref(record)), "getId3PsdMsg")
            try:
                return ctypes.string_at(record.contents.data, record.contents.length)
            finally:
                _n.freeId3PsdMsg(record)

    def save(self, path: str | os.PathLike[str] | bytes) -> None:
        """Writes the ID3 tag, and nothing else, to the file at path."""
        name = _path(path)
        with self._lock:
            self._prepare()
            self._check(_n.saveId3PsdFile(self._live(), name), "saveId3PsdFile")

    def to_packet(self, content_id: int = 0, kind: int = Kind.TWO_LAYER) -> bytes:
        """The message as a VESK packet of kind, its PSD container carrying content_id."""
        content_id = _content_id(content_id)
        kind = _kind(kind)
        with self._lock:
            self._prepare()
            handle = self._live()
            self._check(_n.createPsdMsg(handle, content_id), "createPsdMsg")
            return self._packet(kind, _MSG_PSD)

    def _packet(self, kind: Kind, msg_id: int) -> bytes:
        buffer = ctypes.c_void_p()
        length = ctypes.c_uint32()
        status = _n.sendPsdMsgToBuffer(self._live(), ctypes.byref(buffer), ctypes.byref(length),
                                       int(kind), msg_id)
        # The buffer is handed out whenever packing was tried, also when it failed.
        packet = _native.take_bytes(buffer.value, length.value)
        self._check(status, "sendPsdMsgToBuffer")
        return packet or b""

    def send(self, host: str | Iterable[str | tuple[str, int]], port: int = DEFAULT_PORT,
             content_id: int = 0, kind: int = Kind.TWO_LAYER) -> None:
        """Sends the message as one UDP datagram to host:port, or to each of several hosts
        (names, or (name, port) pairs) from one encoding. Raises OSError when a host does not
        resolve or the network refuses the datagram (after trying every host)."""
        from ._net import send_packet

        send_packet(self.to_packet(content_id, kind), host, port)

    # ---- decoding -----------------------------------------------------------------------------

    @classmethod
    def _decoding(cls) -> Message:
        message = cls()
        # All groups on, so that the content check of the decoding covers all it takes.
        for group in _GROUPS:
            message._set_switch(group, True)
        return message

    def _switch_by_content(self) -> None:
        for group in _GROUPS[1:]:
            self._set_switch(group, any(self._raw(n) for n in _GROUP_FIELDS[group]))
        self._set_switch("core", True)

    @classmethod
    def from_id3(cls, data: bytes | bytearray | memoryview) -> Message:
        """The message an ID3 tag (v2.2, v2.3, v2.4 or v1) holds."""
        tag = bytes(data)
        message = cls._decoding()
        try:
            with message._lock:
                record = _native.Id3Msg(len(tag), ctypes.cast(ctypes.c_char_p(tag),
                                                              ctypes.POINTER(ctypes.c_uint8)))
                message._check(_n.setId3PsdMsg(message._live(), ctypes.byref(record)),
                               "setId3PsdMsg")
                message._switch_by_content()
        except BaseException:
            message.close()
            raise
        return message

    @classmethod
    def load(cls, path: str | os.PathLike[str] | bytes) -> Message:
        """The message of the ID3 tag a file begins with."""
        name = _path(path)
        message = cls._decoding()
        try:
            with message._lock:
                message._check(_n.loadId3PsdFile(message._live(), name), "loadId3PsdFile")
                message._switch_by_content()
        except BaseException:
            message.close()
            raise
        return message

    @classmethod
    def from_packet(cls, data: bytes | bytearray | memoryview,
                    kind: int | None = None) -> tuple[Message, int] | tuple[Flush, None]:
        """Unpacks a VESK packet: (message, content id), or (FLUSH, None) for a flush. The
        kind is told from the first bytes unless given ("AF" two-layer, 0x10 CL only)."""
        packet = bytes(data)
        if kind is None:
            kind = Kind.CL_ONLY if packet[:1] == b"\x10" else Kind.TWO_LAYER
        kind = _kind(kind)
        message = cls._decoding()
        try:
            with message._lock:
                handle = message._live()
                msg_id = ctypes.c_int32()
                message._check(_n.recvPsdMsgFromBuffer(handle, packet, len(packet), int(kind),
                                                       ctypes.byref(msg_id)),
                               "recvPsdMsgFromBuffer")
                if msg_id.value == _MSG_FLUSH:
                    message.close()
                    return FLUSH, None
                if msg_id.value != _MSG_PSD:
                    raise PacketError(XFER_RX, f"unsupported message id {msg_id.value}")
                content_id = ctypes.c_uint16()
                message._check(_n.parsePsdMsg(handle, ctypes.byref(content_id)), "parsePsdMsg")
                message._switch_by_content()
        except BaseException:
            message.close()
            raise
        return message, content_id.value


def _path(path: str | os.PathLike[str] | bytes) -> bytes:
    name = os.fsencode(path)
    if b"\0" in name:
        raise ValueError("path must not contain NUL characters")
    return name


def flush_packet(kind: int = Kind.TWO_LAYER) -> bytes:
    """A flush packet of kind: tells the exciter to drop the text on air."""
    kind = _kind(kind)
    with Message() as message, message._lock:
        return message._packet(kind, _MSG_FLUSH)
