#!/usr/bin/env bash
# The include arrows of the tree: every C, C++ and resource-script file may include only what
# the row of its innermost folder below names. Usage: scripts/check-layers.sh [ROOT]
# ROOT defaults to this checkout; the files git tracks there are read, or every file below
# ROOT when it is not a git checkout. Prints "path:line: includes X, outside ALLOWED" per
# violation and exits 1 on any.
set -euo pipefail
root=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
exec python3 - "$root" <<'PY'
# Each row names what the files below its folder may include; a file is judged by the row of
# its innermost folder. A name is a folder of the tree (everything below it) or one file: the
# test tiers share only the named helpers, and the natively built unit tests reach the Windows
# side only through the portable headers named. <std> admits headers from outside the tree
# named without a dot (the C++ standard library: <cstdint>, <string>), so the portable core
# sees no platform header and builds natively as well as with MinGW; <system> admits any
# header from outside the tree. A folder that is not a row (core/ itself, win/ itself, a new
# folder) holds no source file until it is given one.
#
# folder:            may include
RULES = """
core/text:           core/text                                                    <std>
core/inflate:        core/inflate core/text                                       <std>
core/package:        core/package core/text                                       <std>
core/integrity:      core/integrity core/text                                     <std>
core/setup:          core/setup core/text                                         <std>
core/product:        core/product core/text                                       <std>
core/install:        core/install core/inflate core/package core/product core/setup
                     core/text                                                    <std>
win/base:            win/base                                                     <system>
win/runtime:         win/runtime win/base                                         <system>
win/framework:       win/framework win/base                                       <system>
win/integrity:       win/integrity win/base core                                  <system>
win/install:         win/install win/base core                                    <system>
installer/flow:      installer/flow win core                                      <system>
installer/wizard:    installer/wizard installer/flow win core                     <system>
installer:           installer win core                                           <system>
uninstaller:         uninstaller win core                                         <system>
tools/pack:          tools/pack core                                              <system>
demo:                demo core                                                    <system>
resources:           resources core/product                                       <system>
tests/unit:          tests/unit core tools/pack demo/payload/PayloadGenerator.h
                     installer/wizard/AgreementText.h uninstaller/ExitCodes.h     <system>
tests/fuzz:          tests/fuzz core                                              <system>
tests/win:           tests/win core win installer uninstaller tests/e2e/driver.h  <system>
tests/e2e:           tests/e2e core win installer demo
                     tests/win/worker_harness.h tests/win/program_checks.h        <system>
tests/data:          tests/data                                                   <system>
bench:               bench core win tools/pack demo tests/win/worker_harness.h    <system>
"""

import os
import re
import subprocess
import sys

# What the compiler or the resource compiler reads: C, C++, resource scripts, and their
# configure_file() templates (wizard.rc.in). A tree file that one of them includes is read too,
# whatever its name.
SOURCE = re.compile(r"\.(c|cc|cpp|cxx|c\+\+|h|hh|hpp|hxx|h\+\+|inl|ipp|tpp|tcc|ixx|rc|rc2)(\.in)?$")
# '%:' is the digraph of '#'; include_next, import and embed read a file as include does.
DIRECTIVE = re.compile(r"\s*(#|%:|\?\?=)\s*(include_next|include|import|embed)(?![A-Za-z0-9_])\s*")
PLAIN = re.compile(r"[^/\"']*")  # text that opens no comment or literal


def parse_rules():
    rows, folder = {}, None
    for line in RULES.strip().splitlines():
        head, colon, rest = line.partition(":")
        if colon and not head[:1].isspace():
            folder = head.strip()
            rows[folder] = []
        else:
            rest = line
        rows[folder] += rest.split()
    return rows


def tree_files(root):
    """Every file of the tree, relative to root: what git tracks when root is a checkout."""
    top = subprocess.run(["git", "-C", root, "rev-parse", "--show-toplevel"],
                         capture_output=True, text=True)
    if top.returncode == 0 and os.path.realpath(top.stdout.strip()) == os.path.realpath(root):
        out = subprocess.run(["git", "-C", root, "ls-files", "-z"], capture_output=True, check=True)
        return {p for p in out.stdout.decode("utf-8", "surrogateescape").split("\0") if p}
    files = set()
    for folder, subfolders, names in os.walk(root):
        subfolders[:] = [s for s in subfolders if s != ".git"]
        files.update(os.path.relpath(os.path.join(folder, n), root) for n in names)
    return files


def read_text(path):
    data = open(path, "rb").read()
    if data[:2] in (b"\xff\xfe", b"\xfe\xff") or b"\0" in data[:4096]:
        return data.decode("utf-16", "replace")  # a UTF-16 resource script
    return data.decode("utf-8-sig", "replace")


def preprocessor_lines(text):
    """(line number, text) of each line as the preprocessor sees it: backslash-newline
    splices joined and every comment turned into one space, so a block comment that spans
    lines continues the line it starts on. Literals are kept whole, so a "/*" inside one
    opens no comment. The number is that of the physical line where each line starts."""
    text = text.replace("\r\n", "\n").replace("\r", "\n")
    pieces, at, line = [], [], 1
    for piece in re.split(r"(\\[ \t]*\n|\n)", text):
        if piece.startswith("\\"):  # a splice
            line += 1
            continue
        pieces.append(piece)
        at += [line] * len(piece)
        line += piece == "\n"
    s, n, i = "".join(pieces), len(at), 0
    out, where = [], []

    def keep(j, k):
        out.append(s[j:k])
        where.extend(at[j:k])
        return k

    while i < n:
        c = s[i]
        if s.startswith("//", i) or s.startswith("/*", i):
            end = s.find("\n", i) if c == "/" and s[i + 1] == "/" else s.find("*/", i + 2) + 2
            out.append(" ")
            where.append(at[i])
            i = n if end < 2 else end
            continue
        raw = c == '"' and re.search(r"(?<![A-Za-z0-9_])(u8|[uUL])?R$", s[max(0, i - 4):i])
        m = raw and re.match(r'"([^ ()\\\n]{0,16})\(', s[i:i + 19])
        if m:  # a raw string R"delim( ... )delim"
            close = s.find(")" + m.group(1) + '"', i + len(m.group(0)))
            i = keep(i, n if close < 0 else close + len(m.group(1)) + 2)
            continue
        if c == "'" and re.search(r"(?<![A-Za-z0-9_.])\.?[0-9][A-Za-z0-9_.']*$", s[max(0, i - 64):i]):
            i = keep(i, i + 1)  # a digit separator: 1'000
            continue
        if c in "\"'":
            j = i + 1
            while j < n and s[j] not in c + "\n":
                j += 2 if s[j] == "\\" else 1
            i = keep(i, min(n, j + (j < n and s[j] == c)))
            continue
        i = keep(i, PLAIN.match(s, i + 1).end())
    start, text = 0, "".join(out)
    for part in text.split("\n"):
        yield (where[start] if start < len(where) else line), part
        start += len(part) + 1


def resolve(files, including, name, quoted):
    """The tree file a directive names: a quoted name is looked up beside the including file
    first, then at the root (the one include folder of the tree); an angle one at the root
    only. None when no file of the tree has the name."""
    name = name.replace("\\", "/")
    for base in ([os.path.dirname(including)] if quoted else []) + [""]:
        path = os.path.normpath(os.path.join(base, name))
        if path in files:
            return path
    return None


def main():
    root = sys.argv[1]
    rows = parse_rules()
    files = tree_files(root)
    real_root = os.path.realpath(root)

    def row_of(path):
        inside = [f for f in rows if path.startswith(f + "/")]
        return max(inside, key=len) if inside else None

    def admits(allowed, path):
        return any(path == a or path.startswith(a + "/") for a in allowed if a[0] != "<")

    errors = []
    queue = sorted(p for p in files if SOURCE.search(p))
    seen, count = set(queue), 0
    while queue:
        path = queue.pop(0)
        if not os.path.isfile(os.path.join(root, path)):
            continue  # deleted in the working copy
        folder = row_of(path)
        if folder is None:
            errors.append(f"{path}: is in no folder of the layer table")
            continue
        allowed = rows[folder]
        shown = " ".join(allowed)
        for number, line in preprocessor_lines(read_text(os.path.join(root, path))):
            m = DIRECTIVE.match(line)
            if not m:
                continue
            count += 1
            rest = line[m.end():].strip()
            where = f"{path}:{number}: includes"
            named = re.match(r'"([^"]*)"|<([^>]*)>', rest)
            if not named:
                errors.append(f"{where} {rest} (a macro), which cannot be checked")
                continue
            name = named.group(1) if named.group(1) is not None else named.group(2)
            written = named.group(0)
            if os.path.isabs(name) or re.match(r"[A-Za-z]:", name):
                errors.append(f"{where} {written}, an absolute path")
                continue
            target = resolve(files, path, name, named.group(1) is not None)
            if target is None:
                if ".." in re.split(r"[/\\]", name):
                    errors.append(f"{where} {written}, a relative path to no file of the tree")
                elif not ("<system>" in allowed or ("<std>" in allowed and "." not in name)):
                    errors.append(f"{where} {written}, outside {shown}")
                continue
            # A tracked symbolic link is judged by both its own path and the file it names.
            real = os.path.relpath(os.path.realpath(os.path.join(root, target)), real_root)
            for judged in {target, real} & files:
                if not admits(allowed, judged):
                    via = "" if written.strip('"<>') == judged else f" ({written})"
                    errors.append(f"{where} {judged}{via}, outside {shown}")
                if judged not in seen:
                    seen.add(judged)
                    queue.append(judged)
    for error in errors:
        print(error)
    if errors:
        return 1
    if not count:
        print(f"check-layers: no include read below {root}")
        return 1
    print(f"check-layers: {len(seen)} files, {count} includes, every one inside its layer")
    return 0


sys.exit(main())
PY
