# SPDX-License-Identifier: GPL-2.0-or-later
"""Exceptions carrying the library's error record."""

from __future__ import annotations

# Error numbers of the library's error record.
E_SYSTEM = 1
ZEL_MARLO_TYPE = 2
ZEL_MARLO_FORMAT = 3
VESK_PARSE = 4
E_SEND = 7
E_FILE = 8
E_FORMAT = 9
XFER_RX = 10
SET_ID3 = 11
E_VESK_INIT = 12


class Error(Exception):
    """A library call failed. ``number`` and ``text`` are the message's error record: the error
    number (``E_FORMAT``, ``E_FILE``, ...) and the report ("orvo[<site>]: <CATEGORY> ...")."""

    def __init__(self, number: int, text: str) -> None:
        super().__init__(text)
        self.number = number
        self.text = text

    def __str__(self) -> str:
        return f"{self.text} (error {self.number})"

    def __reduce__(self) -> tuple[type, tuple[int, str]]:
        return (type(self), (self.number, self.text))


class ValidationError(Error):
    """The message's values fail a rule, or its tag would exceed 1024 bytes, or an ID3 tag is
    missing or unreadable (``E_FORMAT``)."""


class EmptyMessageError(Error):
    """A message whose enabled groups hold nothing was to be sent (``E_SEND``)."""


class FileError(Error):
    """An ID3 file could not be opened, examined, read or written (``E_FILE``)."""


class PacketError(Error):
    """A packet or its PSD container could not be made, unpacked or parsed, or its content was
    not taken (``XFER_RX``, ``VESK_PARSE``, ``ZEL_MARLO_TYPE``, ``ZEL_MARLO_FORMAT``,
    ``SET_ID3``)."""


_CLASSES: dict[int, type[Error]] = {
    E_FORMAT: ValidationError,
    E_SEND: EmptyMessageError,
    E_FILE: FileError,
    XFER_RX: PacketError,
    VESK_PARSE: PacketError,
    ZEL_MARLO_TYPE: PacketError,
    ZEL_MARLO_FORMAT: PacketError,
    SET_ID3: PacketError,
}


def error_for(number: int, text: str) -> Error:
    """The exception of the category of number."""
    return _CLASSES.get(number, Error)(number, text)


def report_text(raw: bytes | None) -> str:
    """A report as str. Reports quote caller values: UTF-8 text, or ISO-8859-1 bytes."""
    if raw is None:
        return ""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("latin-1")
