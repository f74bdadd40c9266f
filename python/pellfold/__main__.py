"""python3 -m pellfold verify --password-env VAR FILE...

Checks that the password in the environment variable VAR opens each FILE and
prints one JSON object per file and line: {"path", "status", "message",
"warnings"}. Exit status 0 when every file opens, 1 when one does not, 2 for
a usage error. A small example of scripting the binding; the pellfold
program is the command-line tool.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Dict, List, Optional, Union

import pellfold


def verify_line(path: str, password: bytes) -> Dict[str, Union[str, List[str]]]:
    """The JSON record for one file."""
    try:
        result = pellfold.verify_file(path, password=password)
    except pellfold.Error as error:
        return {"path": path, "status": error.status, "message": error.message, "warnings": []}
    except OSError as error:
        return {"path": path, "status": getattr(error, "status", "input_open"),
                "message": error.strerror or str(error), "warnings": []}
    return {"path": path, "status": result.status, "message": "ok",
            "warnings": sorted(result.warnings)}


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m pellfold",
                                     description="Check ACBC files against a password.")
    commands = parser.add_subparsers(dest="command", required=True)
    verify = commands.add_parser("verify", help="check that a password opens each file")
    verify.add_argument("--password-env", required=True, metavar="VAR",
                        help="the environment variable that holds the password")
    verify.add_argument("files", nargs="+", metavar="FILE")
    options = parser.parse_args(argv)

    password = os.environb.get(os.fsencode(options.password_env))
    if password is None:
        parser.error(f"the environment variable {options.password_env} is not set")
    failed = False
    for path in options.files:
        line = verify_line(path, password)
        failed |= line["status"] != "ok"
        # ensure_ascii keeps file names that are not UTF-8 (surrogate
        # escapes) printable as JSON.
        print(json.dumps(line), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
