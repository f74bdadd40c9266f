#!/usr/bin/env python3
"""Times random access into ACBC files against decrypting them whole:

  (i)  --reads random 4 KiB reads from a file of --large MiB, through
       pellfold.open (seek, read) and through acbc_read_at called directly,
       against pellfold.decrypt_file of the same file
  (ii) pellfold.open(...).read() of a file of --whole MiB, against
       pellfold.decrypt_file of it

    PELLFOLD_LIBACBC=build/src/libacbc.so.1 PYTHONPATH=python \\
        bench/python_range.py [--folder /dev/shm] [--large 1024] [--whole 256]
        [--reads 1000] [--rounds 3]

Prints the median of the rounds for each and the ratios. The files are made
in a new folder under --folder (memory-backed by default, so that the disk
does not decide) and removed at the end; decrypt_file runs with sync=False
and its output is removed between rounds, outside the timing.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import random
import statistics
import tempfile
import time
from typing import Callable

import ctypes

import pellfold
from pellfold import _lib

PASSWORD = "benchmark password"
MIB = 1024 * 1024


def make(path: pathlib.Path, mib: int) -> None:
    block = os.urandom(MIB)
    with pellfold.open(path, "wb", password=PASSWORD, sync=False) as f:
        for i in range(mib):
            f.write(block[i % 251:] + block[: i % 251])


def median(call: Callable[[], None], rounds: int, after: Callable[[], None] = lambda: None) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
        after()
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folder", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    parser.add_argument("--large", type=int, default=1024, help="MiB for the random reads")
    parser.add_argument("--whole", type=int, default=256, help="MiB for the whole read")
    parser.add_argument("--reads", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.folder) as name:
        folder = pathlib.Path(name)
        out = folder / "out"
        remove = lambda: out.unlink()  # noqa: E731
        for label, mib in (("large", args.large), ("whole", args.whole)):
            make(folder / f"{label}.acbc", mib)
        large = folder / "large.acbc"
        length = args.large * MIB
        rng = random.Random(1)
        offsets = [rng.randrange(0, length - 4096) for _ in range(args.reads)]

        def reads() -> None:
            with pellfold.open(large, password=PASSWORD, buffer_size=4096) as f:
                for offset in offsets:
                    f.seek(offset)
                    if len(f.read(4096)) != 4096:
                        raise RuntimeError("short read")

        def direct_reads() -> None:
            key = PASSWORD.encode()
            buffer = ctypes.create_string_buffer(4096)
            result = _lib.acbc_result()
            fd = os.open(large, os.O_RDONLY)
            try:
                for offset in offsets:
                    _lib.lib.acbc_read_at(fd, buffer, 4096, offset, key, len(key),
                                          _lib.PASSWORD_CHECKED, ctypes.byref(result))
                    if result.bytes_written != 4096:
                        raise RuntimeError("short read")
            finally:
                os.close(fd)

        def decrypt(path: pathlib.Path) -> Callable[[], None]:
            return lambda: pellfold.decrypt_file(path, out, password=PASSWORD, sync=False)

        def read_whole() -> None:
            with pellfold.open(folder / "whole.acbc", password=PASSWORD) as f:
                if len(f.read()) != args.whole * MIB:
                    raise RuntimeError("short read")

        random_time = median(reads, args.rounds)
        direct_time = median(direct_reads, args.rounds)
        large_time = median(decrypt(large), args.rounds, remove)
        read_time = median(read_whole, args.rounds)
        whole_time = median(decrypt(folder / "whole.acbc"), args.rounds, remove)
    print(f"{args.reads} random 4 KiB reads of {args.large} MiB: {random_time * 1e3:9.2f} ms")
    print(f"decrypt_file of {args.large} MiB:             {large_time * 1e3:9.2f} ms")
    print(f"the same through acbc_read_at:               {direct_time * 1e3:9.2f} ms")
    print(f"  ratio {random_time / large_time:.4f} (file object), "
          f"{direct_time / large_time:.4f} (acbc_read_at)")
    print(f"open().read() of {args.whole} MiB:               {read_time * 1e3:9.2f} ms")
    print(f"decrypt_file of {args.whole} MiB:              {whole_time * 1e3:9.2f} ms")
    print(f"  ratio {read_time / whole_time:.3f}")


if __name__ == "__main__":
    main()
