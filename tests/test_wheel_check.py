"""The wheel checker of scripts/build-wheels (scripts/wheel_check.py): its
Mach-O reader on images made here load command by load command, its ELF
reader on the modules of the installed velmor, and the verdicts both give."""

from __future__ import annotations

import importlib.util
import platform
import shutil
import struct
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import velmor._lib
import velmor._table

_path = Path(__file__).resolve().parent.parent / "scripts" / "wheel_check.py"
_spec = importlib.util.spec_from_file_location("wheel_check", _path)
assert _spec is not None and _spec.loader is not None
wheel_check = importlib.util.module_from_spec(_spec)
sys.modules["wheel_check"] = wheel_check  # its dataclasses look their module up
_spec.loader.exec_module(wheel_check)

CPU = {"arm64": 0x0100000C, "x86_64": 0x01000007, "ppc64": 0x01000012}
LC_LOAD_DYLIB = 0x0C
LC_LOAD_WEAK_DYLIB = 0x80000018
LC_SEGMENT_64 = 0x19
LIBSYSTEM = "/usr/lib/libSystem.B.dylib"


# --- Mach-O images made here ------------------------------------------------------


def encoded(version: str) -> int:
    parts = [int(p) for p in version.split(".")] + [0, 0]
    return parts[0] << 16 | parts[1] << 8 | parts[2]


def dylib_command(name: str, cmd: int = LC_LOAD_DYLIB) -> bytes:
    text = name.encode() + b"\0"
    size = (24 + len(text) + 7) // 8 * 8
    return struct.pack("<IIIIII", cmd, size, 24, 2, 0x10000, 0x10000) + text.ljust(size - 24, b"\0")


def build_version(minimum: str, platform_id: int = 1) -> bytes:
    return struct.pack("<IIIIII", 0x32, 24, platform_id, encoded(minimum), encoded("14.0"), 0)


def version_min_macosx(minimum: str) -> bytes:
    return struct.pack("<IIII", 0x24, 16, encoded(minimum), encoded("14.0"))


def segment() -> bytes:
    # A segment with no sections: a command the reader must step over.
    return struct.pack("<II16sQQQQiiII", LC_SEGMENT_64, 72, b"__TEXT", 0, 0x4000, 0, 0x4000, 5, 5, 0, 0)


def macho(arch: str, commands: list[bytes], filetype: int = 6) -> bytes:
    body = b"".join(commands)
    header = struct.pack("<IiiIIIII", 0xFEEDFACF, CPU[arch], 0, filetype, len(commands), len(body), 0, 0)
    return header + body + b"\0" * 64


def wheel_of(tmp_path: Path, modules: dict[str, bytes]) -> str:
    path = tmp_path / "velmor-0.1.0-cp310-abi3-test.whl"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("velmor/__init__.py", "")
        for name, data in modules.items():
            archive.writestr(name, data)
    return str(path)


@pytest.mark.parametrize(
    ("arch", "minimum", "version_command", "dylibs"),
    [
        ("arm64", "11.0", build_version, [LIBSYSTEM]),
        ("x86_64", "10.13", version_min_macosx, [LIBSYSTEM]),
        ("x86_64", "10.13.4", build_version, [LIBSYSTEM, "/usr/lib/libc++.1.dylib"]),
        ("arm64", "12.3", version_min_macosx, []),
    ],
)
def test_the_reader_gives_back_what_the_load_commands_say(arch, minimum, version_command, dylibs):
    image = macho(arch, [segment(), version_command(minimum), *(dylib_command(d) for d in dylibs)])
    module = wheel_check.read_macho(image)
    assert (module.arch, module.kind, module.platform) == (arch, "dylib", 1)
    assert module.minimum == minimum
    assert module.dylibs == dylibs


GOOD = {"arch": "arm64", "commands": [segment(), build_version("11.0"), dylib_command(LIBSYSTEM)]}


@pytest.mark.parametrize(
    ("image", "problem"),
    [
        (macho("x86_64", GOOD["commands"]), "architecture x86_64"),
        (macho("ppc64", GOOD["commands"]), "architecture cpu"),
        (macho("arm64", [build_version("12.0"), dylib_command(LIBSYSTEM)]), "minimum macOS 12.0"),
        (macho("arm64", [dylib_command(LIBSYSTEM)]), "no macOS platform"),
        (macho("arm64", [build_version("11.0", platform_id=2), dylib_command(LIBSYSTEM)]), "platform 2"),
        (macho("arm64", [*GOOD["commands"], dylib_command("/usr/lib/libc++.1.dylib")]), "libc++"),
        (macho("arm64", [*GOOD["commands"], dylib_command("@rpath/libpython3.11.dylib", LC_LOAD_WEAK_DYLIB)]),
         "libpython"),
        (macho("arm64", [build_version("11.0")]), "loads []"),
        (macho("arm64", GOOD["commands"], filetype=2), "executable, not a dylib"),
        (macho("arm64", GOOD["commands"], filetype=7), "file type 7"),
    ],
)
def test_each_fault_of_a_module_is_named(image, problem):
    module = wheel_check.read_macho(image)
    problems = wheel_check.macho_problems(module, "arm64", "11.0")
    assert len(problems) == 1 and problem in problems[0], problems


def test_a_module_as_the_wheels_need_it_has_no_problem():
    module = wheel_check.read_macho(macho(GOOD["arch"], GOOD["commands"], filetype=8))
    assert wheel_check.macho_problems(module, "arm64", "11.0") == []


@pytest.mark.parametrize(
    ("image", "message"),
    [
        (struct.pack(">II", 0xCAFEBABE, 2) + b"\0" * 64, "universal"),
        (struct.pack("<I", 0xFEEDFACE) + b"\0" * 64, "not a 64-bit"),
        (b"\x7fELF" + b"\0" * 60, "not a 64-bit"),
        (b"\xcf\xfa\xed\xfe", "too short"),
        # A load command whose size runs past the commands' end.
        (struct.pack("<IiiIIIII", 0xFEEDFACF, CPU["arm64"], 0, 6, 1, 24, 0, 0) + struct.pack("<II", 0xC, 4096)
         + b"\0" * 64, "runs past"),
    ],
)
def test_what_is_no_thin_macho_image_is_refused(image, message):
    with pytest.raises(ValueError, match=message):
        wheel_check.read_macho(image)


PROGRAMS = {"velmor-0.1.0.data/scripts/velmor": macho("arm64", GOOD["commands"], filetype=2),
            "velmor/velmor": macho("arm64", GOOD["commands"], filetype=2)}
MODULES = {"velmor/_lib.abi3.so": macho("arm64", GOOD["commands"]),
           "velmor/_table.abi3.so": macho("arm64", GOOD["commands"])}


@pytest.mark.parametrize(
    ("modules", "expected", "says"),
    [
        ({**MODULES, **PROGRAMS}, 0, None),
        ({**MODULES, "velmor/_table.abi3.so": macho("x86_64", GOOD["commands"]), **PROGRAMS}, 1, "architecture"),
        ({"velmor/_lib.abi3.so": b"not a module at all", **PROGRAMS}, 1, "problem:"),
        # The program where only a module may be, and a module where the program must be.
        ({**MODULES, "velmor/_lib.abi3.so": PROGRAMS["velmor/velmor"], **PROGRAMS}, 1, "not a dylib or bundle"),
        ({**MODULES, **PROGRAMS, "velmor/velmor": MODULES["velmor/_lib.abi3.so"]}, 1, "dylib, not an executable"),
        ({**MODULES, "velmor/velmor": PROGRAMS["velmor/velmor"]}, 1, "no velmor program in its scripts folder"),
        ({**MODULES, "velmor-0.1.0.data/scripts/velmor": PROGRAMS["velmor/velmor"]}, 1,
         "no velmor program in its package folder"),
        ({}, 2, "no native module"),
    ],
)
def test_the_wheel_verdict_is_that_of_its_worst_module(tmp_path, capsys, modules, expected, says):
    wheel = wheel_of(tmp_path, modules)
    assert wheel_check.main(["macho", "--arch", "arm64", "--minimum", "11.0", wheel]) == expected
    printed = capsys.readouterr().out
    assert ("problem:" in printed or "no velmor program" in printed) == (expected == 1)
    if says:
        assert says in printed


# --- ELF ---------------------------------------------------------------------------


def readelf_needed(path: str) -> list[str]:
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
    return [line.split("[", 1)[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs binutils' readelf to compare with")
@pytest.mark.parametrize("module", [velmor._lib, velmor._table], ids=["_lib", "_table"])
def test_the_elf_reader_agrees_with_readelf_on_the_installed_modules(module):
    path = module.__file__
    read = wheel_check.read_elf(Path(path).read_bytes())
    assert read.arch == platform.machine()
    assert read.needed == readelf_needed(path)
    assert read.needed, "an extension module needs at least the C library"


@pytest.mark.parametrize(
    ("arch", "libc", "needed", "faults"),
    [
        ("x86_64", "musl", ["libc.musl-x86_64.so.1"], 0),
        ("aarch64", "musl", ["libc.musl-aarch64.so.1"], 0),
        ("aarch64", "musl", ["libc.so"], 1),
        ("aarch64", "musl", ["libc.musl-x86_64.so.1"], 1),
        ("x86_64", "glibc", ["libm.so.6", "libc.so.6", "ld-linux-x86-64.so.2"], 0),
        ("x86_64", "glibc", ["libstdc++.so.6", "libc.so.6"], 1),
        ("x86_64", "glibc", ["libc.musl-x86_64.so.1"], 1),
    ],
)
def test_elf_needs_beyond_the_c_library_are_named(arch, libc, needed, faults):
    problems = wheel_check.elf_problems(wheel_check.ElfModule(arch, needed), arch, libc)
    assert len(problems) == faults
    other = "aarch64" if arch == "x86_64" else "x86_64"
    assert len(wheel_check.elf_problems(wheel_check.ElfModule(other, needed), arch, libc)) == faults + 1


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs binutils' readelf to compare with")
def test_an_elf_wheel_fails_exactly_when_a_module_needs_a_cxx_runtime(tmp_path, capsys):
    installed = [Path(m.__file__) for m in (velmor._lib, velmor._table)]
    program = Path(velmor._lib.__file__).parent / "velmor"
    modules = {f"velmor/{path.name}": path.read_bytes() for path in installed}
    modules |= {"velmor/velmor": program.read_bytes(), "velmor-0.1.0.data/scripts/velmor": program.read_bytes()}
    wheel = wheel_of(tmp_path, modules)
    runtime = any("++" in name for path in [*installed, program] for name in readelf_needed(str(path)))
    assert wheel_check.main(["elf", "--arch", platform.machine(), "--libc", "glibc", wheel]) == int(runtime)
    lines = [line for line in capsys.readouterr().out.splitlines() if not line.startswith(" ")]
    assert [line.split(":")[0] for line in lines] == list(modules)


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler to make the programs")
@pytest.mark.parametrize(("flags", "static"), [(["-static"], True), ([], False)])
def test_a_program_passes_as_static_only_with_no_loader_and_no_library(tmp_path, capsys, flags, static):
    source = tmp_path / "main.c"
    source.write_text("int main(void) { return 0; }\n")
    program = tmp_path / "program"
    built = subprocess.run(["cc", *flags, "-o", str(program), str(source)], capture_output=True)
    if built.returncode != 0:
        pytest.skip(f"cc {' '.join(flags)} failed: {built.stderr.decode(errors='replace')[-200:]}")
    assert wheel_check.main(["static", "--arch", platform.machine(), str(program)]) == int(not static)
    out = capsys.readouterr().out
    assert ("static" in out) == static and ("loader" in out) == (not static)
    other = "aarch64" if platform.machine() == "x86_64" else "x86_64"
    assert wheel_check.main(["static", "--arch", other, str(program)]) == 1
