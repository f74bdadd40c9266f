#!/usr/bin/env python3
"""Times verifying and decrypting many small ACBC files four ways:

  (i)   the pellfold binding, one call per file, on one thread
  (ii)  the binding in a ThreadPoolExecutor of 2 threads
  (iii) one `pellfold` process per file
  (iv)  one `pellfold verify` (and one `pellfold decrypt -m`) for all files

    PELLFOLD_LIBACBC=build/src/libacbc.so.1 PYTHONPATH=python \\
        bench/python_verify.py --program build/host/pellfold [--files 1000]
        [--sizes 1024,65536] [--rounds 3]

Prints the median of the rounds for each way and its ratios to (iii) and (i). Every
decryption writes and fsyncs its output, through the binding as through the
program, except in the rows "decrypt, sync=False" (the binding only, against
the program's decryption with fsync); outputs are removed between rounds,
outside the timing.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import pathlib
import statistics
import subprocess
import tempfile
import time
from typing import Callable, Dict, List

import pellfold

PASSWORD = "benchmark password"


def prepare(folder: pathlib.Path, count: int, size: int) -> List[pathlib.Path]:
    files = []
    for i in range(count):
        plain = folder / f"f{i:04d}"
        plain.write_bytes(os.urandom(size))
        files.append(pathlib.Path(os.fsdecode(
            pellfold.encrypt_file(plain, password=PASSWORD, sync=False).output)))
        plain.unlink()
    return files


def ways(program: str, files: List[pathlib.Path]) -> Dict[str, Dict[str, Callable[[], None]]]:
    env = {**os.environ, "PW": PASSWORD}
    names = [str(f) for f in files]

    def run(args: List[str]) -> None:
        subprocess.run(args, check=True, env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def pool(call: Callable[[pathlib.Path], object]) -> None:
        # One half of the files per thread: a future per file would cost
        # more than a verification.
        with concurrent.futures.ThreadPoolExecutor(2) as threads:
            list(threads.map(lambda half: [call(f) for f in half], (files[0::2], files[1::2])))

    def verify(f: pathlib.Path) -> object:
        return pellfold.verify_file(f, password=PASSWORD)

    def decrypt(f: pathlib.Path) -> object:
        return pellfold.decrypt_file(f, password=PASSWORD)

    def decrypt_unsynced(f: pathlib.Path) -> object:
        return pellfold.decrypt_file(f, password=PASSWORD, sync=False)

    return {
        "verify": {
            "(i) binding": lambda: [verify(f) for f in files] and None,
            "(ii) binding, 2 threads": lambda: pool(verify),
            "(iii) a process per file": lambda: [run([program, "verify", "--pass", "env:PW", n])
                                                 for n in names] and None,
            "(iv) one process": lambda: run([program, "verify", "--pass", "env:PW", *names]),
        },
        "decrypt": {
            "(i) binding": lambda: [decrypt(f) for f in files] and None,
            "(ii) binding, 2 threads": lambda: pool(decrypt),
            "(iii) a process per file": lambda: [
                run([program, "decrypt", "-q", "--pass", "env:PW", n]) for n in names] and None,
            "(iv) one process": lambda: run([program, "decrypt", "-q", "-m", "--pass", "env:PW",
                                             *names]),
        },
        # The work without the fsync of each output, which the program
        # always makes: the binding's own cost.
        "decrypt, sync=False": {
            "(i) binding": lambda: [decrypt_unsynced(f) for f in files] and None,
            "(ii) binding, 2 threads": lambda: pool(decrypt_unsynced),
        },
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", default=os.environ.get("PELLFOLD_PROGRAM", "pellfold"))
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--sizes", default="1024,65536", help="plaintext sizes, comma-separated")
    parser.add_argument("--rounds", type=int, default=3)
    options = parser.parse_args()

    print(f"libacbc {pellfold.library_version()}, {options.files} files, "
          f"median of {options.rounds} rounds")
    print("| Size | Work | Way | Seconds | x (iii) | x (i) |")
    print("|---:|---|---|---:|---:|---:|")
    for size in (int(s) for s in options.sizes.split(",")):
        with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR")) as folder:
            files = prepare(pathlib.Path(folder), options.files, size)
            per_process = 0.0
            for work, table in ways(options.program, files).items():
                times: Dict[str, List[float]] = {way: [] for way in table}
                for _round in range(options.rounds):
                    for way, call in table.items():  # alternating, so drift hits all alike
                        start = time.perf_counter()
                        call()
                        times[way].append(time.perf_counter() - start)
                        for f in files:
                            f.with_suffix("").unlink(missing_ok=True)
                medians = {way: statistics.median(t) for way, t in times.items()}
                # Against the program's decryption where the program cannot
                # do the work.
                per_process = medians.get("(iii) a process per file", per_process)
                for way, seconds in medians.items():
                    print(f"| {size} | {work} | {way} | {seconds:.3f} | "
                          f"{seconds / per_process:.3f} | "
                          f"{seconds / medians['(i) binding']:.2f} |", flush=True)


if __name__ == "__main__":
    main()
