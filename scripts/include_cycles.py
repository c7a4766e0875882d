#!/usr/bin/env python3
"""Fails when the project's own components include each other in a cycle.

A component is a header and its source in one folder (foo.hpp + foo.cpp); component A depends
on B when A's header or source includes B's header. Quoted includes are resolved as the build
resolves them: the including file's folder first, then the include roots. Prints every cycle
and exits 1; exits 0 when there is none.

    scripts/include_cycles.py [TREE]      (TREE defaults to this checkout)
"""

import collections
import os
import re
import sys

CHECKED = ["pelko", "dravo", "dravo_service", "platform", "protocol", "tests", "bench"]
ROOTS = ["pelko/src", "pelko/include", "dravo/src", "dravo/include", ".", "tests"]
HEADERS = (".hpp", ".h")
SOURCES = (".cpp", ".c")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def project_files(tree):
    for top in CHECKED:
        for folder, subfolders, names in os.walk(os.path.join(tree, top)):
            subfolders.sort()
            for name in sorted(names):
                if name.endswith(HEADERS + SOURCES):
                    yield os.path.relpath(os.path.join(folder, name), tree)


def component_of(path):
    """foo.hpp and foo.cpp in one folder are one component, named without the extension."""
    return os.path.splitext(path)[0]


def roots_for(path):
    """The include roots in the order the including file's own build sees them: its own
    library's roots before the other library's, so a name both define resolves to its own."""
    own = [root for root in ROOTS if root != "." and path.startswith(root + "/")]
    return own + [root for root in ROOTS if root not in own]


def resolve(tree, path, included):
    candidates = [os.path.join(os.path.dirname(path), included)]
    candidates += [os.path.join(root, included) for root in roots_for(path)]
    for candidate in candidates:
        candidate = os.path.normpath(candidate)
        if os.path.isfile(os.path.join(tree, candidate)):
            return candidate
    return None  # a system or third-party header


def dependencies(tree):
    """component -> {component it needs: (including file, included text)}"""
    needs = collections.defaultdict(dict)
    for path in project_files(tree):
        needs[component_of(path)]  # components that include nothing still count
        with open(os.path.join(tree, path), encoding="utf-8", errors="replace") as text:
            for line in text:
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = resolve(tree, path, match.group(1))
                if not target or not target.endswith(HEADERS):
                    continue
                needed = component_of(target)
                if needed != component_of(path):
                    needs[component_of(path)].setdefault(needed, (path, match.group(1)))
    return needs


def strong_components(needs):
    """Tarjan's algorithm, iterative so deep include chains cannot overflow the stack."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    counter = 0
    for start in sorted(needs):
        if start in index:
            continue
        work = [(start, iter(sorted(needs[start])))]
        index[start] = low[start] = counter
        counter += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            node, edges = work[-1]
            advanced = False
            for next_node in edges:
                if next_node not in index:
                    index[next_node] = low[next_node] = counter
                    counter += 1
                    stack.append(next_node)
                    on_stack.add(next_node)
                    work.append((next_node, iter(sorted(needs.get(next_node, {})))))
                    advanced = True
                    break
                if next_node in on_stack:
                    low[node] = min(low[node], index[next_node])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                members = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    members.append(member)
                    if member == node:
                        break
                if len(members) > 1:
                    found.append(sorted(members))
    return found


def shortest_cycle(needs, members):
    """One shortest way from the first member back to itself, inside the component."""
    inside = set(members)
    start = members[0]
    came_from = {start: None}
    queue = collections.deque([start])
    while queue:
        node = queue.popleft()
        for next_node in sorted(needs[node]):
            if next_node == start:
                path = [node]
                while came_from[path[-1]] is not None:
                    path.append(came_from[path[-1]])
                return list(reversed(path)) + [start]
            if next_node in inside and next_node not in came_from:
                came_from[next_node] = node
                queue.append(next_node)
    return [start]


def main(argv):
    tree = os.path.abspath(argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    needs = dependencies(tree)
    cycles = strong_components(needs)
    for members in cycles:
        print(f"include cycle among {len(members)} components: {', '.join(members)}")
        cycle = shortest_cycle(needs, members)
        for here, there in zip(cycle, cycle[1:]):
            path, included = needs[here][there]
            print(f"  {here} -> {there}  ({path} includes \"{included}\")")
    if cycles:
        return 1
    print(f"no include cycles among {len(needs)} components")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
