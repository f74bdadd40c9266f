#!/usr/bin/env python3
"""Pellfold's age beside Debian's age program, on one machine, in one run.

    bench/age_compare.py PELLFOLD [SIZE_MIB]     (default 256)

Times, in alternating rounds (ROUNDS, default 3) so that a busy moment hits
every command alike, on SIZE_MIB of random bytes with an X25519 recipient:
`pellfold encrypt --format age --recipient` beside `age -r`, and
`pellfold decrypt -i` beside `age -d -i`, all writing to a memory file
system (/dev/shm) so that Pellfold's fsync costs nothing; then
`pellfold upgrade` of the ACBC file beside `age -p` encrypting the plaintext
(the passphrase typed at age's prompt through a pseudo-terminal), both at
scrypt work factor 18. Prints each median and the ratios. A benchmark, never
a pass/fail test.
"""
import os
import pty
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PASSWORD = "benchmark passphrase"


def timed(argv, **kwargs):
    start = time.monotonic()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, **kwargs)
    return time.monotonic() - start


def age_passphrase(argv):
    """Runs age with its prompts answered on a pseudo-terminal; returns the time."""
    start = time.monotonic()
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp(argv[0], argv)
    seen = b""
    answered = 0
    while True:
        try:
            chunk = os.read(fd, 1024)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
        while answered < 2 and seen.count(b"passphrase") > answered:
            os.write(fd, PASSWORD.encode() + b"\n")
            answered += 1
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{argv} failed: {seen.decode(errors='replace')}")
    return time.monotonic() - start


def main():
    if len(sys.argv) < 2 or shutil.which("age") is None:
        print(__doc__, file=sys.stderr)
        return 2
    pellfold = os.path.abspath(sys.argv[1])
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 256
    rounds = int(os.environ.get("ROUNDS", "3"))
    work = tempfile.mkdtemp(prefix="pellfold-age-bench-", dir="/dev/shm")
    try:
        plain = os.path.join(work, "plain")
        with open(plain, "wb") as f:
            f.write(os.urandom(size << 20))
        key = os.path.join(work, "key.txt")
        subprocess.run(["age-keygen", "-o", key], check=True, capture_output=True)
        recipient = subprocess.run(["age-keygen", "-y", key], check=True, capture_output=True,
                                   text=True).stdout.strip()
        env = dict(os.environ, PW=PASSWORD)
        acbc = os.path.join(work, "plain.acbc")
        subprocess.run([pellfold, "encrypt", "-q", "--pass", "env:PW", plain, acbc], check=True,
                       env=env)
        out = os.path.join(work, "out")
        times = {name: [] for name in ("pellfold enc", "age enc", "pellfold dec", "age dec",
                                       "pellfold upgrade", "age -p")}
        for _ in range(rounds):
            for name, argv in (
                    ("pellfold enc", [pellfold, "encrypt", "-q", "-f", "--format", "age",
                                      "--recipient", recipient, plain, out + ".p.age"]),
                    ("age enc", ["age", "-r", recipient, "-o", out + ".a.age", plain])):
                times[name].append(timed(argv))
            for name, argv in (
                    ("pellfold dec", [pellfold, "decrypt", "-q", "-f", "-i", key, out + ".a.age",
                                      out + ".p"]),
                    ("age dec", ["age", "-d", "-i", key, "-o", out + ".a", out + ".p.age"])):
                times[name].append(timed(argv))
            times["pellfold upgrade"].append(timed(
                [pellfold, "upgrade", "-q", "-f", "--pass", "env:PW", "--work-factor", "18", acbc,
                 "-o", work], env=env))
            times["age -p"].append(age_passphrase(["age", "-p", "-o", out + ".pp.age", plain]))
        median = {name: statistics.median(values) for name, values in times.items()}
        print(f"age beside pellfold, {size} MiB, median of {rounds} rounds, outputs on /dev/shm")
        for name, value in median.items():
            print(f"  {name:18} {value:8.3f} s")
        print(f"  encrypt: pellfold / age      = {median['pellfold enc'] / median['age enc']:.2f}")
        print(f"  decrypt: pellfold / age      = {median['pellfold dec'] / median['age dec']:.2f}")
        print(f"  upgrade / age -p (wf 18)     = {median['pellfold upgrade'] / median['age -p']:.2f}")
    finally:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
