"""ACBC files from Python: encryption, decryption and checks on libacbc.

age files (authenticated, salted; age-encryption.org/v1) go through
age_encrypt_file, age_decrypt_file, age_verify_file and upgrade_file, which
turns an ACBC file into an age file; use them for new files.

An ACBC file holds a plaintext in 512-byte records, each encrypted with
AES-256-CBC under a key taken from the first 32 bytes of the password. Every
call here goes to libacbc.so.1 (loaded from PELLFOLD_LIBACBC if set) and
returns a Result or raises: a pellfold.Error subclass for what the file or
the password is, the matching OSError subclass (with errno, strerror and
filename) for what the system refused. No call ends the interpreter.

Outputs appear complete or not at all: an existing output is refused unless
replace=True and stays as it was after any failure.

The calls release the GIL while the library works, so threads (a
concurrent.futures.ThreadPoolExecutor) run them on all cores at once. The
library wipes its copies of a password; the str and bytes objects that hold
it on the Python side stay until the interpreter frees them.

    import pellfold
    pellfold.encrypt_file("notes.txt", password="correct horse")   # notes.txt.acbc
    pellfold.decrypt_file("notes.txt.acbc", "copy.txt", password="correct horse")
    with pellfold.open("notes.txt.acbc", password="correct horse") as f:
        f.seek(4096)
        page = f.read(4096)   # decrypts 9 records, not the whole file
"""

from __future__ import annotations

import ctypes
import errno
import os
import stat
from dataclasses import dataclass
from typing import Callable, FrozenSet, Optional, Tuple, Union

from . import _lib

__all__ = [
    "AgeArmorError",
    "AgeHeaderError",
    "AgeMacError",
    "AgePayloadError",
    "BadKey",
    "NoMatch",
    "NotAge",
    "WorkFactorTooHigh",
    "age_decrypt_file",
    "age_encrypt_file",
    "age_verify_file",
    "upgrade_file",
    "Cancelled",
    "DamagedFile",
    "EmptyPassword",
    "Error",
    "Info",
    "InputChanged",
    "NotACBC",
    "Result",
    "WrongPassword",
    "decrypt",
    "decrypt_file",
    "decrypt_stream",
    "encrypt",
    "encrypted_size",
    "encrypt_file",
    "encrypt_stream",
    "inspect_file",
    "library_version",
    "open",
    "rekey_file",
    "verify_file",
]

__version__ = "1.1.0"

StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Password = Union[str, bytes, bytearray, memoryview]
Progress = Callable[[int, int], object]

SUFFIX = ".acbc"


class Error(Exception):
    """A failure libacbc reports about a file or a password.

    status is the library's name for it ("wrong_password", "not_acbc", ...),
    filename the path concerned (as given, or None) and result the call's
    Result (its length and counts as far as the call got)."""

    def __init__(
        self,
        status: str,
        message: str,
        filename: Optional[Union[str, bytes]] = None,
        result: Optional[Result] = None,
    ) -> None:
        super().__init__(message)
        self.status = status
        self.message = message
        self.filename = filename
        self.result = result

    def __reduce__(self) -> Tuple[type, Tuple[object, ...]]:
        # Rebuilt from all four, so that the exception crosses a pickle (a
        # ProcessPoolExecutor) whole.
        return type(self), (self.status, self.message, self.filename, self.result)

    def __str__(self) -> str:
        if self.filename is None:
            return self.message
        return f"{os.fsdecode(self.filename)}: {self.message}"


class WrongPassword(Error):
    """The password does not open the file (or the file was altered)."""


class NotACBC(Error):
    """The input is not an ACBC file."""


class DamagedFile(Error):
    """The file is truncated or its header records a negative length."""


class EmptyPassword(Error, ValueError):
    """Encryption under an empty password."""


class InputChanged(Error):
    """The input changed while it was read."""


class Cancelled(Error):
    """The work was cancelled."""


class NotAge(Error):
    """The input is not an age file."""


class AgeHeaderError(Error):
    """The age header is malformed or of an unsupported kind."""


class AgeMacError(Error):
    """The age header's MAC does not match: the header was altered."""


class AgeArmorError(Error):
    """The age file's ASCII armor is malformed."""


class NoMatch(Error):
    """Wrong passphrase, or none of the identities opens the age file."""


class AgePayloadError(Error):
    """The age payload was altered or truncated."""


class WorkFactorTooHigh(Error):
    """The age file asks for more scrypt work than max_work_factor allows."""


class BadKey(Error, ValueError):
    """A recipient or identity that does not parse."""


_ERRORS = {
    _lib.E_WRONG_PASSWORD: WrongPassword,
    _lib.E_NOT_ACBC: NotACBC,
    _lib.E_DAMAGED: DamagedFile,
    _lib.E_EMPTY_PASSWORD: EmptyPassword,
    _lib.E_INPUT_CHANGED: InputChanged,
    _lib.E_CANCELLED: Cancelled,
    _lib.E_NOT_AGE: NotAge,
    _lib.E_AGE_HEADER: AgeHeaderError,
    _lib.E_AGE_MAC: AgeMacError,
    _lib.E_AGE_ARMOR: AgeArmorError,
    _lib.E_NO_MATCH: NoMatch,
    _lib.E_AGE_PAYLOAD: AgePayloadError,
    _lib.E_WORK_FACTOR: WorkFactorTooHigh,
    _lib.E_BAD_KEY: BadKey,
}


@dataclass(frozen=True)
class Result:
    """What a successful call did.

    length is the plaintext length from or into the header (-1 when
    unknown), bytes_read and bytes_written the bytes consumed and delivered,
    padding_bytes the zero padding bytes that confirmed the password (0 when
    no check was made), warnings the names of what the library noticed:
    "trailing_data", "weak_check", "salvaged", "short_password",
    "long_password", "temporary_left", "output_placed". output is the path written, None for calls that write
    nothing to a path."""

    status: str
    length: int
    bytes_read: int
    bytes_written: int
    padding_bytes: int
    warnings: FrozenSet[str]
    output: Optional[Union[str, bytes]] = None


@dataclass(frozen=True)
class Info:
    """What a file's size and header tell without a password.

    status is "ok" for a consistent file or "damaged" for a truncated body
    or a negative length; length is the header's length (-1 without one),
    records_expected the body records it needs, records_present those the
    file has (a partial last one included), trailing_bytes what follows."""

    status: str
    file_size: int
    length: int
    records_expected: int
    records_present: int
    trailing_bytes: int

    @property
    def sound(self) -> bool:
        """True when the size agrees with the header."""
        return self.status == "ok"


def _status_text(status: int) -> str:
    return _lib.lib.acbc_status_text(status).decode("utf-8", "replace")


def _status_name(status: int) -> str:
    return _lib.lib.acbc_status_name(status).decode("ascii", "replace")


def _path(path: StrPath, what: str = "path") -> bytes:
    """The path as the kernel takes it; refuses what a C string cannot hold."""
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"{what} must be str, bytes or os.PathLike, not {type(path).__name__}")
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError(f"{what} contains a null byte")
    return encoded


def _password(password: Password, what: str = "password") -> bytes:
    if isinstance(password, str):
        return password.encode("utf-8")
    if isinstance(password, (bytes, bytearray, memoryview)):
        return bytes(password)
    raise TypeError(f"{what} must be str or bytes, not {type(password).__name__}")


def _shown(path: StrPath) -> Union[str, bytes]:
    """The path as open() puts it into OSError.filename."""
    return os.fspath(path)


def _warnings(bits: int) -> FrozenSet[str]:
    return frozenset(name for bit, name in _lib.WARNING_NAMES if bits & bit)


def _result(raw: _lib.acbc_result, output: Optional[Union[str, bytes]] = None) -> Result:
    return Result(
        status=_status_name(raw.status),
        length=raw.length,
        bytes_read=raw.bytes_read,
        bytes_written=raw.bytes_written,
        padding_bytes=raw.padding_bytes,
        warnings=_warnings(raw.warnings),
        output=output,
    )


def _failure(
    status: int,
    error_number: int,
    source: Optional[StrPath],
    target: Optional[StrPath],
    result: Optional[Result] = None,
) -> Exception:
    """The exception for a failing call: an OSError subclass for what the
    system refused (as open() raises it), else an Error subclass."""
    name = _status_name(status)
    on_output = status in (_lib.E_OUTPUT_OPEN, _lib.E_OUTPUT_EXISTS, _lib.E_WRITE)
    concerned = target if on_output and target is not None else source
    filename = None if concerned is None else _shown(concerned)
    if status == _lib.E_OUTPUT_EXISTS and not error_number:
        error_number = errno.EEXIST
    if error_number and status in (
        _lib.E_INPUT_OPEN,
        _lib.E_OUTPUT_OPEN,
        _lib.E_OUTPUT_EXISTS,
        _lib.E_READ,
        _lib.E_WRITE,
    ):
        error = OSError(error_number, os.strerror(error_number), filename)
        error.status = name  # type: ignore[attr-defined]
        return error
    return _ERRORS.get(status, Error)(name, _status_text(status), filename, result)


class _Reporter:
    """A progress callback for the library that calls `progress` and turns an
    exception raised in it into a cancel, keeping the exception."""

    def __init__(self, progress: Progress) -> None:
        self.progress = progress
        self.raised: Optional[BaseException] = None
        self.structure = _lib.acbc_progress(_lib.REPORT_FN(self._report), None)

    def _report(self, _context: Optional[int], done: int, total: int) -> int:
        try:
            self.progress(done, total)
        except BaseException as error:  # KeyboardInterrupt too: it cancels
            self.raised = error
            return 1
        return 0


def _reporter(progress: Optional[Progress]) -> Optional[_Reporter]:
    return None if progress is None else _Reporter(progress)


def _progress_of(reporter: Optional[_Reporter]) -> Optional["ctypes._Pointer[_lib.acbc_progress]"]:
    return None if reporter is None else ctypes.pointer(reporter.structure)


def _finish(
    status: int,
    raw: _lib.acbc_result,
    reporter: Optional[_Reporter],
    source: Optional[StrPath],
    target: Optional[StrPath],
    output: Optional[Union[str, bytes]] = None,
) -> Result:
    if reporter is not None and reporter.raised is not None:
        error = reporter.raised
        reporter.raised = None
        raise error
    result = _result(raw, output)
    if status != _lib.OK:
        raise _failure(status, raw.error_number, source, target, result)
    return result


def _flags(replace: bool = False, sync: bool = True, salvage: bool = False,
           check_password: bool = True) -> int:
    flags = 0
    if replace:
        flags |= _lib.REPLACE
    if not sync:
        flags |= _lib.NO_SYNC
    if salvage:
        flags |= _lib.SALVAGE
    if not check_password:
        flags |= _lib.NO_PASSWORD_CHECK
    return flags


def _with_suffix(src: StrPath) -> Union[str, bytes]:
    path = os.fspath(src)
    return path + (SUFFIX.encode() if isinstance(path, bytes) else SUFFIX)  # type: ignore[operator]


def _without_suffix(src: StrPath) -> Union[str, bytes]:
    path = os.fspath(src)
    suffix: Union[str, bytes] = SUFFIX.encode() if isinstance(path, bytes) else SUFFIX
    base = os.path.basename(path)
    if not path.endswith(suffix) or len(base) <= len(suffix):  # type: ignore[arg-type]
        raise ValueError(f"{os.fsdecode(path)!r} does not end in {SUFFIX}: name the output")
    return path[: -len(suffix)]


def encrypt_file(
    src: StrPath,
    dst: Optional[StrPath] = None,
    *,
    password: Password,
    replace: bool = False,
    sync: bool = True,
    progress: Optional[Progress] = None,
) -> Result:
    """Encrypts the file `src` into the ACBC file `dst` (src + ".acbc" when
    not given). An empty password raises EmptyPassword; a short (< 8 bytes)
    or long (> 32 bytes, the rest ignored) one only warns. progress(done,
    total) is called from the working thread; an exception raised in it
    cancels the work, leaves no output and is raised here unchanged."""
    target = _with_suffix(src) if dst is None else dst
    key = _password(password)
    reporter = _reporter(progress)
    raw = _lib.acbc_result()
    status = _lib.lib.acbc_encrypt_file(
        _path(src, "src"), _path(target, "dst"), key, len(key),
        _flags(replace=replace, sync=sync), _progress_of(reporter), ctypes.byref(raw))
    return _finish(status, raw, reporter, src, target, _shown(target))


def decrypt_file(
    src: StrPath,
    dst: Optional[StrPath] = None,
    *,
    password: Password,
    replace: bool = False,
    salvage: bool = False,
    check_password: bool = True,
    sync: bool = True,
    progress: Optional[Progress] = None,
) -> Result:
    """Decrypts the ACBC file `src` into `dst` (src without ".acbc" when not
    given; ValueError for another name). Nothing is written before the
    header, the size and the password check pass: WrongPassword, NotACBC or
    DamagedFile otherwise. salvage=True decrypts a damaged file as far as it
    goes (warning "salvaged"); check_password=False skips the padding check.
    progress as for encrypt_file."""
    target = _without_suffix(src) if dst is None else dst
    key = _password(password)
    reporter = _reporter(progress)
    raw = _lib.acbc_result()
    flags = _flags(replace=replace, sync=sync, salvage=salvage, check_password=check_password)
    status = _lib.lib.acbc_decrypt_file(
        _path(src, "src"), _path(target, "dst"), key, len(key), flags, _progress_of(reporter),
        ctypes.byref(raw))
    return _finish(status, raw, reporter, src, target, _shown(target))


def rekey_file(
    src: StrPath,
    dst: Optional[StrPath] = None,
    *,
    old_password: Password,
    new_password: Password,
    replace: bool = False,
    sync: bool = True,
    progress: Optional[Progress] = None,
) -> Result:
    """Re-encrypts the ACBC file `src` from old_password to new_password in
    one pass, without the plaintext reaching a file; into `dst`, or in place
    (atomically) when dst is None. The old password is checked first."""
    old = _password(old_password, "old_password")
    new = _password(new_password, "new_password")
    reporter = _reporter(progress)
    raw = _lib.acbc_result()
    status = _lib.lib.acbc_rekey_file(
        _path(src, "src"), None if dst is None else _path(dst, "dst"), old, len(old), new,
        len(new), _flags(replace=replace, sync=sync), _progress_of(reporter), ctypes.byref(raw))
    return _finish(status, raw, reporter, src, dst, _shown(src if dst is None else dst))


def verify_file(path: StrPath, *, password: Password) -> Result:
    """Checks, writing nothing, that `password` opens the ACBC file: returns
    a Result or raises WrongPassword, DamagedFile, NotACBC or an OSError."""
    key = _password(password)
    raw = _lib.acbc_result()
    status = _lib.lib.acbc_verify_file(_path(path), key, len(key), ctypes.byref(raw))
    return _finish(status, raw, None, path, None)


def inspect_file(path: StrPath) -> Info:
    """Tells what the file's size and header say, without a password. A
    damaged file gives an Info with status "damaged"; a file that is not
    ACBC raises NotACBC, one that does not open or read an OSError."""
    _path(path)
    # Opened here so that a failure to open is reported as open() reports
    # it, errno and all; O_NONBLOCK keeps a FIFO from blocking the open.
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    try:
        # A folder opens, but not as a file: refused as open() refuses it
        # (acbc_info has no room for the errno the library would give).
        if stat.S_ISDIR(os.fstat(fd).st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), _shown(path))
        info = _lib.acbc_info()
        status = _lib.lib.acbc_inspect_fd(fd, ctypes.byref(info))
    finally:
        os.close(fd)
    if status not in (_lib.OK, _lib.E_DAMAGED):
        raise _failure(status, 0, path, None)
    return Info(_status_name(status), info.file_size, info.length, info.records_expected,
                info.records_present, info.trailing_bytes)


def encrypted_size(length: int) -> int:
    """The ACBC file size for a plaintext of `length` bytes; ValueError for
    a length outside 0 .. 2**31 - 1."""
    size = int(_lib.lib.acbc_encrypted_size(length)) if 0 <= length < 2**63 else -1
    if size < 0:
        raise ValueError(f"an ACBC plaintext has 0 to 2**31 - 1 bytes, not {length}")
    return size


def encrypt(data: Union[bytes, bytearray, memoryview], *, password: Password) -> bytes:
    """The ACBC file for `data` under `password`, in memory."""
    plain = bytes(data)
    key = _password(password)
    capacity = encrypted_size(len(plain)) if len(plain) < 2**31 else 0
    output = ctypes.create_string_buffer(capacity)
    raw = _lib.acbc_result()
    status = _lib.lib.acbc_encrypt_buffer(plain, len(plain), output, capacity, key, len(key),
                                          ctypes.byref(raw))
    _finish(status, raw, None, None, None)
    return ctypes.string_at(output, raw.bytes_written)  # one copy, not two as raw[:n]


def decrypt(
    data: Union[bytes, bytearray, memoryview],
    *,
    password: Password,
    check_password: bool = True,
    salvage: bool = False,
) -> bytes:
    """The plaintext of the ACBC file held in `data`, with the checks of
    decrypt_file."""
    sealed = bytes(data)
    key = _password(password)
    # Records after the header, a partial last one counted whole: no
    # plaintext, salvaged or not, is longer.
    capacity = max(len(sealed) - 512 + 511, 0) // 512 * 512
    flags = _flags(check_password=check_password, salvage=salvage)
    for _attempt in range(2):
        output = ctypes.create_string_buffer(max(capacity, 1))
        raw = _lib.acbc_result()
        status = _lib.lib.acbc_decrypt_buffer(sealed, len(sealed), output, capacity, key,
                                              len(key), flags, ctypes.byref(raw))
        if status != _lib.E_BUFFER_TOO_SMALL or raw.length <= capacity:
            break
        capacity = int(raw.length)
    _finish(status, raw, None, None, None)
    return ctypes.string_at(output, raw.bytes_written)


def library_version() -> str:
    """The version of the loaded libacbc, e.g. "1.0.0"."""
    return _lib.lib.acbc_version().decode("ascii", "replace")


# The age calls, on the helpers above.
from ._age import age_decrypt_file, age_encrypt_file, age_verify_file, upgrade_file  # noqa: E402
# File objects and streams; imported last, as they use the helpers above.
from ._io import decrypt_stream, encrypt_stream, open  # noqa: E402
