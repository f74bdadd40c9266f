#!/usr/bin/env python3
"""Fault sweep: runs each scenario once to count its file calls, then once
for every call N of every family (read, pread, write, ...), with fault_shim.so
making call N fail with EIO and then with ENOSPC. After every run:
  - no signal, no hang (10 s);
  - exit 0 only with the right output (target bytes, standard output);
  - on failure, every target is as it was and the message names a file and
    the error;
    libacbc reports an I/O status with the injected errno;
  - the inputs are unchanged and no other file is left in the folder.
The commands that write files are swept again with FAULT_OLD_FS, on the
paths taken where there are no unnamed files (a named temporary file) and no
renameat2 (a hard link, then an unlink). Runs with standard output on
/dev/full check that write errors there are
reported. Prints the cases run and the violations, each with a command that
reproduces it; exits 1 when there is a violation.

usage: sweep.py PELLFOLD ACBC_DRIVER FAULT_SHIM WORKDIR [SCENARIO...]
(naming scenarios runs those alone)
"""
import errno
import hashlib
import json
import os
import random
import shlex
import shutil
import subprocess
import sys

FAMILIES = ["read", "pread", "write", "pwrite", "fsync", "fdatasync", "close", "lseek",
            "renameat2", "linkat", "unlinkat", "openat"]
ERRNOS = ["EIO", "ENOSPC"]
CAP = 64  # calls swept per family at most; more are named in the output
TIMEOUT = 10
PASSWORD, NEW_PASSWORD = "fault sweep pw", "another password"
# input_length: the offset of the input cannot be taken (lseek failed).
READS = {"read", "pread", "lseek"}
IO_STATUSES = {"input_open", "output_open", "input_length", "read", "write"}


def run(argv, folder, env=None, stdout=subprocess.PIPE):
    return subprocess.run(argv, cwd=folder, env=env, stdout=stdout, stderr=subprocess.PIPE,
                          timeout=TIMEOUT, check=False)


def populate(folder, files, folders=()):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name in folders:
        os.makedirs(os.path.join(folder, name))
    for name, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def contents(folder):
    """Every file below `folder`, by its path relative to it."""
    found = {}
    for top, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(top, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = f.read()
    return found


def matches(new, found):
    """Whether a target holds what a successful run leaves: the bytes, or
    for an output that differs from run to run (age files: salt, file key)
    what the check function accepts."""
    return new(found) if callable(new) else found == new


class Scenario:
    """A command run in a folder holding `files`. `targets` maps each output
    name to the bytes a successful run leaves there (or a check function of
    them); its old bytes (or its absence) are what `files` holds. `library`
    marks acbc_driver runs. `removed` maps each input that --remove-input
    may remove to its output, which must then be complete; `folders` are
    made empty first."""

    def __init__(self, name, argv, files, targets, stdout=None, library=False, per_file=False,
                 removed=None, folders=()):
        self.name, self.argv, self.files, self.targets = name, argv, files, targets
        self.stdout, self.library, self.per_file = stdout, library, per_file
        self.removed, self.folders = removed or {}, folders


def check(scenario, folder, result, injected):
    """The violations of one finished run, as text. `injected` is (family,
    errno name), or None for a run without faults."""
    problems = []
    if result.returncode < 0:
        return [f"killed by signal {-result.returncode}"]
    found = contents(folder)
    stderr = result.stderr.decode(errors="replace")
    # The targets the run reports as written: all of them on exit 0; on a
    # failure, those named as "written, but its folder could not be synced".
    if scenario.per_file:
        written = set()
        try:
            for line in result.stdout.decode().splitlines():
                entry = json.loads(line)
                if (entry["status"] in ("ok", "not_removed") or
                        entry["message"].startswith("written")):
                    written.add(entry["output"])
        except (ValueError, KeyError) as error:
            problems.append(f"unreadable --json output ({error})")
        if result.returncode == 0 and written != set(scenario.targets):
            problems.append("exit 0 although not every file was written")
    elif result.returncode == 0:
        written = set(scenario.targets)
    else:
        written = {name for name in scenario.targets if f"{name}: written" in stderr}
    # libacbc's ACBC_E_WRITE for a folder that cannot be synced comes with
    # the output in place: there, old and new bytes are both right.
    either = (scenario.library and injected is not None and injected[0] == "fsync" and
              result.stdout.startswith(b"write "))
    for name, new in scenario.targets.items():
        old = scenario.files.get(name)
        if either and (found.get(name) == old or matches(new, found.get(name))):
            continue
        if name in written:
            if not matches(new, found.get(name)):
                problems.append(f"{name} reported written but its bytes are wrong")
        elif found.get(name) != old:
            problems.append(f"{name} changed although the run failed" if old is not None
                            else f"{name} created although the run failed")
    for name, data in scenario.files.items():
        if name in scenario.removed and name not in found:
            output = scenario.removed[name]
            if not matches(scenario.targets[output], found.get(output)):
                problems.append(f"input {name} removed although {output} is not complete")
        elif name not in scenario.targets and found.get(name) != data:
            problems.append(f"input {name} changed")
    extra = sorted(set(found) - set(scenario.files) - set(scenario.targets))
    if extra:
        problems.append(f"left behind: {' '.join(extra)}")
    if result.returncode == 0:
        if scenario.stdout is not None and result.stdout != scenario.stdout:
            problems.append("exit 0 with wrong standard output")
    elif scenario.library:
        words = result.stdout.decode().split()
        # inspect has no errno to report: it prints "-".
        if injected is not None and (len(words) < 2 or words[0] not in IO_STATUSES or
                                     words[1] not in ("-", str(getattr(errno, injected[1])))):
            problems.append(f"reported as '{result.stdout.decode().strip()}', "
                            f"not an I/O status with {injected[1]}")
    else:
        names = list(scenario.files) + list(scenario.targets) + ["standard output", "temporary file"]
        names += [os.path.dirname(name) for name in names if "/" in name]  # a folder on the way
        told = stderr + (result.stdout.decode(errors="replace") if scenario.stdout else "")
        if not any(name in told for name in names):
            problems.append(f"exit {result.returncode} without a message naming a file: {stderr!r}")
        # The error's own text too, but for ENOSPC on a read: acbc_inspect_fd
        # gives no errno, so the program reads again to name one.
        elif (injected is not None and (injected[1] == "EIO" or injected[0] not in READS) and
              os.strerror(getattr(errno, injected[1])) not in told):
            problems.append(f"exit {result.returncode} without naming the error: {stderr!r}")
    return problems


def reproducer(scenario, env_text):
    setup = " ".join(sorted(scenario.files))
    return f"(in a folder holding {setup}) {env_text} {shlex.join(scenario.argv)}"


def sweep(scenario, folder, shim, old_fs=False):
    cases, violations = 0, []
    base = dict(os.environ, LD_PRELOAD=shim)
    name = scenario.name
    if old_fs:
        base["FAULT_OLD_FS"] = "1"
        name += " (no O_TMPFILE, no renameat2)"
    populate(folder, scenario.files, scenario.folders)
    counting = dict(base, FAULT_COUNT=os.path.join(folder, "..", "counts"))
    clean = run(scenario.argv, folder, counting)
    problems = check(scenario, folder, clean, None)
    if clean.returncode != 0 or problems:
        return 1, [f"{name}: the run without faults fails: exit {clean.returncode}, "
                   f"{problems} {clean.stderr.decode(errors='replace')!r}"]
    with open(os.path.join(folder, "..", "counts")) as f:
        counts = {line.split()[0]: int(line.split()[1]) for line in f}
    capped = []
    for family in FAMILIES:
        if counts[family] > CAP:
            capped.append(f"{family} {counts[family]}")
        for nth in range(1, min(counts[family], CAP) + 1):
            for code in ERRNOS:
                populate(folder, scenario.files, scenario.folders)
                env = dict(base, FAULT_CALL=family, FAULT_NTH=str(nth), FAULT_ERRNO=code)
                cases += 1
                where = (("FAULT_OLD_FS=1 " if old_fs else "") +
                         f"LD_PRELOAD={shim} FAULT_CALL={family} FAULT_NTH={nth} FAULT_ERRNO={code}")
                try:
                    result = run(scenario.argv, folder, env)
                    problems = check(scenario, folder, result, (family, code))
                except subprocess.TimeoutExpired:
                    problems = [f"no end within {TIMEOUT} s"]
                violations += [f"{name}: {p}\n    {reproducer(scenario, where)}"
                               for p in problems]
    calls = ", ".join(f"{f} {counts[f]}" for f in FAMILIES if counts[f])
    note = f"; swept only the first {CAP} of: {', '.join(capped)}" if capped else ""
    print(f"{name}: {cases} cases, {len(violations)} violations (calls: {calls}{note})")
    return cases, violations


def full_stdout(scenario, folder):
    """The scenario with standard output on /dev/full: a failure that names
    standard output, the folder as it was."""
    populate(folder, scenario.files)
    with open("/dev/full", "wb") as full:
        result = run(scenario.argv, folder, stdout=full)
    problems = []
    if result.returncode <= 0:
        problems.append(f"exit {result.returncode} with standard output on /dev/full")
    if b"standard output" not in result.stderr:
        problems.append(f"the message does not name standard output: {result.stderr!r}")
    if contents(folder) != scenario.files:
        problems.append("the folder changed")
    return [f"{scenario.name} > /dev/full: {p}\n    {reproducer(scenario, '')} > /dev/full"
            for p in problems]


def main():
    pellfold, driver, shim, work = (os.path.abspath(a) for a in sys.argv[1:5])
    folder = os.path.join(work, "folder")
    rng = random.Random(17)
    # Two full records, one full 64 KiB chunk and a partial last record.
    plain = bytes(rng.getrandbits(8) for _ in range(70000))
    other = bytes(rng.getrandbits(8) for _ in range(1300))
    # 1023 bytes: one padding byte checks the password.
    weak = bytes(rng.getrandbits(8) for _ in range(1023))
    old = b"the old target, kept unless the run succeeds\n"

    def clean_output(argv, files, output):
        populate(folder, files)
        result = run(argv, folder)
        if result.returncode != 0:
            sys.exit(f"{shlex.join(argv)} fails without faults: {result.stderr!r}")
        with open(os.path.join(folder, output), "rb") as f:
            return f.read()

    pw = ["--pass", "pass:" + PASSWORD]
    secret = clean_output([pellfold, "encrypt", "-q", *pw, "plain", "p.acbc"], {"plain": plain}, "p.acbc")
    secret2 = clean_output([pellfold, "encrypt", "-q", *pw, "o", "o.acbc"], {"o": other}, "o.acbc")
    weak_secret = clean_output([pellfold, "encrypt", "-q", *pw, "w", "w.acbc"], {"w": weak}, "w.acbc")
    weak_rekeyed = clean_output([pellfold, "encrypt", "-q", "--pass", "pass:" + NEW_PASSWORD, "w", "w.acbc"],
                                {"w": weak}, "w.acbc")
    rekeyed = clean_output([pellfold, "encrypt", "-q", "--pass", "pass:" + NEW_PASSWORD, "plain", "p.acbc"],
                           {"plain": plain}, "p.acbc")
    # age files differ from run to run: a target is right when it decrypts,
    # outside the sweep, to the plaintext.
    probes = os.path.join(work, "probes")

    def opens_to(passphrase, want):
        def check_age(found):
            if found is None:
                return False
            os.makedirs(probes, exist_ok=True)
            probe = os.path.join(probes, "probe")
            with open(probe + ".age", "wb") as f:
                f.write(found)
            if run([driver, "age-decrypt", probe + ".age", probe, passphrase], work).returncode != 0:
                return False
            with open(probe, "rb") as f:
                return f.read() == want
        return check_age

    # Five files in two folders for encrypt -r: each one's output by itself.
    tree = {f"in/{'sub/' if i >= 3 else ''}t{i}": rng.randbytes(1300 + i) for i in range(5)}
    tree_outputs = {"out" + name[2:] + ".acbc": clean_output([pellfold, "encrypt", "-q", *pw, "t", "t.acbc"],
                                                             {"t": data}, "t.acbc")
                    for name, data in tree.items()}
    aged = clean_output([driver, "upgrade", "p.acbc", "p.age", PASSWORD, NEW_PASSWORD],
                        {"p.acbc": secret}, "p.age")
    listing = (f"{hashlib.sha256(plain).hexdigest()}  plain\n{hashlib.sha256(other).hexdigest()}  o\n").encode()

    scenarios = [
        Scenario("encrypt -f", [pellfold, "encrypt", "-f", "-q", *pw, "plain", "p.acbc"],
                 {"plain": plain, "p.acbc": old}, {"p.acbc": secret}),
        Scenario("decrypt -f", [pellfold, "decrypt", "-f", "-q", *pw, "p.acbc", "plain"],
                 {"p.acbc": secret, "plain": old}, {"plain": plain}),
        Scenario("encrypt (new output)", [pellfold, "encrypt", "-q", *pw, "plain", "p.acbc"],
                 {"plain": plain}, {"p.acbc": secret}),
        Scenario("decrypt (new output)", [pellfold, "decrypt", "-q", *pw, "p.acbc", "plain"],
                 {"p.acbc": secret}, {"plain": plain}),
        Scenario("decrypt -", [pellfold, "decrypt", "-q", *pw, "p.acbc", "-"],
                 {"p.acbc": secret}, {}, stdout=plain),
        Scenario("encrypt -m", [pellfold, "encrypt", "-m", "-f", "-q", "--json", *pw, "plain", "o"],
                 {"plain": plain, "o": other, "plain.acbc": old}, {"plain.acbc": secret, "o.acbc": secret2},
                 per_file=True),
        Scenario("encrypt -r -o --remove-input",
                 [pellfold, "encrypt", "-r", "-q", "--json", "--remove-input", *pw, "-o", "out", "in"],
                 {"in/plain": plain, "in/sub/o": other},
                 {"out/plain.acbc": secret, "out/sub/o.acbc": secret2}, per_file=True,
                 removed={"in/plain": "out/plain.acbc", "in/sub/o": "out/sub/o.acbc"},
                 folders=["out"]),
        Scenario("encrypt -r -o", [pellfold, "encrypt", "-r", "-q", "--json", *pw, "-o", "out", "in"],
                 tree, tree_outputs, per_file=True, folders=["out"]),
        Scenario("rekey", [pellfold, "rekey", "-q", *pw, "--new-pass", "pass:" + NEW_PASSWORD, "p.acbc"],
                 {"p.acbc": secret}, {"p.acbc": rekeyed}),
        Scenario("rekey --accept-weak-check",
                 [pellfold, "rekey", "-q", "--accept-weak-check", *pw, "--new-pass", "pass:" + NEW_PASSWORD,
                  "w.acbc"], {"w.acbc": weak_secret}, {"w.acbc": weak_rekeyed}),
        Scenario("upgrade", [pellfold, "upgrade", "-q", *pw, "--work-factor", "10", "p.acbc"],
                 {"p.acbc": secret}, {"p.age": opens_to(PASSWORD, plain)}),
        Scenario("hash --check", [pellfold, "hash", "sha256", "--check", "list"],
                 {"plain": plain, "o": other, "list": listing}, {}, stdout=b"plain: OK\no: OK\n"),
        Scenario("acbc encrypt", [driver, "encrypt", "plain", "p.acbc", PASSWORD],
                 {"plain": plain, "p.acbc": old}, {"p.acbc": secret}, library=True),
        Scenario("acbc decrypt", [driver, "decrypt", "p.acbc", "plain", PASSWORD],
                 {"p.acbc": secret, "plain": old}, {"plain": plain}, library=True),
        Scenario("acbc rekey", [driver, "rekey", "p.acbc", "-", PASSWORD, NEW_PASSWORD],
                 {"p.acbc": secret}, {"p.acbc": rekeyed}, library=True),
        Scenario("acbc verify", [driver, "verify", "p.acbc", PASSWORD], {"p.acbc": secret}, {},
                 stdout=b"ok 0 70000\n", library=True),
        Scenario("acbc inspect", [driver, "inspect", "p.acbc"], {"p.acbc": secret}, {},
                 stdout=b"ok - 70000 137 137\n", library=True),
        Scenario("acbc upgrade", [driver, "upgrade", "p.acbc", "p.age", PASSWORD, NEW_PASSWORD],
                 {"p.acbc": secret, "p.age": old}, {"p.age": opens_to(NEW_PASSWORD, plain)},
                 library=True),
        Scenario("acbc age decrypt", [driver, "age-decrypt", "p.age", "plain", NEW_PASSWORD],
                 {"p.age": aged, "plain": old}, {"plain": plain}, library=True),
        Scenario("acbc age rekey", [driver, "age-rekey", "p.age", "-", NEW_PASSWORD, PASSWORD],
                 {"p.age": aged}, {"p.age": opens_to(PASSWORD, plain)}, library=True),
    ]

    if sys.argv[5:]:
        scenarios = [s for s in scenarios if s.name in sys.argv[5:]]
    total, found = 0, []
    runs = [(s, False) for s in scenarios] + [(s, True) for s in scenarios if s.targets]
    for scenario, old_fs in runs:
        cases, violations = sweep(scenario, folder, shim, old_fs)
        total += cases
        found += violations
    for scenario in (s for s in scenarios if s.stdout is not None and not s.library):
        total += 1
        found += full_stdout(scenario, folder)
    for violation in found:
        print("VIOLATION " + violation)
    print(f"fault sweep: {total} cases run, {len(found)} violations")
    shutil.rmtree(folder, ignore_errors=True)
    shutil.rmtree(probes, ignore_errors=True)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
