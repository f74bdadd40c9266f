#!/usr/bin/env python3
"""Crash test: `pellfold encrypt -f`, `decrypt -f` (also with
--remove-input, whose input may be gone only once the new target is in
place) and `upgrade -f` of a
64 MiB file over an existing target, each killed with SIGKILL at RUNS random
moments of a run (from its start to a little past the time a whole run
takes). Afterwards the input must be unchanged, the target must be the old
file or the new one (byte for byte; for upgrade, an age file that decrypts
to the plaintext), and the folder must hold nothing else. Then the same again with fault_shim.so refusing
unnamed files (FAULT_OLD_FS): there a named temporary file may be left, as
the manual says, but only as .TARGET.acbc-XXXXXXXXXX and no more readable
than the input.
A tree case does the same with `encrypt -r -o OUT -f` of 200 files, OUT
holding old outputs for half of them: afterwards every name in OUT is its
old file or the complete new output, the inputs are unchanged, and OUT holds
nothing else but temporary files .NAME.acbc-XXXXXXXXXX beside an output
NAME: with unnamed files only beside an old output being replaced (holding
the complete new output), without them any, no more readable than the input;
every other run of it is stopped by SIGTERM instead, after which no
temporary file may be left at all.
Exits 1 when a run leaves anything else.

usage: crash.py PELLFOLD FAULT_SHIM WORKDIR [RUNS]
"""
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

SIZE = 64 << 20
target_arg = object()  # stands for the target in a case's extra arguments
PASSWORD = "pass:crash test password"


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


TREE_FILES = 200


def tree_names():
    """The inputs of the tree case by their path below its input folder, in two folders."""
    return [f"d{i * 2 // TREE_FILES}/f{i:03d}" for i in range(TREE_FILES)]


def set_out(out, old_outputs):
    """OUT as each tree run starts: the old outputs of every other file."""
    shutil.rmtree(out, ignore_errors=True)
    for name, data in old_outputs.items():
        os.makedirs(os.path.dirname(os.path.join(out, name)), exist_ok=True)
        write(os.path.join(out, name), data)


def tree_case(pellfold, work, env, runs, rng):
    """Kills `encrypt -r -o out -f` of TREE_FILES files RUNS times; returns the violations."""
    named = env is not None
    place = os.path.join(work, "crash-tree")
    shutil.rmtree(place, ignore_errors=True)
    inputs = {name: rng.randbytes(16 << 10) for name in tree_names()}
    for name, data in inputs.items():
        os.makedirs(os.path.dirname(os.path.join(place, "in", name)), exist_ok=True)
        write(os.path.join(place, "in", name), data)
    input_digests = {name: hashlib.sha256(data).hexdigest() for name, data in inputs.items()}
    umask = os.umask(0o22)
    os.umask(umask)
    allowed = 0o666 & ~umask
    old_outputs = {name + ".acbc": f"the old output of {name}\n".encode()
                   for i, name in enumerate(inputs) if i % 2 == 0}
    old_digests = {name: hashlib.sha256(data).hexdigest() for name, data in old_outputs.items()}
    out = os.path.join(place, "out")
    argv = [pellfold, "encrypt", "-f", "-q", "--pass", PASSWORD, "-r", "-o", "out", "in"]
    set_out(out, old_outputs)
    start = time.monotonic()
    subprocess.run(argv, cwd=place, env=env, check=True, stderr=subprocess.DEVNULL)
    whole = time.monotonic() - start
    # ACBC has no salt: the new output of a file is the same on every run.
    # Each one is checked once to decrypt to its input.
    new_outputs = {}
    for name, data in inputs.items():
        path = os.path.join(out, name + ".acbc")
        plain = subprocess.run([pellfold, "decrypt", "-q", "--pass", PASSWORD, path, "-"],
                               capture_output=True, check=True).stdout
        if plain != data:
            sys.exit(f"crash: {path} does not decrypt to its input")
        new_outputs[name + ".acbc"] = digest(path)
    temporary = re.compile(r"(.*/)?\.([^/]+)\.acbc-.{10}$")
    violations = 0
    counts = {"untouched": 0, "partly": 0, "done": 0, "temporary": 0}
    for run in range(runs):
        set_out(out, old_outputs)
        delay = rng.uniform(0, whole * 1.1)
        child = subprocess.Popen(argv, cwd=place, env=env, stderr=subprocess.DEVNULL)
        time.sleep(delay)
        # Every other run is stopped by SIGTERM, which leaves no temporary
        # file, named or not.
        stop = signal.SIGTERM if run % 2 else signal.SIGKILL
        child.send_signal(stop)
        child.wait()
        problems = []
        for name, data in inputs.items():
            path = os.path.join(place, "in", name)
            if not os.path.isfile(path) or digest(path) != input_digests[name]:
                problems.append(f"in/{name} is not unchanged")
        new = 0
        for top, folders, files in os.walk(out):
            for name in sorted(folders + files):
                path = os.path.join(top, name)
                relative = os.path.relpath(path, out)
                if os.path.isdir(path) and not os.path.islink(path):
                    if relative not in {os.path.dirname(n) for n in new_outputs}:
                        problems.append(f"out holds the folder {relative}")
                    continue
                state = digest(path) if os.path.isfile(path) and not os.path.islink(path) else None
                beside = temporary.match(relative)
                target = (beside.group(1) or "") + beside.group(2) if beside else None
                mode = os.lstat(path).st_mode & 0o7777
                if relative in new_outputs:
                    if state == new_outputs[relative]:
                        new += 1
                    elif state is None or state != old_digests.get(relative):
                        problems.append(f"out/{relative} is neither its old file nor the complete new output")
                elif (stop == signal.SIGKILL and target in new_outputs and mode & ~allowed == 0 and
                      (named or (target in old_outputs and state == new_outputs[target]))):
                    counts["temporary"] += 1  # killed between the link aside and the rename
                else:
                    problems.append(f"out holds {relative} (mode {mode:o})")
        for name in old_outputs:
            if not os.path.exists(os.path.join(out, name)):
                problems.append(f"out/{name} is gone")
        counts["untouched" if new == 0 else "done" if new == len(new_outputs) else "partly"] += 1
        for problem in problems:
            violations += 1
            print(f"VIOLATION encrypt -r{' (named temporary)' if named else ''} "
                  f"{stop.name} after {delay:.3f} s: {problem}")
    left = f", {counts['temporary']} temporary files left"
    print(f"crash: encrypt -r -o -f of {TREE_FILES} files, {len(old_outputs)} replaced"
          f"{' without unnamed files' if named else ''} ({whole:.2f} s a run) stopped {runs} times"
          f" (SIGKILL, SIGTERM by turns): "
          f"{counts['untouched']} untouched, {counts['partly']} partly done, {counts['done']} done{left}")
    shutil.rmtree(place)
    return violations


def main():
    pellfold, shim, work = (os.path.abspath(a) for a in sys.argv[1:4])
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 20
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

    def upgraded(path):
        out = subprocess.run([pellfold, "decrypt", "-q", "--pass", PASSWORD, path, "-"],
                             capture_output=True)
        return out.returncode == 0 and hashlib.sha256(out.stdout).hexdigest() == plain_digest

    violations = 0
    # (command, its input, target, whether a file is the new target, extra arguments)
    cases = [("encrypt", "big", "big.acbc", lambda p: digest(p) == secret_digest, [target_arg]),
             ("decrypt", "big.acbc", "big", lambda p: digest(p) == plain_digest, [target_arg]),
             ("upgrade", "big.acbc", "big.age", upgraded, ["--work-factor", "10"]),
             ("decrypt", "big.acbc", "big", lambda p: digest(p) == plain_digest,
              [target_arg, "--remove-input"]),
             ("encrypt -r", "in", "out", None, [])]  # 200 files: tree_case
    old_fs = dict(os.environ, LD_PRELOAD=shim, FAULT_OLD_FS="1")
    for (command, source, target, is_new, extra), env in [(c, None) for c in cases] + [(c, old_fs) for c in cases]:
        if command == "encrypt -r":
            violations += tree_case(pellfold, work, env, runs, rng)
            continue
        named = env is not None
        umask = os.umask(0o22)
        os.umask(umask)
        input_path = big if command == "encrypt" else secret
        input_digest = digest(input_path)
        allowed = os.stat(input_path).st_mode & 0o666 & ~umask
        private = re.compile(r"\." + re.escape(source) + r"\.pellfold-rm-.{6}$")
        temporary = re.compile(r"\." + re.escape(target) + r"\.acbc-.{10}$")
        # Each case runs in a folder of its own holding the input and the old target.
        place = os.path.join(work, "crash-" + command)
        shutil.rmtree(place, ignore_errors=True)
        os.makedirs(place)
        shutil.copyfile(input_path, os.path.join(place, source))
        argv = [pellfold, command, "-f", "-q", "--pass", PASSWORD, source]
        argv += [target if a is target_arg else a for a in extra]
        shutil.copyfile(old, os.path.join(place, target))
        start = time.monotonic()
        subprocess.run(argv, cwd=place, env=env, check=True)
        if "--remove-input" in extra:
            shutil.copyfile(input_path, os.path.join(place, source))
        whole = time.monotonic() - start
        outcomes = {"old": 0, "new": 0, "temporary": 0}
        removes = "--remove-input" in extra
        label = command + " -f" + (" --remove-input" if removes else "")
        for run in range(runs):
            shutil.copyfile(old, os.path.join(place, target))
            if removes:
                shutil.copyfile(input_path, os.path.join(place, source))
            delay = rng.uniform(0, whole * 1.1)
            child = subprocess.Popen(argv, cwd=place, env=env)
            time.sleep(delay)
            child.send_signal(signal.SIGKILL)
            child.wait()
            left = sorted(os.listdir(place))
            target_path = os.path.join(place, target)
            state = digest(target_path) if target in left else None
            problems = []
            # --remove-input: the input goes only once the new target is in place.
            if source not in left:
                if not removes or state is None or not is_new(target_path):
                    problems.append(f"{source} is gone")
            elif digest(os.path.join(place, source)) != input_digest:
                problems.append(f"{source} is not unchanged")
            extra = set(left) - {source, target}
            for name in sorted(extra):
                mode = os.stat(os.path.join(place, name)).st_mode & 0o7777
                if named and temporary.match(name) and mode & ~allowed == 0:
                    outcomes["temporary"] += 1
                elif (removes and source not in left and private.match(name) and
                      state is not None and is_new(target_path) and
                      digest(os.path.join(place, name)) == input_digest):
                    outcomes["temporary"] += 1  # killed between the private rename and the unlink
                else:
                    problems.append(f"folder holds {name} (mode {mode:o})")
            if state == old_digest:
                outcomes["old"] += 1
            elif state is not None and is_new(target_path):
                outcomes["new"] += 1
            else:
                problems.append(f"{target} is neither the old file nor the new one")
            for problem in problems:
                violations += 1
                print(f"VIOLATION {command}{' (named temporary)' if named else ''} killed after {delay:.3f} s: {problem}")
            for name in extra:
                os.unlink(os.path.join(place, name))
        left = f", {outcomes['temporary']} temporary files left" if named else ""
        print(f"crash: {label} of 64 MiB{' without unnamed files' if named else ''} "
              f"({whole:.2f} s a run) killed {runs} times: "
              f"{outcomes['old']} old, {outcomes['new']} new target{left}")
        shutil.rmtree(place)
    shutil.rmtree(folder)
    print(f"crash: {2 * len(cases) * runs} cases run, {violations} violations")
    return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main())
