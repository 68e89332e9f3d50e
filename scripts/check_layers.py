#!/usr/bin/env python3
"""Checks that src/ is built in layers: every #include "..." of a file under src/ names a header of
its own layer or of a layer below it, in the order src/layers.txt gives (bottom first), and no two
folders include each other. Prints each offending include and exits 1; prints a summary otherwise.

Usage: scripts/check_layers.py [--graph]   (--graph also prints every folder -> folder edge)
"""
import collections
import os
import re
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def read_layers():
    layers = []
    with open(os.path.join(ROOT, "layers.txt"), encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                layers.append(line)
    for a in layers:
        for b in layers:
            if a != b and b.startswith(a + "/"):
                sys.exit(f"check_layers: layer {b} lies inside layer {a}")
    return layers


def layer_of(path, layers):
    for index, layer in enumerate(layers):
        if path.startswith(layer + "/"):
            return index
    return None


def sources():
    for folder, _, files in os.walk(ROOT):
        for name in files:
            if name.endswith((".cpp", ".hpp", ".h")):
                full = os.path.join(folder, name)
                yield os.path.relpath(full, ROOT).replace(os.sep, "/"), full


def find_cycles(edges):
    """The folder cycles of a directed graph given as {folder: set(folder)} (Tarjan's components)."""
    index, low, stack, on_stack, cycles, counter = {}, {}, [], set(), [], [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack.add(v)
        for w in sorted(edges.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                cycles.append(sorted(component))

    for v in sorted(edges):
        if v not in index:
            visit(v)
    return cycles


def main():
    show_graph = "--graph" in sys.argv[1:]
    layers = read_layers()
    problems = []
    edges = collections.defaultdict(set)
    counts = collections.Counter()
    files = 0
    for path, full in sorted(sources()):
        files += 1
        own = layer_of(path, layers)
        if own is None:
            problems.append(f"{path}: in no layer of src/layers.txt")
            continue
        with open(full, encoding="utf-8") as f:
            text = f.read()
        for header in INCLUDE.findall(text):
            if not os.path.isfile(os.path.join(ROOT, header)):
                problems.append(f"{path}: includes {header}, which is no file under src/")
                continue
            theirs = layer_of(header, layers)
            if theirs is None:
                problems.append(f"{path}: includes {header}, which is in no layer")
                continue
            source_folder, header_folder = os.path.dirname(path), os.path.dirname(header)
            if source_folder != header_folder:
                edges[source_folder].add(header_folder)
                counts[(source_folder, header_folder)] += 1
            if theirs > own:
                problems.append(f"{path}: includes {header}, from {layers[theirs]} above {layers[own]}")
    for cycle in find_cycles(edges):
        problems.append("folders that include each other: " + " <-> ".join(cycle))
    if show_graph:
        for (a, b), n in sorted(counts.items()):
            print(f"{a} -> {b} ({n})")
    for problem in problems:
        print(problem)
    if problems:
        print(f"check_layers: {len(problems)} problems in {files} files")
        return 1
    print(f"check_layers: {files} files in {len(layers)} layers, no upward include, no folder cycle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
