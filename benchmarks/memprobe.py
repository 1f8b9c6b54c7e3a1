"""Memory of one velmor pass, measured in a fresh interpreter.

Usage: python memprobe.py get_info PORT | scan PORT... | scan-all

Prints one JSON object. The resident-set peak is reset (clear_refs 5) just
before the call, so `peak_kib` is how far the call raised VmHWM above the
resident set it started from; `result_kib` is the size of the Python objects
it returned (sys.getsizeof, walked); `beyond_result_kib` is the difference,
the transient memory the pass itself needed. `heap_kept_kib` is the malloc
heap still in use once the result is dropped (mallinfo2), which would show
memory a pass keeps for good.
"""

from __future__ import annotations

import ctypes
import gc
import json
import socket
import sys

import velmor


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")
    ]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = MallInfo2


def heap_in_use() -> int | None:
    if _mallinfo2 is None:
        return None
    info = _mallinfo2()
    return int(info.uordblks + info.hblkhd)


def status() -> dict[str, int]:
    values = {}
    with open("/proc/self/status") as file:
        for line in file:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    return values


def reset_peak() -> None:
    with open("/proc/self/clear_refs", "w") as file:
        file.write("5")


def deep_size(value: object) -> int:
    size = sys.getsizeof(value)
    if isinstance(value, dict):
        size += sum(deep_size(k) + deep_size(v) for k, v in value.items())
    return size


def main() -> None:
    mode = sys.argv[1]
    if mode == "get_info":
        port = int(sys.argv[2])
        call = lambda: velmor.get_info(port)  # noqa: E731
    elif mode == "scan":
        ports = [int(word) for word in sys.argv[2:]]
        call = lambda: velmor.scan(ports)  # noqa: E731
    elif mode == "scan-all":
        ports = list(range(1, 65536))
        call = lambda: velmor.scan(ports)  # noqa: E731
    else:
        raise SystemExit(f"unknown mode {mode!r}")

    # Load the module's entry path and this script's own readers first.
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        free = probe.getsockname()[1]
    velmor.get_info(free)
    status()
    heap_in_use()
    gc.collect()
    gc.disable()

    reset_peak()
    before = status()
    heap_before = heap_in_use()
    result = call()
    after = status()
    result_bytes = deep_size(result)
    del result
    gc.collect()
    heap_after = heap_in_use()

    peak_kib = after["VmHWM"] - before["VmRSS"]
    print(
        json.dumps(
            {
                "peak_kib": peak_kib,
                "result_kib": result_bytes / 1024,
                "beyond_result_kib": peak_kib - result_bytes / 1024,
                "heap_kept_kib": None if heap_before is None else (heap_after - heap_before) / 1024,
            }
        )
    )


if __name__ == "__main__":
    main()
