"""File objects and streams over libacbc: pellfold.open, encrypt_stream and
decrypt_stream.

Reading goes through acbc_read_at, which decrypts only the records that
hold the bytes asked for, so seeking costs nothing and a read costs its own
size. Writing goes through acbc_writer_*, which writes the records to the
output's unnamed temporary file and the header, with the length, at close.
"""

from __future__ import annotations

import ctypes
import io
import os
import stat
import sys
from typing import Any, Callable, Optional, Union

from . import _lib
from . import _failure, _password, _path, _result, _shown, Password, StrPath

# A 64 KiB buffer: 128 records, what libacbc reads and writes at a time.
BUFFER_SIZE = 64 * 1024

_Buffer = Union[bytes, bytearray, memoryview]

# A whole-file read() fills a new bytes object in place instead of a
# bytearray that is then copied: for a large file the copy and the page
# faults of a second buffer cost as much as the decryption. CPython makes an
# unfilled bytes object with PyBytes_FromStringAndSize(NULL, n) and keeps
# its bytes right after the object's header; the object is filled before
# anything else can see it. Elsewhere read() takes the copying path.
_new_bytes: Optional[Any] = None
_BYTES_HEADER = bytes.__basicsize__ - 1  # the header, less the terminating NUL counted in it
if sys.implementation.name == "cpython":
    _new_bytes = ctypes.pythonapi.PyBytes_FromStringAndSize
    _new_bytes.restype = ctypes.py_object
    _new_bytes.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]

_HUGE_PAGE = 2 << 20
_MADV_HUGEPAGE = 14
try:
    _madvise: Optional[Callable[..., int]] = ctypes.CDLL(None, use_errno=True).madvise
    _madvise.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]  # type: ignore[union-attr]
    _madvise.restype = ctypes.c_int  # type: ignore[union-attr]
except (OSError, AttributeError):
    _madvise = None


def _prefer_huge_pages(address: int, size: int) -> None:
    """Asks for transparent huge pages on a large fresh buffer: one page
    fault per 2 MiB instead of per 4 KiB when it is first written. Only a
    hint; where the system says no, nothing changes."""
    start = -(-address // _HUGE_PAGE) * _HUGE_PAGE
    end = (address + size) // _HUGE_PAGE * _HUGE_PAGE
    if _madvise is not None and end - start >= _HUGE_PAGE:
        _madvise(start, end - start, _MADV_HUGEPAGE)


def _raise_for(status: int, raw: _lib.acbc_result, source: Optional[StrPath],
               target: Optional[StrPath]) -> None:
    if status != _lib.OK:
        raise _failure(status, raw.error_number, source, target, _result(raw))


class _Reader(io.RawIOBase):
    """The plaintext of an ACBC file, read at any offset."""

    def __init__(self, fd: int, owned: bool, name: Any, key: bytes) -> None:
        super().__init__()
        self._fd = fd
        self._owned = owned
        self._key = key
        self._position = 0
        self.name = name
        raw = _lib.acbc_result()
        # An empty read checks the header, the size and the password.
        status = _lib.lib.acbc_read_at(fd, None, 0, 0, key, len(key), 0, ctypes.byref(raw))
        if status != _lib.OK:
            self._release()
            _raise_for(status, raw, name, None)
        self._length = int(raw.length)
        # One result for every read, not one per call.
        self._raw_result = raw
        self._result_ref = ctypes.byref(raw)

    def _release(self) -> None:
        if self._owned and self._fd >= 0:
            os.close(self._fd)
        self._fd = -1

    @property
    def length(self) -> int:
        """The plaintext length the header records."""
        return self._length

    def readable(self) -> bool:
        self._checkClosed()
        return True

    def seekable(self) -> bool:
        self._checkClosed()
        return True

    def fileno(self) -> int:
        self._checkClosed()
        return self._fd

    def tell(self) -> int:
        self._checkClosed()
        return self._position

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        self._checkClosed()
        bases = {os.SEEK_SET: 0, os.SEEK_CUR: self._position, os.SEEK_END: self._length}
        if whence not in bases:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        position = bases[whence] + offset
        if position < 0:
            raise ValueError(f"negative seek position {position}")
        self._position = position
        return position

    def readinto(self, buffer: Any) -> int:
        self._checkClosed()
        view = memoryview(buffer).cast("B")
        size = min(len(view), max(self._length - self._position, 0))
        if size == 0:
            return 0
        target = (ctypes.c_char * size).from_buffer(view)
        status = _lib.lib.acbc_read_at(self._fd, target, size, self._position, self._key,
                                       len(self._key), _lib.PASSWORD_CHECKED, self._result_ref)
        del target
        if status != _lib.OK:
            _raise_for(status, self._raw_result, self.name, None)
        got = int(self._raw_result.bytes_written)
        self._position += got
        return got

    def readall(self) -> bytes:
        # One call for the rest, not one per 8 KiB, straight into the bytes
        # object returned where the interpreter allows it.
        self._checkClosed()
        size = max(self._length - self._position, 0)
        if _new_bytes is None or size == 0:
            rest = bytearray(size)
            got = self.readinto(rest)
            del rest[got:]
            return bytes(rest)
        result = _new_bytes(None, size)
        _prefer_huge_pages(id(result) + _BYTES_HEADER, size)
        raw = _lib.acbc_result()
        status = _lib.lib.acbc_read_at(self._fd, id(result) + _BYTES_HEADER, size,
                                       self._position, self._key, len(self._key),
                                       _lib.PASSWORD_CHECKED, ctypes.byref(raw))
        _raise_for(status, raw, self.name, None)
        got = int(raw.bytes_written)
        self._position += got
        return result if got == size else result[:got]

    def close(self) -> None:
        if not self.closed:
            self._release()
        super().close()


class _Writer(io.RawIOBase):
    """A new ACBC file, written as its plaintext comes."""

    def __init__(self, path: StrPath, key: bytes, flags: int) -> None:
        super().__init__()
        self._target = path
        self.name = _shown(path)
        self._state = _lib.acbc_writer()
        raw = _lib.acbc_result()
        status = _lib.lib.acbc_writer_open(ctypes.byref(self._state), _path(path), key, len(key),
                                           flags, ctypes.byref(raw))
        self._open = status == _lib.OK
        _raise_for(status, raw, None, path)

    def writable(self) -> bool:
        self._checkClosed()
        return True

    def write(self, data: _Buffer) -> int:  # type: ignore[override]
        self._checkClosed()
        view = memoryview(data).cast("B")
        size = len(view)
        if view.readonly:
            source: Any = view.tobytes() if not isinstance(data, bytes) else data
        else:
            source = (ctypes.c_char * size).from_buffer(view) if size else None
        raw = _lib.acbc_result()
        status = _lib.lib.acbc_writer_write(ctypes.byref(self._state), source, size,
                                            ctypes.byref(raw))
        del source
        if status != _lib.OK:
            self._open = False  # the library discarded the output
            super().close()
            _raise_for(status, raw, None, self._target)
        return size

    def discard(self) -> None:
        """Removes the unfinished output and closes; nothing stays."""
        if self._open:
            _lib.lib.acbc_writer_discard(ctypes.byref(self._state))
            self._open = False
        super().close()

    def close(self) -> None:
        """Writes the header and puts the file under its name."""
        if self.closed:
            return
        if not self._open:
            super().close()
            return
        self._open = False
        raw = _lib.acbc_result()
        status = _lib.lib.acbc_writer_commit(ctypes.byref(self._state), ctypes.byref(raw))
        super().close()
        _raise_for(status, raw, None, self._target)


class _BufferedWriter(io.BufferedWriter):
    """Commits on close; leaves nothing when its with block raises."""

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> None:
        if kind is not None:
            self.raw.discard()  # type: ignore[attr-defined]
        super().__exit__(kind, value, traceback)


def open(  # noqa: A001 - the module's file-object opener, as io.open
    file: Union[StrPath, Any],
    mode: str = "rb",
    *,
    password: Password,
    replace: bool = False,
    sync: bool = True,
    buffer_size: int = BUFFER_SIZE,
) -> Union[io.BufferedReader, io.BufferedWriter]:
    """Opens an ACBC file as a binary file object.

    "rb": a readable, seekable file object over the plaintext (a path or a
    file object, whose fileno() is read from its current offset). The
    password, header and size are checked here: WrongPassword, DamagedFile
    or NotACBC, or an OSError. Every read decrypts only the records it
    needs.

    "wb": a writable file object; the file appears under `file` (a path)
    when it is closed, complete, and not at all when the with block raises
    or a write fails. An existing file is replaced only with replace=True.
    """
    key = _password(password)
    if mode in ("rb", "r"):
        if isinstance(file, (str, bytes, os.PathLike)):
            fd = os.open(_path(file), os.O_RDONLY | os.O_CLOEXEC)
            try:
                if stat.S_ISDIR(os.fstat(fd).st_mode):
                    raise IsADirectoryError(21, os.strerror(21), _shown(file))
            except BaseException:
                os.close(fd)
                raise
            raw: io.RawIOBase = _Reader(fd, True, _shown(file), key)
        else:
            raw = _Reader(file.fileno(), False, getattr(file, "name", None), key)
        return io.BufferedReader(raw, buffer_size)
    if mode in ("wb", "w"):
        if not isinstance(file, (str, bytes, os.PathLike)):
            raise TypeError("mode 'wb' writes to a path, not to a file object")
        flags = (_lib.REPLACE if replace else 0) | (0 if sync else _lib.NO_SYNC)
        return _BufferedWriter(_Writer(file, key, flags), buffer_size)
    raise ValueError(f"invalid mode {mode!r}: 'rb' or 'wb'")


class _Callbacks:
    """The reader and writer of libacbc's stream calls over file objects. An
    exception in either stops the call (-1) and is raised after it."""

    def __init__(self, fin: Any, fout: Any) -> None:
        self.fin = fin
        self.fout = fout
        self.raised: Optional[BaseException] = None
        self.read = _lib.READ_FN(self._read)
        self.write = _lib.WRITE_FN(self._write)

    def _read(self, _context: Optional[int], buffer: int, size: int) -> int:
        try:
            readinto = getattr(self.fin, "readinto", None)
            if readinto is not None:
                got = readinto((ctypes.c_char * size).from_address(buffer))
                return 0 if got is None else int(got)
            data = self.fin.read(size)
            ctypes.memmove(buffer, data, len(data))
            return len(data)
        except BaseException as error:  # KeyboardInterrupt too: it stops the call
            self.raised = error
            return -1

    def _write(self, _context: Optional[int], buffer: int, size: int) -> int:
        try:
            view = memoryview(ctypes.string_at(buffer, size))
            while len(view) > 0:
                done = self.fout.write(view)
                view = view[len(view) if done is None else done:]
            return 0
        except BaseException as error:
            self.raised = error
            return -1

    def finish(self, status: int, raw: _lib.acbc_result) -> None:
        if self.raised is not None:
            error, self.raised = self.raised, None
            raise error
        _raise_for(status, raw, getattr(self.fin, "name", None), getattr(self.fout, "name", None))


def _input_length(fin: Any) -> Optional[int]:
    """The bytes left in a regular file from its position, else None."""
    try:
        fd = fin.fileno()
        st = os.fstat(fd)
    except (AttributeError, OSError, io.UnsupportedOperation):
        return None
    if not stat.S_ISREG(st.st_mode):
        return None
    try:
        position = fin.tell()
    except (AttributeError, OSError):
        position = os.lseek(fd, 0, os.SEEK_CUR)
    return max(st.st_size - position, 0)


def encrypt_stream(fin: Any, fout: Any, password: Password, length: Optional[int] = None) -> None:
    """Encrypts exactly `length` bytes from the file object `fin` (read or
    readinto) into `fout` (write) as an ACBC file. The header holds the
    length, so it must be known first: None takes it from a regular file
    (what is left from its position), else reads all of fin into memory.
    A fin that gives more or fewer bytes raises InputChanged; what fout
    got by then must be discarded. The GIL is released while libacbc works."""
    key = _password(password)
    if length is None:
        length = _input_length(fin)
        if length is None:
            fin = io.BytesIO(fin.read())
            length = len(fin.getbuffer())
    calls = _Callbacks(fin, fout)
    raw = _lib.acbc_result()
    status = _lib.lib.acbc_encrypt_stream(calls.read, None, length, calls.write, None, key,
                                          len(key), None, ctypes.byref(raw))
    calls.finish(status, raw)


def decrypt_stream(fin: Any, fout: Any, password: Password) -> None:
    """Decrypts the ACBC stream `fin` into `fout`. A stream cannot be looked
    ahead in, so the plaintext is written as it is decrypted, except the
    last chunk (up to 64 KiB), written only after the password check passed;
    a wrong password or a truncated body raises at the end (WrongPassword,
    DamagedFile), and what fout got by then must be discarded."""
    key = _password(password)
    calls = _Callbacks(fin, fout)
    raw = _lib.acbc_result()
    status = _lib.lib.acbc_decrypt_stream(calls.read, None, calls.write, None, key, len(key), 0,
                                          None, ctypes.byref(raw))
    calls.finish(status, raw)
