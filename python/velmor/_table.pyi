from collections.abc import Sequence

_Process = tuple[int, str, str, int | None]
_Socket = tuple[str, str, str, int, str | None, int | None, str, int | None, int, bool | None, tuple[_Process, ...]]
_Target = tuple[int, str, str, tuple[int, ...], bool, int, str | None]

def sockets(
    ports: Sequence[int] | None = None,
    listening: bool = True,
    udp: bool = False,
    holders: bool = True,
    pids: Sequence[int] | None = None,
) -> list[_Socket]: ...
def probe(port: int) -> int: ...
def reserve() -> int: ...
def process_tree(pid: int) -> list[int]: ...
def pids_are_ours() -> bool: ...
def stop(
    ports: Sequence[int],
    udp: bool = False,
    all_sockets: bool = False,
    signal: int = 15,
    kill_after: float | None = None,
    timeout: float = 5.0,
    dry_run: bool = False,
    pids: Sequence[int] | None = None,
) -> tuple[list[_Target], list[_Socket]]: ...
