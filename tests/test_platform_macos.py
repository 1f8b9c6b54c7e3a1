"""The macOS layer compiled for macOS against Apple's own headers (those that
ziglang, the `macos` dependency group, ships), and the declarations that the
emulation is built against on Linux (Apple's sys/proc_info.h, and our
stand-in of the rest in tests/native/macos_stand_in) laid out as Apple's
headers lay them out on both macOS architectures, member by member."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import re
import shutil
import struct
import subprocess
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
STAND_IN = ROOT / "tests/native/macos_stand_in"
LAYER = sorted((ROOT / "src/core/platform/macos").glob("*.cpp"))
# Mach-O's CPU type of each target.
MACOS_TARGETS = {"x86_64-macos": 0x01000007, "aarch64-macos": 0x0100000C}
MACH_O_64 = 0xFEEDFACF


def project_warnings() -> list[str]:
    """The warning flags of the project's own builds, as errors."""
    cmake = (ROOT / "cmake/sources.cmake").read_text()
    match = re.search(r"set\(VELMOR_WARNINGS\s+([^)]*)\)", cmake)
    assert match, "no VELMOR_WARNINGS in cmake/sources.cmake"
    return [*match.group(1).split(), "-Werror"]


@dataclass(frozen=True)
class Zig:
    package: Path  # the ziglang package
    cache: Path

    @property
    def apple_headers(self) -> Path:
        return self.package / "lib/libc/include/any-darwin-any"

    def cxx(self, target: str) -> list[str]:
        return [str(self.package / "zig"), "c++", "-target", target]

    def run(self, command: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
        env = {**os.environ, "ZIG_GLOBAL_CACHE_DIR": str(self.cache), "ZIG_LOCAL_CACHE_DIR": str(self.cache)}
        return subprocess.run(command, capture_output=True, text=True, timeout=600, cwd=cwd, env=env)


@pytest.fixture(scope="module")
def zig(tmp_path_factory: pytest.TempPathFactory) -> Zig:
    # Where scripts/test installed the macos group, else this environment's own.
    tools = os.environ.get("VELMOR_MACOS_TOOLS")
    spec = importlib.machinery.PathFinder.find_spec("ziglang", [tools]) if tools else importlib.util.find_spec("ziglang")
    if spec is None or spec.origin is None:
        pytest.skip("needs the macos dependency group (ziglang); scripts/test installs it")
    return Zig(Path(spec.origin).parent, tmp_path_factory.mktemp("zig-cache"))


def linux_headers(zig: Zig) -> list[str]:
    """The header search of the emulation's build: the stand-in as system
    headers, and Apple's after the system's."""
    return ["-isystem", str(STAND_IN), "-idirafter", str(zig.apple_headers)]


@pytest.mark.parametrize("target", MACOS_TARGETS)
@pytest.mark.parametrize("source", LAYER, ids=[path.name for path in LAYER])
def test_macos_layer_compiles_for_macos(zig: Zig, target: str, source: Path, tmp_path: Path) -> None:
    output = tmp_path / "layer.o"
    command = [*zig.cxx(target), "-std=c++20", "-c", *project_warnings(), "-I", str(ROOT / "src"), str(source)]
    result = zig.run([*command, "-o", str(output)], cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    magic, cpu_type = struct.unpack("<II", output.read_bytes()[:8])
    assert (magic, cpu_type) == (MACH_O_64, MACOS_TARGETS[target])


@pytest.mark.parametrize("compiler", ["g++", "clang++"])
@pytest.mark.parametrize("source", LAYER, ids=[path.name for path in LAYER])
def test_macos_layer_compiles_on_linux(zig: Zig, compiler: str, source: Path) -> None:
    if shutil.which(compiler) is None:
        pytest.skip(f"needs {compiler}")
    command = [compiler, "-std=c++20", "-fsyntax-only", *project_warnings(), "-I", str(ROOT / "src")]
    result = subprocess.run([*command, *linux_headers(zig), str(source)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr


# --- the declarations, member by member ---------------------------------------


@dataclass(frozen=True)
class Member:
    name: str
    nested: tuple[Member, ...] | None = None  # the members of an unnamed struct or union type
    tag: str = ""  # struct or union, for those


@dataclass(frozen=True)
class Record:
    tag: str  # struct or union
    name: str
    members: tuple[Member, ...]


@dataclass
class Declarations:
    records: list[Record]
    typedefs: list[str]
    constants: list[str]  # object-like macros with a value, and enumerators
    functions: dict[str, str]  # name: its type as declared
    function_macros: set[str]


def without_comments(text: str) -> str:
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)
    return text.replace("\\\n", " ")


def closing_brace(text: str, opening: int) -> int:
    depth = 0
    for index in range(opening, len(text)):
        depth += {"{": 1, "}": -1}.get(text[index], 0)
        if depth == 0:
            return index
    raise AssertionError(f"unbalanced braces after {text[opening:opening + 40]!r}")


def split_top_level(text: str, separator: str) -> Iterator[str]:
    depth, start = 0, 0
    for index, char in enumerate(text):
        depth += 1 if char in "{([" else -1 if char in "})]" else 0
        if char == separator and depth == 0:
            yield text[start:index]
            start = index + 1
    yield text[start:]


def declared_name(declarator: str) -> str:
    match = re.search(r"(\w+)\s*(?:\[[^\]]*\]\s*)*$", declarator.strip())
    assert match, f"no name in {declarator!r}"
    return match.group(1)


def members_of(body: str) -> tuple[Member, ...]:
    members: list[Member] = []
    for item in (part.strip() for part in split_top_level(body, ";")):
        if not item:
            continue
        nested = re.fullmatch(r"(struct|union)\s*\w*\s*\{(.*)\}\s*(.*)", item, flags=re.S)
        if nested is None:
            members += [Member(declared_name(part)) for part in split_top_level(item, ",")]
        elif nested.group(3).strip():
            tag, inner = nested.group(1), members_of(nested.group(2))
            members += [Member(declared_name(part), inner, tag) for part in split_top_level(nested.group(3), ",")]
        else:  # an anonymous member: its own members are the record's
            members += members_of(nested.group(2))
    return tuple(members)


def parse(paths: list[Path], with_functions: set[Path]) -> Declarations:
    found = Declarations([], [], [], {}, set())
    for path in paths:
        text = without_comments(path.read_text())
        found.function_macros |= set(re.findall(r"^[ \t]*#[ \t]*define[ \t]+(\w+)\(", text, flags=re.M))
        defined: dict[str, None] = {}  # in the order defined, without those undefined again
        for undefine, name, value in re.findall(r"^[ \t]*#[ \t]*(?:(undef)|define)[ \t]+(\w+)(?:[ \t]+([^\n]*\S))?", text, flags=re.M):
            defined.pop(name, None)
            if not undefine and value and '"' not in value:
                defined[name] = None
        found.constants += defined
        text = re.sub(r"^[ \t]*#[^\n]*", "", text, flags=re.M)
        end = 0
        for match in re.finditer(r"\b(struct|union)\s+(\w+)\s*\{", text):
            if match.start() < end:
                continue  # inside the record before
            end = closing_brace(text, match.end() - 1)
            found.records.append(Record(match.group(1), match.group(2), members_of(text[match.end() : end])))
        for body in re.findall(r"\benum\s*\w*\s*\{([^}]*)\}", text):
            found.constants += [declared_name(part.split("=")[0]) for part in body.split(",") if part.strip()]
        found.typedefs += [declared_name(name) for name in re.findall(r"\btypedef\b[^;{}]*?(\w+\s*(?:\[[^\]]*\])?)\s*;", text)]
        if path in with_functions:
            for result, name, parameters in re.findall(r"(?:^|(?<=[;{}]))\s*([A-Za-z_][\w\s*]*?[\s*])(\w+)\s*\(([^()]*)\)\s*;", text):
                found.functions[name] = " ".join(f"{result}({parameters})".split())
    return found


@dataclass(frozen=True)
class Fact:
    label: str
    expression: str  # an integer constant expression


PRELUDE = """\
#include <libproc.h>
#include <sys/event.h>
#include <sys/proc_info.h>

#include <cstddef>
#include <type_traits>

template <typename T>
constexpr long long velmor_kind() {
    using E = std::remove_all_extents_t<T>;
    if constexpr (std::is_pointer_v<E>) return 3;
    else if constexpr (std::is_floating_point_v<E>) return 4;
    else if constexpr (std::is_enum_v<E>) return 5;
    else if constexpr (std::is_integral_v<E>) return std::is_signed_v<E> ? 1 : 2;
    else return 0;
}
"""
BIAS = 1 << 40  # keeps every value apart from zero, which a compiler may emit as a gap


@dataclass
class Program:
    facts: list[Fact]
    aliases: list[str]  # names the facts use, declared before them

    def add_members(self, owner: str, offset: str, label: str, members: tuple[Member, ...]) -> None:
        for member in members:
            access = f"static_cast<{owner}*>(nullptr)->{member.name}"
            name = f"{label}.{member.name}"
            at = f"{offset} + offsetof({owner}, {member.name})"
            self.facts += [
                Fact(f"offset of {name}", at),
                Fact(f"size of {name}", f"sizeof({access})"),
                Fact(f"alignment of {name}", f"alignof(decltype({access}))"),
                Fact(f"kind of {name}", f"velmor_kind<decltype({access})>()"),
            ]
            if member.nested is not None:
                alias = f"velmor_member_{len(self.aliases)}"
                self.aliases.append(f"using {alias} = decltype({access});")
                self.add_members(alias, at, name, member.nested)

    def source(self) -> str:
        values = ",\n".join(f"    {BIAS}LL + (long long)({fact.expression})" for fact in self.facts)
        return PRELUDE + "\n".join(self.aliases) + f'\nextern "C" const long long velmor_facts[] = {{\n{values}\n}};\n'


# The stand-in's name for a macOS declaration that Linux declares otherwise.
STAND_IN_PREFIX = "velmor_macos_"


def program_of(declarations: Declarations) -> Program:
    program = Program([], [])
    for record in declarations.records:
        if record.name.startswith(STAND_IN_PREFIX):
            apple_name = record.name.removeprefix(STAND_IN_PREFIX)
            program.aliases.append(f"#ifdef __APPLE__\n#define {record.name} {apple_name}\n#endif")
    for record in declarations.records:
        type_name = f"{record.tag} {record.name}"
        program.facts += [Fact(f"size of {record.name}", f"sizeof({type_name})"),
                          Fact(f"alignment of {record.name}", f"alignof({type_name})")]
        program.add_members(type_name, "0", record.name, record.members)
    for name in declarations.typedefs:
        program.facts += [Fact(f"size of {name}", f"sizeof({name})"), Fact(f"kind of {name}", f"velmor_kind<{name}>()")]
    program.facts += [Fact(name, name) for name in declarations.constants]
    program.facts += [Fact(f"type of {name}: {kind}", f"std::is_same_v<decltype(::{name}), {kind}>")
                      for name, kind in declarations.functions.items()]
    return program


Runner = Callable[[list[str], Path], "subprocess.CompletedProcess[str]"]


def values_of(program: Program, command: list[str], run: Runner, where: Path) -> dict[str, int]:
    """Compiles the program with `command` and reads its values from the
    assembly: no program for macOS can run here."""
    where.mkdir(parents=True, exist_ok=True)
    (where / "facts.cpp").write_text(program.source())
    result = run([*command, "-std=c++20", "-S", "facts.cpp", "-o", "facts.s"], where)
    assert result.returncode == 0, result.stderr
    lines = (where / "facts.s").read_text().splitlines()
    start = next(index for index, line in enumerate(lines) if re.fullmatch(r"_?velmor_facts:", line.strip()))
    values = []
    for line in lines[start + 1 :]:
        match = re.match(r"\s*\.quad\s+(-?\d+)", line)
        if match is None:
            break
        values.append(int(match.group(1)) - BIAS)
    assert len(values) == len(program.facts)
    return {fact.label: value for fact, value in zip(program.facts, values)}


@pytest.fixture(scope="module")
def declarations(zig: Zig) -> Declarations:
    stand_in = sorted(STAND_IN.rglob("*.h"))
    return parse([*stand_in, zig.apple_headers / "sys/proc_info.h"], with_functions=set(stand_in))


@pytest.fixture(scope="module")
def linux_values(zig: Zig, declarations: Declarations, tmp_path_factory: pytest.TempPathFactory) -> dict[str, int]:
    """The values as the emulation's build sees them."""
    compiler = os.environ.get("CXX") or "c++"
    if shutil.which(compiler) is None:
        pytest.skip(f"needs {compiler}")

    def run(command: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
        return subprocess.run(command, capture_output=True, text=True, timeout=300, cwd=cwd)

    return values_of(program_of(declarations), [compiler, *linux_headers(zig)], run, tmp_path_factory.mktemp("linux"))


@pytest.mark.parametrize("target", MACOS_TARGETS)
def test_declarations_are_laid_out_as_apple_headers(
    zig: Zig, declarations: Declarations, linux_values: dict[str, int], target: str, tmp_path: Path
) -> None:
    apple = values_of(program_of(declarations), zig.cxx(target), zig.run, tmp_path)
    differences = [f"{label}: {ours} here, {apple[label]} on {target}"
                   for label, ours in linux_values.items() if apple[label] != ours]
    assert not differences, "\n".join(differences)


def words_of(paths: list[Path]) -> set[str]:
    return {word for path in paths for word in re.findall(r"\b[A-Za-z_]\w*\b", without_comments(path.read_text()))}


def test_the_comparison_covers_what_the_layer_uses(zig: Zig, declarations: Declarations) -> None:
    layer = "\n".join(without_comments(path.read_text()) for path in [*LAYER, ROOT / "src/core/platform/macos/layout.hpp"])
    apple = words_of([zig.apple_headers / name for name in ["libproc.h", "sys/event.h", "sys/proc_info.h"]])
    types = set(re.findall(r"\b(?:sizeof|offsetof)\((\w+)", layer)) | set(re.findall(r"\bstruct (\w+)", layer))
    assert types & apple and types & apple - {record.name for record in declarations.records} == set()
    constants = {word for word in re.findall(r"\b[A-Z][A-Z0-9_]+\b", layer) if word in apple}
    assert constants - set(declarations.constants) - declarations.function_macros == set()
    # The layer calls the system's functions as ::name, the process information calls as proc_name.
    called = {name for pair in re.findall(r"(?<![\w>])::(\w+)\(|\b(proc_\w+)\(", layer) for name in pair if name in apple}
    assert called and called - set(declarations.functions) == set()


def test_every_member_of_each_struct_is_compared(declarations: Declarations, linux_values: dict[str, int]) -> None:
    """The members found leave no gap in a struct that is more than
    alignment padding: none was missed by the reading of the headers."""
    gaps = []

    def check(label: str, tag: str, members: tuple[Member, ...], start: int, size: int, alignment: int) -> None:
        end = start
        for member in members:
            name = f"{label}.{member.name}"
            offset, width = linux_values[f"offset of {name}"], linux_values[f"size of {name}"]
            padding = offset - end if tag == "struct" else offset - start
            if not 0 <= padding < (linux_values[f"alignment of {name}"] if tag == "struct" else 1):
                gaps.append(f"{padding} bytes before {name}")
            end = offset + width if tag == "struct" else max(end, offset + width)
            if member.nested is not None:
                check(name, member.tag, member.nested, offset, width, linux_values[f"alignment of {name}"])
        if not 0 <= start + size - end < alignment:
            gaps.append(f"{start + size - end} bytes at the end of {label}")

    for record in declarations.records:
        size, alignment = linux_values[f"size of {record.name}"], linux_values[f"alignment of {record.name}"]
        check(record.name, record.tag, record.members, 0, size, alignment)
    assert not gaps, "\n".join(gaps)
