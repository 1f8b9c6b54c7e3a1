#!/usr/bin/env python3
"""Checks the native modules inside a wheel built by scripts/build-wheels.

    wheel_check.py elf --arch x86_64 --libc glibc WHEEL
    wheel_check.py macho --arch arm64 --minimum 11.0 WHEEL
    wheel_check.py static --arch x86_64 PROGRAM

An ELF module must be of the architecture named and need nothing but the C
library (for musl: only the musl loader, libc.musl-<arch>.so.1; for glibc:
its own libraries, no C++ runtime, which is linked in). A Mach-O module must
be a thin 64-bit image of the architecture named, record a minimum macOS of
exactly the one named (LC_BUILD_VERSION or LC_VERSION_MIN_MACOSX), and load
only /usr/lib/libSystem.B.dylib. A static program (the velmor command built
alone) must be an ELF of the architecture named with no loader to ask for
(no PT_INTERP) and no library to load. The readers are small and of our own: the
wheel's modules are read straight from the zip, nothing runs them.

The wheel must also carry the velmor program twice, in its scripts folder
(the command on PATH) and in the package (for `python -m velmor`), each held
to the same rules as the modules, except that a Mach-O program is an
executable image, and an ELF program may also be static.

Prints one line per module and program; exits 1 if any fails or a program is
missing, 2 if the wheel holds no module at all.
"""

from __future__ import annotations

import argparse
import struct
import sys
import zipfile
from collections.abc import Iterator
from dataclasses import dataclass, field

# --- ELF -------------------------------------------------------------------------

ELF_MAGIC = b"\x7fELF"
ELF_MACHINES = {62: "x86_64", 183: "aarch64"}
SHT_DYNAMIC = 6
DT_NULL = 0
DT_NEEDED = 1
GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                   "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}


PT_INTERP = 3


@dataclass
class ElfModule:
    arch: str
    needed: list[str]
    interpreter: str | None = None


def read_elf(data: bytes) -> ElfModule:
    """The architecture and DT_NEEDED entries of a 64-bit little-endian ELF."""
    if data[:4] != ELF_MAGIC:
        raise ValueError("not an ELF file")
    if data[4] != 2 or data[5] != 1:
        raise ValueError("not a 64-bit little-endian ELF file")
    machine = struct.unpack_from("<H", data, 18)[0]
    shoff = struct.unpack_from("<Q", data, 40)[0]
    shentsize, shnum = struct.unpack_from("<HH", data, 58)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    needed: list[str] = []
    for _name, kind, _flags, _addr, offset, size, link, _info, _align, entsize in sections:
        if kind != SHT_DYNAMIC:
            continue
        strings = sections[link]
        for at in range(offset, offset + size, entsize or 16):
            tag, value = struct.unpack_from("<qQ", data, at)
            if tag == DT_NULL:
                break
            if tag == DT_NEEDED:
                start = strings[4] + value
                needed.append(data[start:data.index(b"\0", start)].decode())
    phoff = struct.unpack_from("<Q", data, 32)[0]
    phentsize, phnum = struct.unpack_from("<HH", data, 54)
    interpreter = None
    for i in range(phnum):
        kind, _flags, offset, _vaddr, _paddr, size = struct.unpack_from("<IIQQQQ", data, phoff + i * phentsize)
        if kind == PT_INTERP:
            interpreter = data[offset:offset + size].rstrip(b"\0").decode()
    return ElfModule(ELF_MACHINES.get(machine, f"machine {machine}"), needed, interpreter)


def elf_problems(module: ElfModule, arch: str, libc: str) -> list[str]:
    problems = []
    if module.arch != arch:
        problems.append(f"architecture {module.arch}, not {arch}")
    if libc == "musl":
        loader = f"libc.musl-{arch}.so.1"
        if module.needed != [loader]:
            problems.append(f"needs {module.needed}, not only {loader}")
    else:
        others = [name for name in module.needed if name not in GLIBC_LIBRARIES]
        if others:
            problems.append(f"needs {others} beyond the C library")
    return problems


def static_problems(program: ElfModule, arch: str) -> list[str]:
    problems = []
    if program.arch != arch:
        problems.append(f"architecture {program.arch}, not {arch}")
    if program.interpreter is not None:
        problems.append(f"asks for the loader {program.interpreter}")
    if program.needed:
        problems.append(f"needs {program.needed}")
    return problems


# --- Mach-O ----------------------------------------------------------------------

MH_MAGIC_64 = 0xFEEDFACF
FAT_MAGICS = {0xCAFEBABE, 0xBEBAFECA, 0xCAFEBABF, 0xBFBAFECA}
CPU_TYPES = {0x01000007: "x86_64", 0x0100000C: "arm64"}
FILE_TYPES = {6: "dylib", 8: "bundle"}
MH_EXECUTE = 2
LC_REQ_DYLD = 0x80000000
DYLIB_LOADS = {0x0C, 0x18 | LC_REQ_DYLD, 0x1F | LC_REQ_DYLD, 0x20, 0x23 | LC_REQ_DYLD}
LC_VERSION_MIN_MACOSX = 0x24
LC_BUILD_VERSION = 0x32
PLATFORM_MACOS = 1
LIBSYSTEM = "/usr/lib/libSystem.B.dylib"


@dataclass
class MachOModule:
    arch: str
    kind: str
    dylibs: list[str] = field(default_factory=list)
    minimum: str | None = None
    platform: int | None = None


def version_text(encoded: int) -> str:
    """X.Y or X.Y.Z from Mach-O's xxxx.yy.zz nibble encoding."""
    major, minor, patch = encoded >> 16, (encoded >> 8) & 0xFF, encoded & 0xFF
    return f"{major}.{minor}" + (f".{patch}" if patch else "")


def read_macho(data: bytes) -> MachOModule:
    """Architecture, file type, loaded dylibs and minimum OS of a thin 64-bit
    little-endian Mach-O image."""
    if len(data) < 32:
        raise ValueError("too short for a Mach-O header")
    magic = struct.unpack_from("<I", data, 0)[0]
    if struct.unpack_from(">I", data, 0)[0] in FAT_MAGICS:
        raise ValueError("a universal (fat) file, not a thin one")
    if magic != MH_MAGIC_64:
        raise ValueError("not a 64-bit little-endian Mach-O file")
    cputype, _subtype, filetype, ncmds, sizeofcmds, _flags, _reserved = struct.unpack_from("<iiIIIII", data, 4)
    module = MachOModule(CPU_TYPES.get(cputype & 0xFFFFFFFF, f"cpu {cputype:#x}"),
                         "executable" if filetype == MH_EXECUTE else FILE_TYPES.get(filetype, f"file type {filetype}"))
    at, end = 32, 32 + sizeofcmds
    for _ in range(ncmds):
        cmd, size = struct.unpack_from("<II", data, at)
        if size < 8 or at + size > end:
            raise ValueError(f"load command {cmd:#x} runs past the load commands")
        if cmd in DYLIB_LOADS:
            name_offset = struct.unpack_from("<I", data, at + 8)[0]
            raw = data[at + name_offset:at + size]
            module.dylibs.append(raw.split(b"\0", 1)[0].decode())
        elif cmd == LC_BUILD_VERSION:
            module.platform, minos = struct.unpack_from("<II", data, at + 8)
            module.minimum = version_text(minos)
        elif cmd == LC_VERSION_MIN_MACOSX:
            module.platform = PLATFORM_MACOS
            module.minimum = version_text(struct.unpack_from("<I", data, at + 8)[0])
        at += size
    return module


def macho_problems(module: MachOModule, arch: str, minimum: str, *, program: bool = False) -> list[str]:
    problems = []
    if module.arch != arch:
        problems.append(f"architecture {module.arch}, not {arch}")
    if program and module.kind != "executable":
        problems.append(f"{module.kind}, not an executable")
    elif not program and module.kind not in FILE_TYPES.values():
        problems.append(f"{module.kind}, not a dylib or bundle")
    if module.platform is None:
        problems.append("no macOS platform and minimum recorded")
    elif module.platform != PLATFORM_MACOS:
        problems.append(f"platform {module.platform}, not macOS")
    elif module.minimum != minimum:
        problems.append(f"minimum macOS {module.minimum}, not {minimum}")
    if module.dylibs != [LIBSYSTEM]:
        problems.append(f"loads {module.dylibs}, not only {LIBSYSTEM}")
    return problems


# --- the wheel ---------------------------------------------------------------------


def program_place(name: str) -> str | None:
    """Where in a wheel the velmor program at `name` is installed from:
    "scripts" (the environment's scripts folder), "package", or None when
    `name` is not the program."""
    if name == "velmor/velmor":
        return "package"
    parts = name.split("/")
    if len(parts) == 3 and parts[0].endswith(".data") and parts[1:] == ["scripts", "velmor"]:
        return "scripts"
    return None


def modules(wheel: str) -> Iterator[tuple[str, bytes]]:
    """The native files of a wheel: its modules and its programs."""
    with zipfile.ZipFile(wheel) as archive:
        for name in archive.namelist():
            if name.endswith(".so") or program_place(name):
                yield name, archive.read(name)


def check(wheel: str, describe_problems) -> int:
    found = failed = 0
    places = set()
    for name, data in modules(wheel):
        place = program_place(name)
        if place:
            places.add(place)
        else:
            found += 1
        try:
            summary, problems = describe_problems(data, place is not None)
        except (ValueError, struct.error, IndexError) as error:
            summary, problems = "unreadable", [str(error)]
        print(f"{name}: {summary}" + "".join(f"\n  problem: {p}" for p in problems))
        failed += bool(problems)
    if not found:
        print(f"{wheel}: no native module")
        return 2
    for place in sorted({"scripts", "package"} - places):
        print(f"{wheel}: no velmor program in its {place} folder")
        failed += 1
    return 1 if failed else 0


def check_static(path: str, arch: str) -> int:
    with open(path, "rb") as file:
        data = file.read()
    try:
        program = read_elf(data)
        problems = static_problems(program, arch)
        summary = f"{program.arch}, static" if not problems else program.arch
    except (ValueError, struct.error, IndexError) as error:
        summary, problems = "unreadable", [str(error)]
    print(f"{path}: {summary}" + "".join(f"\n  problem: {p}" for p in problems))
    return 1 if problems else 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    kinds = parser.add_subparsers(dest="kind", required=True)
    elf = kinds.add_parser("elf")
    elf.add_argument("--arch", required=True, choices=sorted(set(ELF_MACHINES.values())))
    elf.add_argument("--libc", required=True, choices=["glibc", "musl"])
    macho = kinds.add_parser("macho")
    macho.add_argument("--arch", required=True, choices=sorted(set(CPU_TYPES.values())))
    macho.add_argument("--minimum", required=True)
    static = kinds.add_parser("static")
    static.add_argument("--arch", required=True, choices=sorted(set(ELF_MACHINES.values())))
    static.add_argument("program")
    for kind in (elf, macho):
        kind.add_argument("wheel")
    args = parser.parse_args(argv)

    if args.kind == "static":
        return check_static(args.program, args.arch)

    if args.kind == "elf":
        def describe(data: bytes, program: bool) -> tuple[str, list[str]]:
            module = read_elf(data)
            if program and not module.needed:  # a static program: no loader, no library
                return f"{module.arch}, static", static_problems(module, args.arch)
            return f"{module.arch}, needs {', '.join(module.needed)}", elf_problems(module, args.arch, args.libc)
    else:
        def describe(data: bytes, program: bool) -> tuple[str, list[str]]:
            module = read_macho(data)
            return (f"{module.arch} {module.kind}, macOS {module.minimum}, loads {', '.join(module.dylibs)}",
                    macho_problems(module, args.arch, args.minimum, program=program))
    return check(args.wheel, describe)


if __name__ == "__main__":
    sys.exit(main())
