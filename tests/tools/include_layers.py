#!/usr/bin/env python3
"""The include structure of the program: no two modules (a .h with its .cpp) of the core, its
backends and the front ends include each other in a circle, and the layers point one way: the
protocol core and the backends never include a front end, the front ends never include each
other, the file formats never include the protocol's flows or the printer connection, and the
built-in tables stand below the code that reads them.

    include_layers.py SOURCE_DIR"""
import os
import re
import sys

FOLDERS = ['app', 'cli', 'device', 'info', 'firmware', 'upgrade', 'tables', 'os']
# Folder -> folders its files must never include.
NEVER = {
    'device': {'app', 'cli', 'upgrade'},
    'info': {'app', 'cli', 'upgrade'},
    'firmware': {'app', 'cli', 'device', 'info', 'upgrade'},
    'upgrade': {'app', 'cli'},
    'tables': {'app', 'cli', 'device', 'info', 'firmware', 'upgrade'},
    'os': {'app', 'cli', 'upgrade'},
    'app': {'cli'},
    'cli': {'app'},
}
# A parser reads bytes and returns values: it includes nothing from the connection, the
# backends or the front ends (its fields and their sizes are info/information_fields.h).
PARSERS = ['info/reply_parsers', 'info/reply_checks']
PARSERS_NEVER_FOLDERS = {'os', 'app', 'cli', 'upgrade'}
PARSERS_NEVER_MODULES = {'device/connection', 'device/transport', 'device/transaction'}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def modules(root):
    """Module -> the modules it includes (a module is a path without its extension)."""
    graph = {}
    for folder in FOLDERS:
        for directory, _, names in os.walk(os.path.join(root, folder)):
            for name in names:
                if not name.endswith(('.h', '.cpp')):
                    continue
                path = os.path.relpath(os.path.join(directory, name), root)
                module = os.path.splitext(path)[0]
                with open(os.path.join(root, path), encoding='utf-8', errors='replace') as f:
                    text = f.read()
                edges = graph.setdefault(module, set())
                for included in INCLUDE.findall(text):
                    target = os.path.splitext(included)[0]
                    if target != module and os.path.exists(os.path.join(root, included)):
                        edges.add(target)
    return graph


def circles(graph):
    state, stack, found = {}, [], []

    def visit(module):
        state[module] = 'open'
        stack.append(module)
        for target in sorted(graph.get(module, ())):
            if state.get(target) == 'open':
                found.append(stack[stack.index(target):] + [target])
            elif target not in state:
                visit(target)
        stack.pop()
        state[module] = 'done'

    for module in sorted(graph):
        if module not in state:
            visit(module)
    return found


def main():
    root = sys.argv[1]
    graph = modules(root)
    problems = ['circle: ' + ' -> '.join(c) for c in circles(graph)]
    for module, targets in sorted(graph.items()):
        folder = module.split('/')[0]
        for target in sorted(targets):
            if target.split('/')[0] in NEVER.get(folder, ()):
                problems.append('wrong way: %s includes %s' % (module, target))
    for parser in PARSERS:
        for target in sorted(graph.get(parser, ())):
            if target.split('/')[0] in PARSERS_NEVER_FOLDERS or target in PARSERS_NEVER_MODULES:
                problems.append('a parser includes %s: %s' % (target, parser))
    for problem in problems:
        print(problem)
    print('%d modules, %d problems' % (len(graph), len(problems)))
    return 1 if problems or len(graph) < 50 else 0


if __name__ == '__main__':
    sys.exit(main())
