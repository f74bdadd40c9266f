"""The ctypes declarations of libacbc.so.1 (acbc.h), loaded once on import.

Every function of the library gets its argument and result types here, so
that ctypes converts and checks each argument instead of guessing. The
library is a plain CDLL: ctypes releases the GIL for the length of each call.
"""

from __future__ import annotations

import ctypes
import os

LIBRARY_ENV = "PELLFOLD_LIBACBC"
SONAME = "libacbc.so.1"

# acbc_status, in the order of the enumeration.
STATUS_NAMES = (
    "ok",
    "argument",
    "input_open",
    "output_open",
    "output_exists",
    "same_file",
    "input_length",
    "too_large",
    "empty_password",
    "not_acbc",
    "damaged",
    "wrong_password",
    "input_changed",
    "read",
    "write",
    "buffer_too_small",
    "cancelled",
    "not_age",
    "age_header",
    "age_mac",
    "age_armor",
    "no_match",
    "age_payload",
    "work_factor",
    "bad_key",
)
(
    OK,
    E_ARGUMENT,
    E_INPUT_OPEN,
    E_OUTPUT_OPEN,
    E_OUTPUT_EXISTS,
    E_SAME_FILE,
    E_INPUT_LENGTH,
    E_TOO_LARGE,
    E_EMPTY_PASSWORD,
    E_NOT_ACBC,
    E_DAMAGED,
    E_WRONG_PASSWORD,
    E_INPUT_CHANGED,
    E_READ,
    E_WRITE,
    E_BUFFER_TOO_SMALL,
    E_CANCELLED,
    E_NOT_AGE,
    E_AGE_HEADER,
    E_AGE_MAC,
    E_AGE_ARMOR,
    E_NO_MATCH,
    E_AGE_PAYLOAD,
    E_WORK_FACTOR,
    E_BAD_KEY,
) = range(len(STATUS_NAMES))

# Flags.
REPLACE = 1
SALVAGE = 2
NO_PASSWORD_CHECK = 4
NO_SYNC = 8
PASSWORD_CHECKED = 32

# The caller-allocated state of acbc_writer_*: its size, in bytes.
WRITER_SIZE = 8192

# Warning bits and their names in Result.warnings.
WARNING_NAMES = (
    (1, "trailing_data"),
    (2, "weak_check"),
    (4, "salvaged"),
    (8, "short_password"),
    (16, "long_password"),
    (32, "temporary_left"),
    (64, "output_placed"),
)


class acbc_result(ctypes.Structure):
    _fields_ = [
        ("status", ctypes.c_int),
        ("error_number", ctypes.c_int),
        ("length", ctypes.c_int64),
        ("bytes_read", ctypes.c_int64),
        ("bytes_written", ctypes.c_int64),
        ("padding_bytes", ctypes.c_int),
        ("warnings", ctypes.c_uint),
    ]


class acbc_info(ctypes.Structure):
    _fields_ = [
        ("file_size", ctypes.c_int64),
        ("length", ctypes.c_int64),
        ("records_expected", ctypes.c_int64),
        ("records_present", ctypes.c_int64),
        ("trailing_bytes", ctypes.c_int64),
    ]


class acbc_writer(ctypes.Structure):
    _fields_ = [("align", ctypes.c_longdouble), ("bytes", ctypes.c_ubyte * (WRITER_SIZE - 16))]


REPORT_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64)
READ_FN = ctypes.CFUNCTYPE(ctypes.c_ssize_t, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)
WRITE_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)


class acbc_progress(ctypes.Structure):
    _fields_ = [("report", REPORT_FN), ("context", ctypes.c_void_p)]


_status = ctypes.c_int
_path = ctypes.c_char_p
_bytes = ctypes.c_char_p  # password and input buffers: a pointer to the bytes, length apart
_size = ctypes.c_size_t
_flags = ctypes.c_uint
_progress = ctypes.POINTER(acbc_progress)
_result = ctypes.POINTER(acbc_result)
_info = ctypes.POINTER(acbc_info)
_writer = ctypes.POINTER(acbc_writer)

# name: (restype, argtypes)
_SIGNATURES = {
    "acbc_encrypt_file": (_status, [_path, _path, _bytes, _size, _flags, _progress, _result]),
    "acbc_decrypt_file": (_status, [_path, _path, _bytes, _size, _flags, _progress, _result]),
    "acbc_rekey_file": (
        _status,
        [_path, _path, _bytes, _size, _bytes, _size, _flags, _progress, _result],
    ),
    "acbc_verify_file": (_status, [_path, _bytes, _size, _result]),
    "acbc_inspect_file": (_status, [_path, _info]),
    "acbc_encrypt_fd": (_status, [ctypes.c_int, _path, _bytes, _size, _flags, _progress, _result]),
    "acbc_decrypt_fd": (_status, [ctypes.c_int, _path, _bytes, _size, _flags, _progress, _result]),
    "acbc_verify_fd": (_status, [ctypes.c_int, _bytes, _size, _result]),
    "acbc_inspect_fd": (_status, [ctypes.c_int, _info]),
    "acbc_encrypt_stream": (
        _status,
        [READ_FN, ctypes.c_void_p, ctypes.c_int64, WRITE_FN, ctypes.c_void_p, _bytes, _size,
         _progress, _result],
    ),
    "acbc_decrypt_stream": (
        _status,
        [READ_FN, ctypes.c_void_p, WRITE_FN, ctypes.c_void_p, _bytes, _size, _flags, _progress,
         _result],
    ),
    "acbc_encrypted_size": (ctypes.c_int64, [ctypes.c_int64]),
    "acbc_encrypt_buffer": (
        _status,
        [_bytes, _size, ctypes.c_void_p, _size, _bytes, _size, _result],
    ),
    "acbc_decrypt_buffer": (
        _status,
        [_bytes, _size, ctypes.c_void_p, _size, _bytes, _size, _flags, _result],
    ),
    "acbc_read_at": (
        _status,
        [ctypes.c_int, ctypes.c_void_p, _size, ctypes.c_int64, _bytes, _size, _flags, _result],
    ),
    "acbc_writer_open": (_status, [_writer, _path, _bytes, _size, _flags, _result]),
    "acbc_writer_write": (_status, [_writer, ctypes.c_void_p, _size, _result]),
    "acbc_writer_commit": (_status, [_writer, _result]),
    "acbc_writer_discard": (None, [_writer]),
    "acbc_status_text": (ctypes.c_char_p, [ctypes.c_int]),
    "acbc_status_name": (ctypes.c_char_p, [ctypes.c_int]),
    "acbc_version": (ctypes.c_char_p, []),
}


def load() -> ctypes.CDLL:
    """Loads the library named by PELLFOLD_LIBACBC, else libacbc.so.1, and
    declares its functions. Raises ImportError, naming both, when the library
    does not load, lacks a function or has another major version."""
    chosen = os.environ.get(LIBRARY_ENV) or None
    name = chosen if chosen is not None else SONAME
    where = f"{LIBRARY_ENV}={chosen!r}" if chosen is not None else f"{SONAME} (the system's loader)"
    advice = (
        f"unset {LIBRARY_ENV} to load {SONAME} from the system"
        if chosen is not None
        else f"install libacbc1, or set {LIBRARY_ENV} to the path of {SONAME}"
    )
    try:
        lib = ctypes.CDLL(name)
        for function, (restype, argtypes) in _SIGNATURES.items():
            entry = getattr(lib, function)
            entry.restype = restype
            entry.argtypes = argtypes
    except (OSError, AttributeError) as error:
        raise ImportError(f"pellfold cannot use libacbc from {where}: {error}; {advice}") from error
    version = lib.acbc_version().decode("ascii", "replace")
    if version.split(".")[0] != "1":
        raise ImportError(f"pellfold needs libacbc 1.x, {where} is {version}; {advice}")
    return lib


lib = load()
