#!/usr/bin/env python3
"""The layering of the libraries, checked over the sources and the CMake files.

    scripts/check-layers.py [SOURCE_DIR]     check the tree (default: this script's repository)
    scripts/check-layers.py --self-test      check that the check fails on a bad tree
    scripts/check-layers.py --graph          print which layer includes which

Fails (exit 1) on
  - an include that reaches a layer the table below does not allow (upward,
    sideways, or into tests/);
  - a quoted include of a project header that does not name its folder
    ("UserData.h" instead of "settings/UserData.h"; the include roots are the
    repository root and agent/);
  - a cycle between the project's libraries in their target_link_libraries,
    or a production library linking one its layer may not use.
Only Debian's python3 is needed: the CMake files are read as text.
"""
import os
import re
import sys
import tempfile

# Lowest first. Each layer may include and link itself and the layers it names.
LAYERS = [
    ("logging", "logging/", []),
    ("common", "common/", ["logging"]),
    ("dnswire", "agent/dnswire/", ["logging"]),
    ("platform", "agent/platform/", ["logging", "common"]),
    ("settings", "agent/settings/", ["logging", "common", "platform"]),
    ("backend", "agent/backend/", ["logging", "common", "platform", "settings"]),
    ("dns", "agent/dns/", ["logging", "common", "dnswire", "platform", "settings"]),
    ("netconfig", "agent/netconfig/", ["logging", "common", "platform", "settings"]),
    ("control", "agent/control/", ["logging", "common", "platform", "settings"]),
    ("blockpage", "agent/blockpage/", ["logging", "common", "platform", "settings"]),
    ("certificates", "agent/certificates/", ["logging", "common", "platform", "settings", "backend"]),
    ("host", "agent/host/", ["logging", "common", "dnswire", "platform", "settings", "backend", "dns",
                             "netconfig", "control", "blockpage", "certificates"]),
    # The tray program and the support client share only the control protocol
    # and the log writer with the agent.
    ("gui", "gui/", ["logging", "common"]),
    ("tools", "tools/", ["logging", "common"]),
    # The development service stands alone: it links none of the agent's code.
    ("devservice", "devservice/", []),
]
# Folders whose files are checked for qualified includes only (they may use any layer).
FREE = ["tests/", "fuzz/", "bench/", "packaging/"]
SUFFIXES = (".cpp", ".cc", ".h", ".hpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
GENERATED = re.compile(r"(\.moc|_autogen/.*|^moc_.*\.cpp|^ui_.*\.h|^qrc_.*\.cpp)$")


def layer_of(path):
    for name, prefix, _allowed in LAYERS:
        if path.startswith(prefix):
            return name
    return None


def source_files(root):
    tops = sorted({p.split("/")[0] for _n, p, _a in LAYERS} | {p.rstrip("/") for p in FREE})
    for top in tops:
        for base, dirs, names in os.walk(os.path.join(root, top)):
            dirs[:] = [d for d in dirs if d != "corpus"]
            for n in sorted(names):
                if n.endswith(SUFFIXES):
                    yield os.path.relpath(os.path.join(base, n), root).replace(os.sep, "/")


def resolve(root, includer, text):
    """Repository path of a quoted include, or None (a system or generated file)."""
    here = os.path.dirname(includer)
    for candidate in (os.path.join(here, text), text, "agent/" + text):
        candidate = os.path.normpath(candidate).replace(os.sep, "/")
        if not candidate.startswith("..") and os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def check_includes(root, problems, edges):
    allowed = {name: set(a) | {name} for name, _p, a in LAYERS}
    for f in source_files(root):
        with open(os.path.join(root, f), encoding="utf-8", errors="replace") as stream:
            text = stream.read()
        mine = layer_of(f)
        for m in INCLUDE.finditer(text):
            inc = m.group(1)
            line = text.count("\n", 0, m.start()) + 1
            if GENERATED.search(inc):
                continue
            target = resolve(root, f, inc)
            if target is None:
                continue
            if "/" not in inc:
                problems.append("%s:%d: flat include \"%s\": write \"%s\"" % (
                    f, line, inc, target[len("agent/"):] if target.startswith("agent/") else target))
            if mine is None:
                continue
            theirs = layer_of(target)
            if theirs is None:
                problems.append("%s:%d: the %s layer includes \"%s\", outside every layer" % (f, line, mine, inc))
                continue
            edges.setdefault(mine, set()).add(theirs)
            if theirs not in allowed[mine]:
                problems.append("%s:%d: the %s layer may not include \"%s\" (layer %s)" % (
                    f, line, mine, inc, theirs))


def cmake_files(root):
    for base, dirs, names in os.walk(root):
        rel = os.path.relpath(base, root).replace(os.sep, "/")
        if rel.split("/")[0] in ("build", ".git") or rel.startswith("build"):
            dirs[:] = []
            continue
        for n in names:
            if n == "CMakeLists.txt" or n.endswith(".cmake"):
                yield os.path.join(base, n)


def strip_comments(text):
    return "\n".join(line.split("#", 1)[0] if not line.lstrip().startswith("#") else "" for line in
                     text.split("\n"))


def check_links(root, problems):
    libraries = {}  # target -> folder (repository-relative)
    links = {}
    for path in cmake_files(root):
        folder = os.path.relpath(os.path.dirname(path), root).replace(os.sep, "/") + "/"
        text = strip_comments(open(path, encoding="utf-8", errors="replace").read())
        for m in re.finditer(r"\badd_library\(\s*([A-Za-z0-9_]+)", text):
            libraries[m.group(1)] = folder
        for m in re.finditer(r"\btarget_link_libraries\(\s*([A-Za-z0-9_]+)([^)]*)\)", text):
            words = re.findall(r"[A-Za-z0-9_:]+", m.group(2))
            links.setdefault(m.group(1), set()).update(w for w in words if w.startswith("corvane_"))
    graph = {t: {d for d in links.get(t, ()) if d in libraries} for t in libraries}

    # Cycles: every strongly connected component of more than one library.
    index, low, stack, on, counter, cycles = {}, {}, [], set(), [0], []

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in sorted(graph[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1 or v in graph[v]:
                cycles.append(sorted(component))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    for c in cycles:
        problems.append("libraries in a cycle: " + " <-> ".join(c))

    allowed = {name: set(a) | {name} for name, _p, a in LAYERS}
    for target, deps in sorted(graph.items()):
        mine = layer_of(libraries[target])
        if mine is None:
            continue
        for d in sorted(deps):
            theirs = layer_of(libraries[d])
            if theirs is not None and theirs not in allowed[mine]:
                problems.append("%s (layer %s) links %s (layer %s)" % (target, mine, d, theirs))
            elif theirs is None:
                problems.append("%s (layer %s) links %s, outside every layer" % (target, mine, d))
    return len(libraries)


def check(root, quiet=False):
    problems, edges = [], {}
    check_includes(root, problems, edges)
    count = check_links(root, problems)
    if not quiet:
        for p in problems:
            print("check-layers: " + p)
        print("check-layers: %d libraries, %d problems" % (count, len(problems)))
    return problems, edges


def self_test():
    """The check must fail on an upward include, a flat include and a link cycle."""
    cases = {
        "upward include": {"logging/LogLine.h": '#include "settings/UserData.h"\n',
                           "agent/settings/UserData.h": "#pragma once\n"},
        "gui into the agent": {"gui/Tray.cpp": '#include "platform/Platform.h"\n',
                               "agent/platform/Platform.h": "#pragma once\n"},
        "flat include": {"agent/dns/A.cpp": '#include "B.h"\n', "agent/dns/B.h": "#pragma once\n"},
        "link cycle": {"agent/settings/CMakeLists.txt": "add_library(corvane_settings STATIC a.cpp)\n"
                                                        "target_link_libraries(corvane_settings PUBLIC corvane_backend)\n",
                       "agent/backend/CMakeLists.txt": "add_library(corvane_backend STATIC b.cpp)\n"
                                                       "target_link_libraries(corvane_backend PUBLIC corvane_settings)\n"},
    }
    failed = 0
    for name, files in cases.items():
        with tempfile.TemporaryDirectory() as root:
            for path, text in files.items():
                os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
                with open(os.path.join(root, path), "w") as stream:
                    stream.write(text)
            problems, _edges = check(root, quiet=True)
            if problems:
                print("PASS: %s is found: %s" % (name, problems[0]))
            else:
                print("FAIL: %s passes the check" % name)
                failed += 1
    with tempfile.TemporaryDirectory() as root:
        os.makedirs(os.path.join(root, "agent/dns"))
        with open(os.path.join(root, "agent/dns/A.cpp"), "w") as stream:
            stream.write('#include "dnswire/B.h"\n#include "A.moc"\n')
        os.makedirs(os.path.join(root, "agent/dnswire"))
        open(os.path.join(root, "agent/dnswire/B.h"), "w").close()
        problems, _edges = check(root, quiet=True)
        if problems:
            print("FAIL: a sound tree is refused: %s" % problems[0])
            failed += 1
        else:
            print("PASS: a sound tree passes")
    return 1 if failed else 0


def main(argv):
    if "--self-test" in argv:
        return self_test()
    args = [a for a in argv if not a.startswith("--")]
    root = os.path.abspath(args[0] if args else os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    problems, edges = check(root)
    if "--graph" in argv:
        for name, _p, _a in LAYERS:
            print("%-12s -> %s" % (name, " ".join(sorted(edges.get(name, set()) - {name})) or "-"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
