"""The pellfold binding against the built libacbc (PELLFOLD_LIBACBC), with
files written by AESEncypt (through ACBC_DEMO, the legacy export's host) as
the reference."""

import concurrent.futures
import io
import errno
import json
import os
import pathlib
import pickle
import random
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

import pellfold

DEMO = os.environ["ACBC_DEMO"]
PASSWORD = "s3cret pass"
SEED = int(os.environ.get("PELLFOLD_TEST_SEED", "0")) or int.from_bytes(os.urandom(4), "little")
print(f"seed {SEED}", file=sys.stderr)


def plaintext(size: int) -> bytes:
    return random.Random(SEED + size).randbytes(size)


class Case(unittest.TestCase):
    def setUp(self) -> None:
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.root = pathlib.Path(self.dir.name)

    def write(self, name, data: bytes) -> pathlib.Path:
        path = self.root / name
        path.write_bytes(data)
        return path

    def sealed(self, size: int = 1000, name: str = "sealed.acbc") -> pathlib.Path:
        path = self.root / name
        pellfold.encrypt_file(self.write(name + ".in", plaintext(size)), path, password=PASSWORD)
        return path


class RoundTrip(Case):
    def test_files_and_buffers_equal_aesencypt(self):
        # size, how the paths are given
        rows = [(0, str), (1, bytes), (511, pathlib.Path), (512, str), (513, bytes),
                (64 * 1024 + 7, pathlib.Path), (200_000, str)]
        for size, kind in rows:
            with self.subTest(size=size, kind=kind.__name__):
                data = plaintext(size)
                src = self.write(f"p{size}", data)
                reference = self.root / f"r{size}.acbc"
                subprocess.run([DEMO, "encrypt", src, reference, PASSWORD], check=True,
                               stdout=subprocess.DEVNULL)
                expected = reference.read_bytes()
                self.assertEqual(len(expected), pellfold.encrypted_size(size))

                result = pellfold.encrypt_file(kind(src), password=PASSWORD, sync=False)
                sealed = pathlib.Path(os.fsdecode(result.output))
                self.assertEqual(sealed, self.root / f"p{size}.acbc")
                self.assertEqual(sealed.read_bytes(), expected)
                self.assertEqual((result.length, result.bytes_written), (size, len(expected)))
                self.assertEqual(pellfold.encrypt(data, password=PASSWORD), expected)

                src.unlink()
                opened = pellfold.decrypt_file(kind(sealed), password=PASSWORD)
                self.assertEqual(src.read_bytes(), data)
                self.assertEqual(opened.bytes_written, size)
                self.assertGreater(opened.padding_bytes, 0)
                self.assertEqual(pellfold.decrypt(expected, password=PASSWORD), data)
                self.assertEqual(pellfold.verify_file(kind(sealed), password=PASSWORD).length,
                                 size)
                info = pellfold.inspect_file(kind(sealed))
                self.assertEqual((info.status, info.length, info.records_expected,
                                  info.records_present, info.trailing_bytes),
                                 ("ok", size, size // 512 + 1, size // 512 + 1, 0))

    def test_names_that_are_not_utf8(self):
        for name in (b"caf\xe9.txt", os.fsdecode(b"\xff\xfe-\x80")):
            with self.subTest(name=name):
                src = os.path.join(os.fsencode(self.root) if isinstance(name, bytes)
                                   else str(self.root), name)
                with open(src, "wb") as out:
                    out.write(b"bytes in a strange name")
                sealed = pellfold.encrypt_file(src, password=b"\xff\x00 bytes").output
                self.assertTrue(os.path.exists(sealed))
                os.unlink(src)
                pellfold.decrypt_file(sealed, password=b"\xff\x00 bytes")
                with open(src, "rb") as back:
                    self.assertEqual(back.read(), b"bytes in a strange name")

    def test_rekey_in_place_and_warnings(self):
        sealed = self.sealed(700)
        result = pellfold.rekey_file(sealed, old_password=PASSWORD, new_password="short")
        self.assertEqual(result.warnings, frozenset({"short_password"}))
        with self.assertRaises(pellfold.WrongPassword):
            pellfold.verify_file(sealed, password=PASSWORD)
        self.assertEqual(pellfold.decrypt(sealed.read_bytes(), password="short"), plaintext(700))
        self.assertIn("long_password",
                      pellfold.encrypt_file(self.write("x", b"x"), password="k" * 40).warnings)

    def test_threads(self):
        sizes = [4096 + i * 513 for i in range(24)]
        for size in sizes:
            self.sealed(size, f"t{size}.acbc")

        def work(size):
            pellfold.decrypt_file(self.root / f"t{size}.acbc", password=PASSWORD, sync=False)
            with self.assertRaises(pellfold.WrongPassword):
                pellfold.verify_file(self.root / f"t{size}.acbc", password="not it")
            return (self.root / f"t{size}").read_bytes() == plaintext(size)

        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            self.assertEqual(list(pool.map(work, sizes)), [True] * len(sizes))


class Failures(Case):
    def assert_untouched(self, before):
        self.assertEqual(sorted(p.name for p in self.root.iterdir()), sorted(before))

    def test_each_failure_raises_and_leaves_nothing(self):
        sealed = self.sealed(3000)
        body = sealed.read_bytes()
        plain = self.write("plain.txt", b"not an ACBC file at all" * 40)
        cut = self.write("cut.acbc", body[:-100])
        existing = self.write("existing", b"keep me")
        out, fifo = self.root / "out", self.root / "fifo"
        os.mkfifo(fifo)
        # call, exception, status, filename
        rows = [
            (lambda: pellfold.decrypt_file(sealed, out, password="wrong"),
             pellfold.WrongPassword, "wrong_password", sealed),
            (lambda: pellfold.decrypt_file(plain, out, password=PASSWORD),
             pellfold.NotACBC, "not_acbc", plain),
            (lambda: pellfold.decrypt_file(cut, out, password=PASSWORD),
             pellfold.DamagedFile, "damaged", cut),
            (lambda: pellfold.decrypt(body[:700], password=PASSWORD),
             pellfold.DamagedFile, "damaged", None),
            (lambda: pellfold.encrypt_file(plain, out, password=""),
             pellfold.EmptyPassword, "empty_password", plain),
            (lambda: pellfold.decrypt_file(self.root / "missing.acbc", out, password=PASSWORD),
             FileNotFoundError, errno.ENOENT, self.root / "missing.acbc"),
            (lambda: pellfold.inspect_file(self.root / "missing"),
             FileNotFoundError, errno.ENOENT, self.root / "missing"),
            (lambda: pellfold.encrypt_file(plain, self.root / "no" / "dir", password=PASSWORD),
             FileNotFoundError, errno.ENOENT, self.root / "no" / "dir"),
            (lambda: pellfold.encrypt_file(plain, existing, password=PASSWORD),
             FileExistsError, errno.EEXIST, existing),
            (lambda: pellfold.decrypt_file(sealed, existing, password=PASSWORD),
             FileExistsError, errno.EEXIST, existing),
            (lambda: pellfold.encrypt_file(plain, plain, password=PASSWORD, replace=True),
             pellfold.Error, "same_file", plain),
            (lambda: pellfold.inspect_file(self.root), IsADirectoryError, errno.EISDIR, self.root),
            (lambda: pellfold.inspect_file(fifo), pellfold.Error, "input_length", fifo),
            (lambda: pellfold.encrypt_file(fifo, out, password=PASSWORD),
             pellfold.Error, "input_length", fifo),
        ]
        before = [p.name for p in self.root.iterdir()]
        for call, kind, status, filename in rows:
            with self.subTest(kind=kind.__name__, status=status):
                with self.assertRaises(kind) as caught:
                    call()
                error = caught.exception
                self.assertEqual(error.errno if isinstance(error, OSError) else error.status,
                                 status)
                self.assertEqual(error.filename, None if filename is None else str(filename))
                self.assertEqual(str(pickle.loads(pickle.dumps(error))), str(error))
                self.assert_untouched(before)
        self.assertEqual(existing.read_bytes(), b"keep me")
        self.assertEqual(pellfold.inspect_file(cut).status, "damaged")
        salvaged = pellfold.decrypt_file(cut, out, password=PASSWORD, salvage=True)
        self.assertIn("salvaged", salvaged.warnings)
        for wrong in (lambda: pellfold.decrypt_file("name.txt", password=PASSWORD),
                      lambda: pellfold.encrypt_file(b"a\0b", password=PASSWORD)):
            self.assertRaises(ValueError, wrong)
        self.assertRaises(TypeError, pellfold.encrypt_file, 42, password=PASSWORD)

    def test_progress_exception_cancels(self):
        src = self.write("big", plaintext(300_000))
        existing = self.write("existing.acbc", b"old")
        sealed = self.sealed(300_000)
        before = [p.name for p in self.root.iterdir()]
        seen = []

        class Stop(Exception):
            pass

        stop = Stop("enough")

        def progress(done, total):
            seen.append((done, total))
            raise stop

        for call in (
            lambda: pellfold.encrypt_file(src, existing, password=PASSWORD, replace=True,
                                          progress=progress),
            lambda: pellfold.decrypt_file(sealed, existing, password=PASSWORD, replace=True,
                                          progress=progress),
            lambda: pellfold.rekey_file(sealed, old_password=PASSWORD, new_password="n",
                                        progress=progress),
        ):
            seen.clear()
            with self.assertRaises(Stop) as caught:
                call()
            self.assertIs(caught.exception, stop)
            self.assertEqual(len(seen), 1)
            self.assertLess(seen[0][0], seen[0][1])
            self.assert_untouched(before)
            self.assertEqual(existing.read_bytes(), b"old")
        self.assertEqual(pellfold.decrypt(sealed.read_bytes(), password=PASSWORD),
                         plaintext(300_000))

    def test_input_changed_while_read(self):
        src = self.write("growing", plaintext(300_000))

        def grow(done, total):
            with open(src, "ab") as more:
                more.write(b"more")

        with self.assertRaises(pellfold.InputChanged):
            pellfold.encrypt_file(src, password=PASSWORD, progress=grow)
        self.assertFalse(src.with_name("growing.acbc").exists())

    @unittest.skipUnless(os.geteuid() == 0, "mounting a small tmpfs needs root")
    def test_full_disk(self):
        small = self.root / "small"
        small.mkdir()
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", small],
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("cannot mount a tmpfs")
        self.addCleanup(subprocess.run, ["umount", small], check=True)
        src = self.write("big", plaintext(200_000))
        for call in (lambda: pellfold.encrypt_file(src, small / "big.acbc", password=PASSWORD),
                     lambda: pellfold.decrypt_file(self.sealed(200_000), small / "big",
                                                   password=PASSWORD)):
            with self.assertRaises(OSError) as caught:
                call()
            self.assertEqual(caught.exception.errno, errno.ENOSPC)
            self.assertEqual(os.listdir(small), [])


class Age(Case):
    """age through the binding: upgrade, encrypt and decrypt, and the
    exceptions of the age statuses, each leaving no output."""

    def test_upgrade_and_round_trips(self):
        key = "AGE-SECRET-KEY-1GFPYYSJZGFPYYSJZGFPYYSJZGFPYYSJZGFPYYSJZGFPYYSJZGFPQ4EGAEX"
        recipient = "age1zvkyg2lqzraa2lnjvqej32nkuu0ues2s82hzrye869xeexvn73equnujwj"
        for size in (0, 513, 65537):
            with self.subTest(size=size):
                sealed = self.sealed(size, f"u{size}.acbc")
                done = pellfold.upgrade_file(sealed, password=PASSWORD, work_factor=10)
                self.assertEqual(os.fsdecode(done.output), str(self.root / f"u{size}.age"))
                back = self.root / f"u{size}.back"
                pellfold.age_decrypt_file(done.output, back, passphrase=PASSWORD)
                self.assertEqual(back.read_bytes(), plaintext(size))
                armored = pellfold.age_encrypt_file(back, recipients=[recipient], armor=True)
                self.assertTrue(pathlib.Path(armored.output).read_bytes().startswith(b"-----BEGIN"))
                self.assertEqual(pellfold.age_verify_file(armored.output, identities=[key]).length,
                                 size)

    def test_failures_raise(self):
        sealed = self.sealed(1000)
        upgraded = pellfold.upgrade_file(sealed, password=PASSWORD, work_factor=10).output
        data = bytearray(pathlib.Path(upgraded).read_bytes())
        data[-1] ^= 1
        altered = self.write("altered.age", bytes(data))
        rows = [  # call, its keyword arguments, the exception
            (pellfold.upgrade_file, sealed, {"password": "wrong password"}, pellfold.WrongPassword),
            (pellfold.age_decrypt_file, upgraded, {"passphrase": "wrong"}, pellfold.NoMatch),
            (pellfold.age_decrypt_file, altered, {"passphrase": PASSWORD},
             pellfold.AgePayloadError),
            (pellfold.age_decrypt_file, upgraded, {"passphrase": PASSWORD, "max_work_factor": 9},
             pellfold.WorkFactorTooHigh),
            (pellfold.age_decrypt_file, sealed.with_suffix(".age"), {"passphrase": PASSWORD},
             FileExistsError),
            (pellfold.age_encrypt_file, sealed, {"recipients": ["age1nonsense"]}, pellfold.BadKey),
            (pellfold.age_decrypt_file, sealed, {"passphrase": PASSWORD}, pellfold.NotAge),
        ]
        for call, src, kwargs, expected in rows:
            with self.subTest(call=call.__name__, expected=expected.__name__):
                before = sorted(os.listdir(self.root))
                target = self.root / "out" if expected is not FileExistsError else sealed
                with self.assertRaises(expected):
                    call(src, target, **kwargs)
                self.assertEqual(sorted(os.listdir(self.root)), before)



class FileObjects(Case):
    def test_seek_tell_and_reads(self):
        # size, then (offset, whence, count) rows: seek, then read count bytes
        moves = [(0, os.SEEK_SET, 1), (511, os.SEEK_SET, 2), (-1, os.SEEK_END, 5),
                 (-513, os.SEEK_END, 600), (3, os.SEEK_CUR, 70000), (10, os.SEEK_END, 4),
                 (-2, os.SEEK_CUR, -1)]
        for size in (0, 1, 511, 512, 513, 200_000):
            data = plaintext(size)
            with self.subTest(size=size), pellfold.open(self.sealed(size, f"s{size}.acbc"),
                                                       password=PASSWORD) as f:
                self.assertEqual((f.readable(), f.seekable(), f.writable()), (True, True, False))
                expected = 0
                for offset, whence, count in moves:
                    base = {os.SEEK_SET: 0, os.SEEK_CUR: expected, os.SEEK_END: size}[whence]
                    expected = max(base + offset, 0)
                    self.assertEqual(f.seek(max(base + offset, 0) - base, whence), expected)
                    self.assertEqual(f.tell(), expected)
                    want = data[expected:] if count < 0 else data[expected:expected + count]
                    self.assertEqual(f.read(count), want)
                    expected = min(expected + len(want), max(expected, size))
                    self.assertEqual(f.tell(), expected)
                f.seek(0)
                buffer = bytearray(700)
                self.assertEqual(f.readinto(buffer), min(size, 700))
                self.assertEqual(bytes(buffer[:min(size, 700)]), data[:700])
            for call in (f.read, f.tell, lambda: f.seek(0), f.readable):
                self.assertRaises(ValueError, call)

    def test_checked_at_open_by_path_and_file_object(self):
        sealed = self.sealed(2000)
        whole = sealed.read_bytes()
        rows = [("wrong", whole, pellfold.WrongPassword), (PASSWORD, whole[:-100], pellfold.DamagedFile),
                (PASSWORD, b"not ACBC at all", pellfold.NotACBC)]
        for password, content, error in rows:
            path = self.write("bad.acbc", content)
            with self.subTest(error=error.__name__):
                self.assertRaises(error, pellfold.open, path, password=password)
                with path.open("rb") as raw:
                    self.assertRaises(error, pellfold.open, raw, password=password)
        with sealed.open("rb") as raw, pellfold.open(raw, password=PASSWORD) as f:
            self.assertEqual(f.read(), plaintext(2000))

    def test_tarfile_lists_and_extracts_in_place(self):
        members = {"a.txt": plaintext(10), "dir/b.bin": plaintext(300_000), "empty": b""}
        archive = io.BytesIO()
        with tarfile.open(fileobj=archive, mode="w") as tar:
            for name, content in members.items():
                info = tarfile.TarInfo(name)
                info.size = len(content)
                tar.addfile(info, io.BytesIO(content))
        sealed = self.root / "backup.tar.acbc"
        sealed.write_bytes(pellfold.encrypt(archive.getvalue(), password=PASSWORD))
        safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        with pellfold.open(sealed, password=PASSWORD) as f, tarfile.open(fileobj=f) as tar:
            self.assertEqual(sorted(tar.getnames()), sorted(members))
            tar.extractall(self.root / "out", **safe)
        for name, content in members.items():
            self.assertEqual((self.root / "out" / name).read_bytes(), content, name)

    def test_write_gives_encrypt_file_bytes_and_nothing_after_an_exception(self):
        for size in (0, 511, 512, 70_000):
            data = plaintext(size)
            with self.subTest(size=size):
                reference = self.root / "ref.acbc"
                pellfold.encrypt_file(self.write("p", data), reference, password=PASSWORD,
                                      replace=True)
                target = self.root / "w.acbc"
                with pellfold.open(target, "wb", password=PASSWORD, replace=True) as f:
                    self.assertTrue(f.writable())
                    for at in range(0, size, 777):
                        f.write(data[at:at + 777] if at % 2 else bytearray(data[at:at + 777]))
                self.assertEqual(target.read_bytes(), reference.read_bytes())
                before = sorted(os.listdir(self.root))
                with self.assertRaises(KeyError):
                    with pellfold.open(self.root / "new.acbc", "wb", password=PASSWORD) as f:
                        f.write(data)
                        raise KeyError("stop")
                self.assertEqual(sorted(os.listdir(self.root)), before)

    def test_streams_round_trip(self):
        data = plaintext(200_000)
        source = self.write("plain", data)
        reference = self.root / "ref.acbc"
        pellfold.encrypt_file(source, reference, password=PASSWORD)
        for name, opener in (("file", lambda: source.open("rb")),
                             ("memory", lambda: io.BytesIO(data))):
            with self.subTest(input=name), opener() as fin:
                sealed = io.BytesIO()
                pellfold.encrypt_stream(fin, sealed, PASSWORD)
                self.assertEqual(sealed.getvalue(), reference.read_bytes())
                sealed.seek(0)
                back = io.BytesIO()
                pellfold.decrypt_stream(sealed, back, PASSWORD)
                self.assertEqual(back.getvalue(), data)
        copied = io.BytesIO()
        with pellfold.open(reference, password=PASSWORD) as f:
            shutil.copyfileobj(f, copied)
        self.assertEqual(copied.getvalue(), data)
        with reference.open("rb") as fin:
            self.assertRaises(pellfold.WrongPassword, pellfold.decrypt_stream, fin, io.BytesIO(),
                              "wrong")

class Scripts(Case):
    def run_module(self, args, **env):
        return subprocess.run([sys.executable, *args], capture_output=True, text=True,
                              env={**os.environ, **env})

    def test_verify_command(self):
        good, other = self.sealed(10, "good.acbc"), self.sealed(10, "other.acbc")
        pellfold.rekey_file(other, old_password=PASSWORD, new_password="other")
        run = self.run_module(["-m", "pellfold", "verify", "--password-env", "PW", str(good),
                               str(other), str(self.root / "gone")], PW=PASSWORD)
        self.assertEqual(run.returncode, 1, run.stderr)
        lines = [json.loads(line) for line in run.stdout.splitlines()]
        self.assertEqual([(line["path"], line["status"]) for line in lines],
                         [(str(good), "ok"), (str(other), "wrong_password"),
                          (str(self.root / "gone"), "input_open")])

    def test_import_error_names_both(self):
        run = self.run_module(["-c", "import pellfold"], PELLFOLD_LIBACBC="/nowhere/libx.so")
        self.assertIn("ImportError", run.stderr)
        self.assertIn("PELLFOLD_LIBACBC='/nowhere/libx.so'", run.stderr)
        self.assertIn("libacbc.so.1", run.stderr)


if __name__ == "__main__":
    unittest.main()
