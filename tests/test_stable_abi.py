"""One build of the modules for every interpreter from 3.10 on: they are
stable-ABI modules, and what replaced the interpreter's private calls keeps
their behaviour. The test for the end of the interpreter is how a thread
that takes the lock back decides to park: calls made from atexit callbacks,
in the main thread or in threads they start, must still be answered, and a
daemon thread still calling once finalization begins must not abort it.
Run against a wheel (scripts/test with VELMOR_WHEEL), the velmor imported
must be the wheel's own files."""

from __future__ import annotations

import importlib
import importlib.machinery
import json
import os
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest

# The interpreter's names for stable-ABI modules: ".abi3.so", and on newer
# ones also a name with the platform in it, which CMake gives a module built
# for them.
STABLE_ABI_SUFFIXES = tuple(s for s in importlib.machinery.EXTENSION_SUFFIXES if s.startswith(".abi3"))


@pytest.mark.parametrize("name", ["velmor._lib", "velmor._table", "_velmor_hooks"])
def test_the_modules_are_stable_abi_builds(name: str) -> None:
    module = pytest.importorskip(name) if name.startswith("_velmor") else importlib.import_module(name)
    assert ".abi3.so" in STABLE_ABI_SUFFIXES
    assert module.__file__ is not None and module.__file__.endswith(STABLE_ABI_SUFFIXES), module.__file__


# Registered before velmor is imported, so that the callback runs after any
# exit step velmor might register itself (atexit runs the newest first).
# Every call listed releases the interpreter lock and takes it back.
AT_EXIT = """
import atexit, json, os, socket, sys, threading

def calls(held, port):
    import velmor
    from velmor import _table
    info = velmor.get_info(port)
    return {
        "get_info": info and info["pid"],
        "scan": [entry and entry["pid"] for entry in velmor.scan([port]).values()],
        "wait_until_free": velmor.wait_until_free(port, 1),
        "listeners": [[p.pid for p in l.processes] for l in velmor.listeners(port)],
        "process_tree": os.getpid() in _table.process_tree(os.getpid()),
    }

# The daemon thread is started before the exit: 3.12 and later refuse to
# start a thread from an atexit callback.
request, box = {}, {}
ready, answered = threading.Event(), threading.Event()

def keep_calling():
    ready.wait()
    box.update(calls(request["held"], request["port"]))
    answered.set()
    while True:  # on into finalization, where this thread parks
        velmor.wait_until_free(request["port"], 0)

if WHERE == "daemon":
    threading.Thread(target=keep_calling, daemon=True).start()

def at_exit():
    held = socket.socket(); held.bind(("127.0.0.1", 0)); held.listen()
    port = held.getsockname()[1]
    if WHERE == "main":
        answers = calls(held, port)
    else:
        request.update(held=held, port=port)
        ready.set()
        answered.wait(60)
        answers = box
    print(json.dumps({"pid": os.getpid(), "port": port, **answers}), flush=True)

atexit.register(at_exit)
import velmor
"""


@pytest.mark.parametrize("where", ["main", "daemon"])
def test_calls_from_atexit_callbacks_are_answered(where: str) -> None:
    script = f"WHERE = {where!r}\n" + textwrap.dedent(AT_EXIT)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, "")
    answer = json.loads(result.stdout)
    pid = answer["pid"]
    assert answer == {
        "pid": pid,
        "port": answer["port"],
        "get_info": pid,
        "scan": [pid],
        "wait_until_free": False,
        "listeners": [[pid]],
        "process_tree": True,
    }


# --- the velmor under test is the wheel's ------------------------------------------------


def wheel_package_files(wheel: str) -> dict[str, bytes]:
    """The files of the package directory `velmor/` in a wheel, by their path
    in it (a repaired wheel lists its directories too; they are no files)."""
    with zipfile.ZipFile(wheel) as archive:
        return {
            info.filename: archive.read(info)
            for info in archive.infolist()
            if info.filename.startswith("velmor/") and not info.is_dir()
        }


@pytest.mark.skipif(not os.environ.get("VELMOR_WHEEL"), reason="runs when scripts/test is given a wheel (VELMOR_WHEEL)")
def test_the_velmor_imported_is_the_wheels_file_for_file() -> None:
    import velmor

    files = wheel_package_files(os.environ["VELMOR_WHEEL"])
    installed = Path(velmor.__file__).resolve().parent.parent
    modules = {name for name in files if name.endswith(".so")}
    assert modules == {"velmor/_lib.abi3.so", "velmor/_table.abi3.so"}
    differing = [name for name, content in files.items() if (installed / name).read_bytes() != content]
    assert differing == []
    for module in (velmor._lib, velmor._table):
        assert Path(module.__file__ or "").resolve().parent == installed / "velmor"
