from collections.abc import Callable, Iterable
from typing import Any, Literal, overload

_Process = tuple[int, str, str, int | None]
_Socket = tuple[str, str, str, int, str | None, int | None, str, int | None, int, bool | None, tuple[_Process, ...]]
_Signalled = tuple[int, str, str, tuple[int, ...], str | None, str]
_PortStop = tuple[str, str | None, tuple[_Signalled, ...]]

STOP_TIMEOUT: float
WAIT_TIMEOUT: float

_Evidence = tuple[str | None, list[_Process], str]
_Details = tuple[int, int | None, str, str, int | None, bool]

@overload
def sockets(
    ports: int | Iterable[int] | None = None,
    listening: bool = True,
    udp: bool = False,
    holders: bool = True,
    pids: Iterable[int] | None = None,
    evidence: Literal[False] = False,
) -> list[_Socket]: ...
@overload
def sockets(
    ports: int | Iterable[int] | None,
    listening: bool,
    udp: bool,
    holders: bool,
    pids: Iterable[int] | None,
    evidence: Literal[True],
) -> tuple[list[_Socket], list[_Process], list[_Evidence | None]]: ...
@overload
def sockets(
    ports: int | Iterable[int] | None = None,
    listening: bool = True,
    udp: bool = False,
    holders: bool = True,
    pids: Iterable[int] | None = None,
    *,
    evidence: Literal[True],
) -> tuple[list[_Socket], list[_Process], list[_Evidence | None]]: ...

_Texts = tuple[str, str | None, str | None, str | None, str]
_Status = tuple[
    int, str, str | None, _Process | None, tuple[_Socket, ...], int, str | None, tuple[_Process, ...], _Texts,
    tuple[_Process, ...],
]

def statuses(ports: int | Iterable[int]) -> list[_Status]: ...
def processes(pids: Iterable[int]) -> list[_Details | None]: ...
def process_view() -> Literal["every", "own-namespace", "foreign"]: ...
def printable(text: str) -> str: ...
def free_check(ports: int | Iterable[int], stop_at_taken: bool = False) -> list[bool | None]: ...
def probe(port: int) -> int: ...
def reserve() -> int: ...
def process_tree(pid: int) -> list[int]: ...
def pids_are_ours() -> bool: ...
def stop(
    ports: int | Iterable[int],
    udp: bool = False,
    all_sockets: bool = False,
    signal: int = 15,
    kill_after: float | None = None,
    timeout: float = 5.0,
    dry_run: bool = False,
    pids: Iterable[int] | None = None,
    force: bool = False,
) -> tuple[list[int], list[_Status], list[_Status] | None, list[_PortStop]]: ...
def wait(
    ports: int | Iterable[int],
    listening: bool = False,
    timeout: float = 30.0,
    pid: int | None = None,
    progress: Callable[[list[int]], object] | None = None,
) -> list[int]: ...
def checked(**arguments: object) -> tuple[Any, ...]: ...

class _ListenerWatch: ...

_Change = tuple[Literal["present", "appeared", "gone"], float, _Socket, bool]

def listener_watch(ports: int | Iterable[int] | None = None, udp: bool = False) -> _ListenerWatch: ...
def watch_look(watch: _ListenerWatch) -> list[_Change]: ...
