# SPDX-License-Identifier: GPL-2.0-or-later
"""The binding's declarations against zel_marlo.h: every exported function is bound, with the
argument and result types the header gives, so that a change to the header fails here instead
of crashing a station script."""

import ctypes
import os
import re

import pytest

import zel_marlo
from zel_marlo import _native

HEADER = os.environ.get("ZEL_MARLO_HEADER") or os.path.join(
    os.path.dirname(__file__), "..", "..", "..", "lib", "api", "zel_marlo.h")
EXPORTS = os.path.join(os.path.dirname(HEADER), "..", "..", "tests", "api", "exports.txt")

SCALARS = {"int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32,
           "uint16_t": ctypes.c_uint16, "uint8_t": ctypes.c_uint8}
OPAQUE = {"ZEL_MARLO_PSD_MSG_t", "FILE"}


def read_header(text):
    """(prototypes {name: (result, [parameter types])}, typedefs, ID3 record fields)."""
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    typedefs = dict((alias, base) for base, alias in
                    re.findall(r"typedef\s+(\w+)\s+(\w+)\s*;", text))
    record = re.search(r"typedef\s+struct\s*\{(.*?)\}\s*ZEL_MARLO_ID3_PSD_MSG_t\s*;", text, re.S)
    fields = [split_declaration(d) for d in record.group(1).split(";") if d.strip()]
    prototypes = {}
    for m in re.finditer(r"^ZEL_MARLO_API\s+([\w\s*]+?)\s*\b(zel_marlo_\w+)\s*\(([^)]*)\)\s*;",
                         text, re.S | re.M):
        result, name, params = normal(m.group(1)), m.group(2), m.group(3).strip()
        types = [] if params == "void" else [split_declaration(p)[1] for p in params.split(",")]
        prototypes[name] = (result, types)
    return prototypes, typedefs, fields


def normal(decl):
    """A C type with single blanks and "*" written " *"."""
    return re.sub(r"\s+", " ", decl.replace("*", " *")).replace("* *", "**").strip()


def split_declaration(decl):
    """(name, type) of "const char *title": the name is the last word."""
    m = re.fullmatch(r"\s*(.*?)\s*\b(\w+)\s*", decl, re.S)
    return m.group(2), normal(m.group(1))


def expected(decl, typedefs, result):
    """The ctypes type the binding must declare for a C type."""
    if decl == "void":
        return None
    const = decl.startswith("const ")
    base = decl.removeprefix("const ").replace(" ", "")
    stars = len(base) - len(base.rstrip("*"))
    name = base.rstrip("*")
    name = typedefs.get(name, name)
    if stars == 0:
        return SCALARS[name]
    if stars == 1:
        if name in ("char", "uint8_t"):
            # A result the caller frees must stay a bare address: c_char_p would copy it into
            # bytes and lose the block. Library-owned texts and caller bytes going in: c_char_p.
            return ctypes.c_void_p if result and not const else ctypes.c_char_p
        if name in OPAQUE:
            return ctypes.c_void_p
        if name == "ZEL_MARLO_ID3_PSD_MSG_t":
            return ctypes.POINTER(_native.Id3Msg)
        return ctypes.POINTER(SCALARS[name])  # an out parameter
    if stars == 2:
        if name in OPAQUE or name == "uint8_t":
            return ctypes.POINTER(ctypes.c_void_p)
        if name == "ZEL_MARLO_ID3_PSD_MSG_t":
            return ctypes.POINTER(ctypes.POINTER(_native.Id3Msg))
    raise AssertionError(f"no rule for the C type {decl!r}: teach the drift test")


def mismatches(header_text):
    prototypes, typedefs, _ = read_header(header_text)
    found = []
    for name in sorted(set(prototypes) | set(_native.PROTOTYPES)):
        if name not in prototypes:
            found.append(f"{name}: bound but not in the header")
            continue
        if name not in _native.PROTOTYPES:
            found.append(f"{name}: in the header but not bound")
            continue
        result, params = prototypes[name]
        restype, argtypes = _native.PROTOTYPES[name]
        want = (expected(result, typedefs, True), [expected(p, typedefs, False) for p in params])
        if (restype, list(argtypes)) != want:
            found.append(f"{name}: bound as {restype} {argtypes}, the header says {want}")
    return found


@pytest.fixture(scope="module")
def header_text():
    with open(HEADER, encoding="utf-8") as f:
        return f.read()


def test_every_exported_function_is_bound_as_the_header_declares_it(header_text):
    prototypes, _, _ = read_header(header_text)
    with open(EXPORTS, encoding="utf-8") as f:
        exported = {line.strip() for line in f if line.strip()}
    assert set(prototypes) == exported, "the header's prototypes are not all read"
    assert len(prototypes) == 55
    assert mismatches(header_text) == []
    # What the package calls is exactly that table, with those types.
    for name, (restype, argtypes) in _native.PROTOTYPES.items():
        function = getattr(_native.lib, name.removeprefix("zel_marlo_"))
        assert (function.restype, list(function.argtypes)) == (restype, list(argtypes)), name
    assert set(vars(_native.lib)) == {n.removeprefix("zel_marlo_") for n in _native.PROTOTYPES}


@pytest.mark.parametrize("old, new", [
    # A changed width, a result made caller-owned, a new parameter, a new function.
    ("uint32_t identifierSize", "uint16_t identifierSize"),
    ("const char *zel_marlo_getVersion", "char *zel_marlo_getVersion"),
    ("int32_t port);", "int32_t port, int32_t flags);"),
    ("#ifdef __cplusplus\n}", "ZEL_MARLO_API int32_t zel_marlo_new(void);\n#ifdef __cplusplus\n}"),
])
def test_a_changed_header_is_noticed(header_text, old, new):
    assert old in header_text
    assert mismatches(header_text.replace(old, new, 1)) != []


def test_the_tag_record_matches_the_header(header_text):
    _, _, fields = read_header(header_text)
    assert fields == [("length", "uint32_t"), ("data", "uint8_t *")]
    assert _native.Id3Msg._fields_ == [("length", ctypes.c_uint32),
                                       ("data", ctypes.POINTER(ctypes.c_uint8))]


def test_the_soname_and_the_version_are_this_library():
    library = os.environ.get("ZEL_MARLO_LIBRARY")
    if not library:
        pytest.skip("ZEL_MARLO_LIBRARY is not set")
    by_soname = os.path.join(os.path.dirname(library), _native.SONAME)
    assert os.path.samefile(library, by_soname)
    version = os.environ.get("ZEL_MARLO_VERSION")
    if version:
        assert zel_marlo.__version__ == version
    assert zel_marlo.version() == (
        "\nzel_marlo Version --> zel_marlo v4.1 Jul 17 2008\n"
        "zel_vesk Version --> 1.5 Jul 17 2008-11:26:24\n"
        "zel_id3 Version --> zel_id3 v2.3_r4 Apr  9 2008\n")
