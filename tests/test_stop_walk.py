"""A stop walks the processes' descriptor tables once, whatever is left on
the port: what is there afterwards comes from the socket tables and from
what the stop already knows, and its result still names the holders.

Each case runs a script under strace in a network namespace of its own
(unshare -n), on a port the script opened itself, and counts the opens of
the descriptor folder of a bystander, a child of the script that holds
nothing and that no stop has a reason to look at alone: every walk over
the processes opens it once, so the count is the number of walks."""

from __future__ import annotations

import json
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(shutil.which("strace") is None or shutil.which("unshare") is None,
                                reason="needs strace and unshare")

# The script holds a UDP socket on a port of its own and starts a child that
# listens on it (ignoring SIGTERM when asked). A stat of a marker path shows
# in the trace where the stop begins; a listing before it is the reference
# walk. It prints what the stop gave as JSON.
SCRIPT = textwrap.dedent(
    """
    import json, os, signal, socket, subprocess, sys
    import velmor
    case = sys.argv[1]
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))
    port = udp.getsockname()[1]
    child = subprocess.Popen([sys.executable, "-c", '''
    import signal, socket, sys
    if sys.argv[2] == "stubborn":
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", int(sys.argv[1])))
    s.listen()
    print("ready", flush=True)
    sys.stdin.read()
    ''', str(port), case], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\\n"
    bystander = subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.read()"], stdin=subprocess.PIPE)
    def mark(name):
        try:
            os.stat(f"/velmor-marker-{name}-{bystander.pid}")
        except OSError:
            pass
    mark("listing")
    velmor.listeners(port)
    mark("stop")
    (report,) = velmor.stop(port, timeout=0.3)
    mark("end")
    for process in (child, bystander):
        process.kill()
        process.wait()
    status = report.status
    print(json.dumps({"script": os.getpid(), "child": child.pid, "result": report.result, "state": status.state,
                      "owner": status.owner.pid if status.owner else None,
                      "sockets": [[s.protocol, s.state, [p.pid for p in s.processes]] for s in status.sockets],
                      "signalled": [[p.pid, p.outcome] for p in report.processes]}))
    """
)


def traced(case: str, tmp_path: Path) -> tuple[dict[str, object], int, int]:
    """Runs SCRIPT for `case`: what it printed, and the walks of the
    listing and of the stop."""
    trace = tmp_path / "trace"
    run = subprocess.run(
        ["unshare", "-n", "strace", "-f", "-qq", "-e", "trace=openat,newfstatat,stat", "-o", str(trace),
         sys.executable, "-c", SCRIPT, case],
        capture_output=True, text=True, timeout=120)
    if run.returncode != 0 and "unshare" in run.stderr:
        pytest.skip(f"no network namespace of our own: {run.stderr.strip()}")
    assert run.returncode == 0, run.stderr
    text = trace.read_text()
    pid = int(re.search(r"/velmor-marker-listing-(\d+)", text).group(1))  # type: ignore[union-attr]  # the bystander
    listing, rest = text.split(f"/velmor-marker-listing-{pid}", 1)[1].split(f"/velmor-marker-stop-{pid}", 1)
    stop = rest.split(f"/velmor-marker-end-{pid}", 1)[0]
    folder = re.compile(rf'openat\((?:\d+|AT_FDCWD), "(?:/proc/)?{pid}/fd"')
    return json.loads(run.stdout), len(folder.findall(listing)), len(folder.findall(stop))


def test_a_stop_that_frees_the_tcp_port_and_leaves_udp_walks_once(tmp_path: Path) -> None:
    answer, listing_walks, stop_walks = traced("polite", tmp_path)
    assert listing_walks == 1
    assert stop_walks == 1
    assert answer["result"] == "freed" and answer["state"] == "free"
    assert answer["signalled"] == [[answer["child"], "exited"]]
    # The UDP socket is left with its holder, known from the one walk.
    assert answer["sockets"] == [["udp", "bound", [answer["script"]]]]


def test_a_stop_that_leaves_its_target_listening_walks_once(tmp_path: Path) -> None:
    answer, listing_walks, stop_walks = traced("stubborn", tmp_path)
    assert listing_walks == 1
    # The checks of whether the target let go walk that target alone.
    assert stop_walks == 1
    child = answer["child"]
    assert answer["result"] == "failed" and answer["state"] == "listening"
    assert answer["signalled"] == [[child, "running"]]
    # The survivor still holds the listener, as the stop's last check saw.
    assert answer["owner"] == child
    assert answer["sockets"] == [["tcp", "listen", [child]], ["udp", "bound", [answer["script"]]]]
