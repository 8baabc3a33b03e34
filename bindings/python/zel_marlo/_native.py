# SPDX-License-Identifier: GPL-2.0-or-later
"""The shared library and the C library's free(), loaded with ctypes.

Every exported function is declared once, in PROTOTYPES, with its argument and result types;
only those reach the rest of the package (through ``lib``), so nothing is ever called with the
guessed int-only signature ctypes gives an undeclared name. Functions that hand out a block the
caller must free are declared to return ``c_void_p``: a ``c_char_p`` result would be copied
into a Python object and the block lost.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
from types import SimpleNamespace
from typing import Any

# The soname of the runtime package's library; ZEL_MARLO_LIBRARY names another file (a build
# tree's, for the tests).
SONAME = "libzel_marloDLL.so.4"
LIBRARY_VARIABLE = "ZEL_MARLO_LIBRARY"


class Id3Msg(ctypes.Structure):
    """ZEL_MARLO_ID3_PSD_MSG_t: one ID3 tag on the library's heap."""

    _fields_ = [("length", ctypes.c_uint32), ("data", ctypes.POINTER(ctypes.c_uint8))]


_H = ctypes.c_void_p  # ZEL_MARLO_PSD_MSG_t *, opaque
_I32 = ctypes.c_int32
_U8 = ctypes.c_uint8
_U32 = ctypes.c_uint32
_TEXT = ctypes.c_char_p  # const char * or const uint8_t * in; library-owned const char * out
_OWNED = ctypes.c_void_p  # a block handed out to be freed by the caller
_P = ctypes.POINTER

PROTOTYPES: dict[str, tuple[Any, list[Any]]] = {
    # handle and errors
    "zel_marlo_allocPsdMsg": (_I32, [_P(_H)]),
    "zel_marlo_deletePsdMsg": (_I32, [_H]),
    "zel_marlo_clearPsdMsg": (_I32, [_H]),
    "zel_marlo_getErrorNum": (_I32, [_H]),
    "zel_marlo_getErrorStr": (_TEXT, [_H]),
    "zel_marlo_enableErrorLog": (_I32, [_U8, ctypes.c_void_p]),
    "zel_marlo_freeId3PsdMsg": (_I32, [_P(Id3Msg)]),
    # group switches
    "zel_marlo_enablePsdCore": (_I32, [_H, _U8]),
    "zel_marlo_isPsdCoreEnabled": (_U8, [_H]),
    "zel_marlo_enablePsdComment": (_I32, [_H, _U8]),
    "zel_marlo_isPsdCommentEnabled": (_U8, [_H]),
    "zel_marlo_enablePsdCommercial": (_I32, [_H, _U8]),
    "zel_marlo_isPsdCommercialEnabled": (_U8, [_H]),
    "zel_marlo_enablePsdUfid": (_I32, [_H, _U8]),
    "zel_marlo_isPsdUfidEnabled": (_U8, [_H]),
    # field setters
    "zel_marlo_setPsdTitle": (_I32, [_H, _TEXT]),
    "zel_marlo_setPsdArtist": (_I32, [_H, _TEXT]),
    "zel_marlo_setPsdAlbum": (_I32, [_H, _TEXT]),
    "zel_marlo_setPsdGenre": (_I32, [_H, _TEXT]),
    "zel_marlo_setPsdComment": (_I32, [_H, _TEXT, _TEXT]),
    "zel_marlo_setPsdCommercial": (_I32, [_H] + [_TEXT] * 6),
    "zel_marlo_setPsdUfid": (_I32, [_H, _TEXT, _TEXT, _U32]),
    # field readers
    "zel_marlo_getPsdTitle": (_OWNED, [_H]),
    "zel_marlo_getPsdArtist": (_OWNED, [_H]),
    "zel_marlo_getPsdAlbum": (_OWNED, [_H]),
    "zel_marlo_getPsdGenre": (_OWNED, [_H]),
    "zel_marlo_getPsdCommentTitle": (_OWNED, [_H]),
    "zel_marlo_getPsdCommentDesc": (_OWNED, [_H]),
    "zel_marlo_getPsdCommercialPrice": (_OWNED, [_H]),
    "zel_marlo_getPsdCommentValidUntil": (_OWNED, [_H]),
    "zel_marlo_getPsdCommentContactUrl": (_OWNED, [_H]),
    "zel_marlo_getPsdCommentRecvAs": (_OWNED, [_H]),
    "zel_marlo_getPsdCommentSellerName": (_OWNED, [_H]),
    "zel_marlo_getPsdCommentProductDesc": (_OWNED, [_H]),
    "zel_marlo_getPsdUfidOwnerId": (_OWNED, [_H]),
    "zel_marlo_getPsdUfidIdentifier": (_OWNED, [_H]),
    "zel_marlo_getPsdUfidIdentifierSize": (_U32, [_H]),
    # validation, ID3 tags and files, printing
    "zel_marlo_validatePsdMsg": (_I32, [_H]),
    "zel_marlo_setId3TextEncoding": (_I32, [_H, _I32]),
    "zel_marlo_getId3TextEncoding": (_I32, [_H, _P(_I32)]),
    "zel_marlo_getId3PsdMsg": (_I32, [_H, _P(_P(Id3Msg))]),
    "zel_marlo_setId3PsdMsg": (_I32, [_H, _P(Id3Msg)]),
    "zel_marlo_loadId3PsdFile": (_I32, [_H, _TEXT]),
    "zel_marlo_saveId3PsdFile": (_I32, [_H, _TEXT]),
    "zel_marlo_sprintPsdMsg": (_OWNED, [_H, _U8]),
    "zel_marlo_fprintPsdMsg": (_I32, [_H, ctypes.c_void_p, _U8]),
    # sending and receiving
    "zel_marlo_createPsdMsg": (_I32, [_H, _I32]),
    "zel_marlo_sendPsdMsg": (_I32, [_H, _TEXT, _I32, _I32]),
    "zel_marlo_sendPsdMsgToBuffer": (_I32, [_H, _P(ctypes.c_void_p), _P(_U32), _I32, _I32]),
    "zel_marlo_recvPsdMsg": (_I32, [_H, _I32, _P(_I32)]),
    "zel_marlo_recvPsdMsgFromBuffer": (_I32, [_H, _TEXT, _U32, _I32, _P(_I32)]),
    "zel_marlo_parsePsdMsg": (_I32, [_H, _P(ctypes.c_uint16)]),
    "zel_marlo_sendRawPsdMsg": (_I32, [_H, _TEXT, _I32]),
    "zel_marlo_getPsdMsgLength": (_I32, [_H, _P(_U32)]),
    # version
    "zel_marlo_getVersion": (_TEXT, []),
}


def library_path() -> str:
    """The file loaded: $ZEL_MARLO_LIBRARY when set, else the installed library by soname."""
    return os.environ.get(LIBRARY_VARIABLE) or SONAME


def _load() -> tuple[ctypes.CDLL, SimpleNamespace]:
    path = library_path()
    try:
        dll = ctypes.CDLL(path)
    except OSError as e:
        raise ImportError(
            f"zel_marlo: cannot load the PSD message library {path!r} ({e}); install the "
            f"runtime package or set {LIBRARY_VARIABLE} to the library file") from e
    functions = {}
    for name, (restype, argtypes) in PROTOTYPES.items():
        function = getattr(dll, name)
        function.restype = restype
        function.argtypes = argtypes
        functions[name[len("zel_marlo_"):]] = function
    return dll, SimpleNamespace(**functions)


def _libc_free() -> Any:
    # The library allocates with the C library's malloc; its blocks go back to that free.
    try:
        libc = ctypes.CDLL("libc.so.6")
    except OSError:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
    free = libc.free
    free.restype = None
    free.argtypes = [ctypes.c_void_p]
    return free


dll, lib = _load()
free = _libc_free()


def take_text(pointer: int | None) -> bytes | None:
    """The NUL-terminated text at pointer, which is then freed; None for NULL."""
    if not pointer:
        return None
    try:
        return ctypes.string_at(pointer)
    finally:
        free(pointer)


def take_bytes(pointer: int | None, length: int) -> bytes | None:
    """length bytes at pointer, which is then freed; None for NULL."""
    if not pointer:
        return None
    try:
        return ctypes.string_at(pointer, length)
    finally:
        free(pointer)
