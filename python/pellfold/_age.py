"""age files (age-encryption.org/v1) from Python, on libacbc's age calls.

age is authenticated: a file that was altered or truncated raises instead of
giving wrong plaintext, and passphrases go through scrypt with a fresh salt.
Keys are a passphrase (scrypt) or X25519 recipients ("age1...") for
encryption, a passphrase and/or identities ("AGE-SECRET-KEY-1..." strings or
identity files' contents) for decryption.

    import pellfold
    pellfold.upgrade_file("notes.txt.acbc", password="old pw")  # notes.txt.age
    pellfold.age_decrypt_file("notes.txt.age", passphrase="old pw")  # notes.txt
"""

from __future__ import annotations

import ctypes
import os
from typing import TYPE_CHECKING, Optional, Sequence, Tuple, Union

from . import _lib

if TYPE_CHECKING:
    from . import Password, Progress, Result, StrPath

AGE_SUFFIX = ".age"
ARMOR = 16


class acbc_age_keys(ctypes.Structure):
    _fields_ = [
        ("passphrase", ctypes.c_char_p),
        ("passphrase_length", ctypes.c_size_t),
        ("work_factor", ctypes.c_int),
        ("recipients", ctypes.POINTER(ctypes.c_char_p)),
        ("recipient_count", ctypes.c_size_t),
        ("identities", ctypes.POINTER(ctypes.c_char_p)),
        ("identity_count", ctypes.c_size_t),
    ]


_keys = ctypes.POINTER(acbc_age_keys)
_status, _path, _bytes, _size, _flags = ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p, \
    ctypes.c_size_t, ctypes.c_uint
_progress, _result = ctypes.POINTER(_lib.acbc_progress), ctypes.POINTER(_lib.acbc_result)

_SIGNATURES = {
    "acbc_age_encrypt_file": [_path, _path, _keys, _flags, _progress, _result],
    "acbc_age_decrypt_file": [_path, _path, _keys, _flags, _progress, _result],
    "acbc_age_verify_file": [_path, _keys, _result],
    "acbc_age_rekey_file": [_path, _path, _keys, _keys, _flags, _progress, _result],
    "acbc_upgrade_file": [_path, _path, _bytes, _size, _keys, _flags, _progress, _result],
}
for _name, _argtypes in _SIGNATURES.items():
    _entry = getattr(_lib.lib, _name)
    _entry.restype = _status
    _entry.argtypes = _argtypes


def _texts(values: Sequence[Union[str, bytes]], what: str) -> "ctypes.Array[ctypes.c_char_p]":
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{what} must be a sequence of str or bytes, not a single string")
    encoded = [v.encode("utf-8") if isinstance(v, str) else bytes(v) for v in values]
    if any(b"\0" in v for v in encoded):
        raise ValueError(f"{what} contain a null byte")
    return (ctypes.c_char_p * max(len(encoded), 1))(*encoded)


class _Keys:
    """An acbc_age_keys and the buffers it points into, kept alive together."""

    def __init__(self, passphrase: Optional[bytes], work_factor: int,
                 recipients: Sequence[Union[str, bytes]] = (),
                 identities: Sequence[Union[str, bytes]] = ()) -> None:
        self.recipients = _texts(recipients, "recipients")
        self.identities = _texts(identities, "identities")
        self.structure = acbc_age_keys(
            passphrase, 0 if passphrase is None else len(passphrase), work_factor,
            ctypes.cast(self.recipients, ctypes.POINTER(ctypes.c_char_p)), len(recipients),
            ctypes.cast(self.identities, ctypes.POINTER(ctypes.c_char_p)), len(identities))

    def ref(self) -> "ctypes._Pointer[acbc_age_keys]":
        return ctypes.pointer(self.structure)


def _passphrase_of(passphrase: Optional[Password]) -> Optional[bytes]:
    from . import _password

    return None if passphrase is None else _password(passphrase, "passphrase")


def _appended(path: Union[str, bytes]) -> Union[str, bytes]:
    path = os.fspath(path)
    if isinstance(path, bytes):
        return path + AGE_SUFFIX.encode()
    return path + AGE_SUFFIX


def _age_name(src: StrPath) -> Union[str, bytes]:
    """x.acbc becomes x.age; any other name gets .age appended."""
    path = os.fspath(src)
    acbc: Union[str, bytes] = b".acbc" if isinstance(path, bytes) else ".acbc"
    if path.endswith(acbc) and len(os.path.basename(path)) > len(acbc):  # type: ignore[arg-type]
        return _appended(path[: -len(acbc)])
    return _appended(path)


def _plain_name(src: StrPath) -> Union[str, bytes]:
    path = os.fspath(src)
    suffix: Union[str, bytes] = AGE_SUFFIX.encode() if isinstance(path, bytes) else AGE_SUFFIX
    if not path.endswith(suffix) or len(os.path.basename(path)) <= len(suffix):  # type: ignore
        raise ValueError(f"{os.fsdecode(path)!r} does not end in {AGE_SUFFIX}: name the output")
    return path[: -len(suffix)]


def _encryption_keys(passphrase: Optional[Password], recipients: Sequence[Union[str, bytes]],
                     work_factor: int) -> _Keys:
    if (passphrase is None) == (not recipients):
        raise ValueError("give either passphrase or recipients")
    return _Keys(_passphrase_of(passphrase), work_factor, recipients=recipients)


def _call(function: str, args: Tuple[object, ...], progress: Optional[Progress],
          source: Optional[StrPath], target: Optional[StrPath],
          shown: Optional[Union[str, bytes]]) -> Result:
    from . import _finish, _progress_of, _reporter

    reporter = _reporter(progress)
    raw = _lib.acbc_result()
    status = getattr(_lib.lib, function)(*args, _progress_of(reporter), ctypes.byref(raw))
    return _finish(status, raw, reporter, source, target, shown)


def age_encrypt_file(
    src: StrPath,
    dst: Optional[StrPath] = None,
    *,
    passphrase: Optional[Password] = None,
    recipients: Sequence[Union[str, bytes]] = (),
    work_factor: int = 0,
    armor: bool = False,
    replace: bool = False,
    sync: bool = True,
    progress: Optional[Progress] = None,
) -> Result:
    """Encrypts `src` into the age file `dst` (src + ".age" when not given)
    for a passphrase (scrypt at work_factor, 0 for 18) or for X25519
    recipients; armor=True writes ASCII armor."""
    from . import _flags as flags_of, _path as path_of, _shown

    target = _appended(src) if dst is None else dst
    keys = _encryption_keys(passphrase, recipients, work_factor)
    flags = flags_of(replace=replace, sync=sync) | (ARMOR if armor else 0)
    return _call("acbc_age_encrypt_file", (path_of(src, "src"), path_of(target, "dst"),
                                           keys.ref(), flags), progress, src, target,
                 _shown(target))


def age_decrypt_file(
    src: StrPath,
    dst: Optional[StrPath] = None,
    *,
    passphrase: Optional[Password] = None,
    identities: Sequence[Union[str, bytes]] = (),
    max_work_factor: int = 0,
    replace: bool = False,
    sync: bool = True,
    progress: Optional[Progress] = None,
) -> Result:
    """Decrypts the age file `src` (binary or armored) into `dst` (src
    without ".age" when not given). Nothing appears under dst unless every
    chunk authenticated: NoMatch, AgeMacError, AgePayloadError, ... otherwise.
    max_work_factor caps scrypt (0 for 22; WorkFactorTooHigh above it)."""
    from . import _flags as flags_of, _path as path_of, _shown

    target = _plain_name(src) if dst is None else dst
    keys = _Keys(_passphrase_of(passphrase), max_work_factor, identities=identities)
    return _call("acbc_age_decrypt_file", (path_of(src, "src"), path_of(target, "dst"),
                                           keys.ref(), flags_of(replace=replace, sync=sync)),
                 progress, src, target, _shown(target))


def age_verify_file(
    path: StrPath,
    *,
    passphrase: Optional[Password] = None,
    identities: Sequence[Union[str, bytes]] = (),
    max_work_factor: int = 0,
) -> Result:
    """Decrypts the whole age file, writing nothing: returns a Result when
    the keys open it and every chunk authenticates, else raises."""
    from . import _finish, _path as path_of

    keys = _Keys(_passphrase_of(passphrase), max_work_factor, identities=identities)
    raw = _lib.acbc_result()
    status = _lib.lib.acbc_age_verify_file(path_of(path), keys.ref(), ctypes.byref(raw))
    return _finish(status, raw, None, path, None)


def upgrade_file(
    src: StrPath,
    dst: Optional[StrPath] = None,
    *,
    password: Password,
    passphrase: Optional[Password] = None,
    recipients: Sequence[Union[str, bytes]] = (),
    work_factor: int = 0,
    armor: bool = False,
    replace: bool = False,
    sync: bool = True,
    progress: Optional[Progress] = None,
) -> Result:
    """Turns the ACBC file `src` into the age file `dst` (x.acbc gives x.age)
    in one pass, the plaintext only in memory: the ACBC password is checked
    first, and the age file is read back and compared before it is linked
    into place. The age passphrase is the ACBC password unless `passphrase`
    or `recipients` is given."""
    from . import _flags as flags_of, _password, _path as path_of, _shown

    target = _age_name(src) if dst is None else dst
    old = _password(password)
    if passphrase is None and not recipients:
        passphrase = old
    keys = _encryption_keys(passphrase, recipients, work_factor)
    flags = flags_of(replace=replace, sync=sync) | (ARMOR if armor else 0)
    return _call("acbc_upgrade_file", (path_of(src, "src"), path_of(target, "dst"), old,
                                       len(old), keys.ref(), flags), progress, src, target,
                 _shown(target))
