"""`python -m velmor`: runs the velmor command, the native program that the
package carries, with the same arguments, streams and environment."""

import os
import sys


def _run() -> None:
    program = os.path.join(os.path.dirname(os.path.abspath(__file__)), "velmor")
    try:
        os.execv(program, ["velmor", *sys.argv[1:]])
    except OSError as error:
        sys.stderr.write(f"velmor: cannot run {program}: {error.strerror}\n")
        raise SystemExit(127 if isinstance(error, FileNotFoundError) else 126) from None


try:
    _run()
except KeyboardInterrupt:
    raise SystemExit(130) from None
