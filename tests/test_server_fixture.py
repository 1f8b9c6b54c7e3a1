"""The `velmor_server` fixture, used as a test suite uses it: a pytest run of
its own (in a subprocess, inside the tests' network namespace) over tests
that start real servers, checked from outside by what they printed and by
which of their processes still exist afterwards."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

from conftest import AS_NOBODY, WITHOUT_KILL, needs_root_that_can_drop_kill

# Each server records its pids (and the port) in a file of RECORDS.
SERVERS = textwrap.dedent(
    """
    import os, sys, urllib.request
    import pytest

    RECORDS = os.environ["RECORDS"]
    PY = sys.executable
    LISTEN = '''
    import ctypes, os, signal, socket, sys, time
    port, records, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG: never outlive the run
    print("starting", os.environ.get("GREETING", ""), flush=True)
    if mode == "exit":
        print("cannot start: no config", flush=True)
        sys.exit(3)
    pids = [os.getpid()]
    if mode.startswith("fork"):
        # The child listens only once the tree is recorded: the fixture may
        # stop the tree as soon as something in it listens.
        recorded, go = os.pipe()
        child = os.fork()
        if child:
            pids.append(child)
            with open(os.path.join(records, f"tree-{os.getpid()}"), "w") as f:
                f.write(" ".join(map(str, pids)))
            os.write(go, b"go")
            os.wait()
            sys.exit(0)
        os.close(go)
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)
        os.read(recorded, 2)
        if mode == "fork-stubborn":
            signal.signal(signal.SIGTERM, signal.SIG_IGN)
    if mode != "silent":
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", port))
        s.listen()
    with open(os.path.join(records, f"server-{mode}-{os.getpid()}"), "w") as f:
        f.write(str(os.getpid()))
    if mode == "survivor":
        # Runs as another user than the run, whose signals (the parent-death
        # one too) it may refuse: it leaves on its own once the run is over.
        parent = os.getppid()
        while os.getppid() == parent:
            time.sleep(0.05)
        sys.exit(0)
    time.sleep(600)
    '''


    def record(name, *values):
        with open(os.path.join(RECORDS, f"{name}-{values[0]}"), "w") as f:
            f.write(" ".join(map(str, values)))


    @pytest.mark.parametrize("n", range(6))
    def test_http(velmor_server, tmp_path, n):
        (tmp_path / "hello.txt").write_text(f"hello {n}")
        srv = velmor_server([PY, "-m", "http.server", "--bind", "127.0.0.1", "{port}"], cwd=tmp_path)
        with urllib.request.urlopen(f"http://127.0.0.1:{srv.port}/hello.txt", timeout=30) as answer:
            assert answer.read() == f"hello {n}".encode()
        assert srv.process.pid == srv.pid and srv.process.poll() is None
        record("http", srv.pid, srv.port)


    def test_env_and_output(velmor_server):
        env = dict(os.environ, GREETING="hi from the env")
        srv = velmor_server([PY, "-c", LISTEN, "{port}", RECORDS, "plain"], env=env)
        assert "starting hi from the env" in srv.output
        record("env", srv.pid, srv.port)


    @pytest.mark.parametrize("mode", ["fork", "fork-stubborn"])
    def test_forks(velmor_server, mode):
        srv = velmor_server([PY, "-c", LISTEN, "{port}", RECORDS, mode], kill_after=0.5)
        record("forked", srv.pid, srv.port)


    def test_exits_early(velmor_server):
        velmor_server([PY, "-c", LISTEN, "{port}", RECORDS, "exit"])


    def test_never_listens(velmor_server):
        velmor_server([PY, "-c", LISTEN, "{port}", RECORDS, "silent"], timeout=1)


    def test_survivor(velmor_server):
        prefix = os.environ["SERVER_PREFIX"].split()
        srv = velmor_server([*prefix, PY, "-c", LISTEN, "{port}", RECORDS, "survivor"], cwd="/")
        record("survivor", srv.pid, srv.port)
    """
)


@pytest.fixture
def records() -> Iterator[Path]:
    """Where the servers record their pids: outside the test's own tmp_path,
    which servers run as nobody cannot reach."""
    path = Path(tempfile.mkdtemp(prefix="velmor-servers-"))
    path.chmod(0o777)
    yield path
    shutil.rmtree(path, ignore_errors=True)


def run_suite(tmp_path: Path, records: Path, selection: str, *args: str, prefix: tuple[str, ...] = (),
              env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs the tests of SERVERS that `selection` picks (-k) in a pytest of
    their own, the servers recording themselves in `records`."""
    suite = tmp_path / "suite"
    suite.mkdir()
    (suite / "test_servers.py").write_text(SERVERS)
    result = subprocess.run(
        [*prefix, sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-k", selection, *args],
        cwd=suite, capture_output=True, text=True, timeout=300,
        env={**os.environ, "RECORDS": str(records), **(env or {})},
    )
    return result


def recorded(records: Path, name: str) -> list[list[int]]:
    return [[int(word) for word in path.read_text().split()] for path in sorted(records.glob(f"{name}-*"))]


def wait_gone(pids: list[int], seconds: float = 60) -> list[int]:
    """Waits until none of `pids` exists (zombies are reaped by their new
    parent in their own time); gives those still there at the end."""
    deadline = time.monotonic() + seconds
    while True:
        left = [pid for pid in pids if os.path.exists(f"/proc/{pid}") and not _zombie(pid)]
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.05)


def _zombie(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] == "Z"
    except (OSError, IndexError):
        return False


@pytest.mark.parametrize("parallel", [[], ["-n", "4"]], ids=["one-process", "xdist-4"])
def test_servers_start_answer_and_are_stopped_whole(inside: None, tmp_path: Path, records: Path,
                                                     parallel: list[str]) -> None:
    result = run_suite(tmp_path, records, "http or env or forks", "--velmor-leftovers", *parallel)
    output = result.stdout + result.stderr
    assert result.returncode == 0, output
    assert "9 passed" in output
    # Stopped at teardown, so never a leftover.
    assert output.split("velmor: servers left running")[1].split()[1] == "none"
    started = recorded(records, "http") + recorded(records, "env") + recorded(records, "forked")
    assert len(started) == 9
    ports = [port for _, port in started]
    assert len(set(ports)) == len(ports)
    forks = recorded(records, "tree")
    assert len(forks) == 2 and all(len(pids) == 2 for pids in forks)
    everything = [pid for pid, _ in started] + [pid for pids in forks for pid in pids]
    assert wait_gone(everything) == []


@pytest.mark.parametrize(
    "test, says",
    [
        ("test_exits_early", ["exited with code 3 before it listened on port", "cannot start: no config"]),
        ("test_never_listens", ["did not listen on port", "within 1s and was stopped", "starting"]),
    ],
)
def test_a_server_that_does_not_listen_fails_the_test_with_its_output(
    inside: None, tmp_path: Path, records: Path, test: str, says: list[str]
) -> None:
    result = run_suite(tmp_path, records, test)
    assert result.returncode == 1
    assert "1 failed" in result.stdout
    for text in says:
        assert text in result.stdout
    if test == "test_never_listens":  # it ran, and was stopped
        [[pid]] = recorded(records, "server-silent")
        assert wait_gone([pid]) == []


@needs_root_that_can_drop_kill
def test_a_descendant_still_listening_after_the_stop_is_an_error(inside: None, tmp_path: Path, records: Path) -> None:
    # The run may not signal the server, which runs as nobody: the stop is
    # refused, the server still listens, and the teardown says so.
    result = run_suite(tmp_path, records, "survivor", prefix=WITHOUT_KILL, env={"SERVER_PREFIX": " ".join(AS_NOBODY)})
    [[pid, port]] = recorded(records, "survivor")
    assert "1 passed" in result.stdout and "1 error" in result.stdout
    assert f"pid {pid} python" in result.stdout
    assert f"still listens on port {port}" in result.stdout
    assert wait_gone([pid]) == []  # it left once the run had ended
