#!/usr/bin/env python3
"""Crash test: `pellfold encrypt -f` and `decrypt -f` of a 64 MiB file over
an existing target, each killed with SIGKILL at RUNS random moments of a run
(from its start to a little past the time a whole run takes). Afterwards the
target must be the old file or the new one, byte for byte, and the folder
must hold nothing else. Exits 1 when a run leaves anything else.

usage: crash.py PELLFOLD WORKDIR [RUNS]
"""
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import time

SIZE = 64 << 20
PASSWORD = "pass:crash test password"


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main():
    pellfold, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    seed = int(os.environ.get("CRASH_SEED", time.time_ns() % 100000))
    rng = random.Random(seed)
    folder = os.path.join(work, "crash")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    big, secret, old = (os.path.join(folder, n) for n in ("big", "big.acbc", "old"))
    write(big, rng.randbytes(SIZE))
    write(old, b"the old target\n" * 1000)
    subprocess.run([pellfold, "encrypt", "-q", "--pass", PASSWORD, big, secret], check=True)
    plain_digest, secret_digest, old_digest = digest(big), digest(secret), digest(old)
    print(f"crash: seed {seed} (CRASH_SEED={seed} repeats the moments)")

    violations = 0
    # (command, its input, target, the new target's digest)
    cases = [("encrypt", "big", "big.acbc", secret_digest), ("decrypt", "big.acbc", "big", plain_digest)]
    for command, source, target, new_digest in cases:
        # Each case runs in a folder of its own holding the input and the old target.
        place = os.path.join(work, "crash-" + command)
        shutil.rmtree(place, ignore_errors=True)
        os.makedirs(place)
        shutil.copyfile(secret if command == "decrypt" else big, os.path.join(place, source))
        argv = [pellfold, command, "-f", "-q", "--pass", PASSWORD, source, target]
        shutil.copyfile(old, os.path.join(place, target))
        start = time.monotonic()
        subprocess.run(argv, cwd=place, check=True)
        whole = time.monotonic() - start
        outcomes = {"old": 0, "new": 0}
        for run in range(runs):
            shutil.copyfile(old, os.path.join(place, target))
            delay = rng.uniform(0, whole * 1.1)
            child = subprocess.Popen(argv, cwd=place)
            time.sleep(delay)
            child.send_signal(signal.SIGKILL)
            child.wait()
            left = sorted(os.listdir(place))
            state = digest(os.path.join(place, target)) if target in left else None
            problems = []
            if left != sorted([source, target]):
                problems.append(f"folder holds {left}")
            if state == old_digest:
                outcomes["old"] += 1
            elif state == new_digest:
                outcomes["new"] += 1
            else:
                problems.append(f"{target} is neither the old file nor the new one")
            for problem in problems:
                violations += 1
                print(f"VIOLATION {command} killed after {delay:.3f} s: {problem}")
            for name in set(left) - {source, target}:
                os.unlink(os.path.join(place, name))
        print(f"crash: {command} -f of 64 MiB ({whole:.2f} s a run) killed {runs} times: "
              f"{outcomes['old']} old, {outcomes['new']} new target")
        shutil.rmtree(place)
    shutil.rmtree(folder)
    print(f"crash: {2 * runs} cases run, {violations} violations")
    return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main())
