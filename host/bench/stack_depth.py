#!/usr/bin/env python3
"""Deepest stack of the diagnostics in the firmware build.

Reads the frame sizes clang writes with -fstack-usage (.su files, callee-saved
pushes included) and the call graph of the firmware objects (llvm-objdump -dr:
each call or tail jump with a relocation to a function).  A path costs the sum
of its frames plus 8 bytes of return address per call; a tail jump replaces
the caller's frame.

From DebugPrint it finds the deepest path on which the engine may run three
times (the message, one nested rendering through SPrintWithFlags, and one
assertion report): SPrintWithFlags and DebugAssert appear once each, which
bounds every cycle of the call graph.  Below SPrintWithFlags and DebugAssert
the formats are fixed and start no nested rendering.
That bound takes every assertion the call graph allows (also those that cannot
fail in practice, such as the division's).  It also prints the path of the
concrete case: a DEBUG message with %g whose nested engine reports one of its
own checks.

usage: stack_depth.py <firmware build dir>
"""
import glob
import os
import re
import subprocess
import sys

# Every cycle of the call graph runs through SPrintWithFlags or DebugAssert.
LIMITS = {'DebugPrint': 1, 'SPrintWithFlags': 1, 'DebugAssert': 1}
DEFAULT_LIMIT = 3


def short(symbol):
    m = re.match(r'\?([A-Za-z_0-9]+)@', symbol)
    return m.group(1) if m else symbol


def load(build):
    frames, calls = {}, {}
    for su in glob.glob(os.path.join(build, '**', '*.su'), recursive=True):
        for line in open(su):
            parts = line.rstrip('\n').split('\t')
            if len(parts) >= 2:
                name = re.sub(r'^.*:\d+:', '', parts[0])
                frames[name] = max(frames.get(name, 0), int(parts[1]))
    objdump = os.environ.get('LLVM_OBJDUMP', 'llvm-objdump')
    for obj in glob.glob(os.path.join(build, '**', '*.obj'), recursive=True):
        text = subprocess.run([objdump, '-dr', '--no-show-raw-insn', obj], capture_output=True, text=True).stdout
        function, last = None, ''
        for line in text.splitlines():
            header = re.match(r'^[0-9a-f]+ <(.+)>:$', line)
            if header:
                function = header.group(1)
                calls.setdefault(function, [])
                continue
            reloc = re.search(r'IMAGE_REL_AMD64_REL32\s+(\S+)', line)
            if reloc and function and re.search(r'\b(callq|jmp|jmpq)\b', last):
                calls[function].append((reloc.group(1), 'callq' not in last))
            elif line.strip():
                last = line
    return frames, calls


# The formats the engine renders below SPrintWithFlags (a GUID, a time, a
# status number) and below DebugAssert (the report line) contain no "g", "t"
# or "r" directive, so no nested rendering starts there.
RENDERERS = {'GuidText', 'TimeText', 'StatusText'}
FIXED_FORMATS = {'SPrintWithFlags', 'DebugAssert'}


def deepest(frames, calls, function, counts, fixed=False):
    """(bytes, path) of the deepest path starting in function."""
    name = short(function)
    if counts.get(name, 0) >= LIMITS.get(name, DEFAULT_LIMIT) or (fixed and name in RENDERERS):
        return None
    fixed = fixed or name in FIXED_FORMATS
    counts[name] = counts.get(name, 0) + 1
    own = frames.get(function, 0) + 8
    best = (own, [(name, own)])
    for callee, tail in calls.get(function, []):
        below = deepest(frames, calls, callee, counts, fixed)
        if below is None:
            continue
        cost = below[0] if tail else own + below[0]
        if cost > best[0]:
            best = (cost, below[1] if tail else [(name, own)] + below[1])
    counts[name] -= 1
    return best


def find(calls, name):
    return next((f for f in calls if short(f) == name), None)


def main():
    frames, calls = load(sys.argv[1])
    root = find(calls, 'DebugPrint')
    total, path = deepest(frames, calls, root, {})
    print('Deepest path from DebugPrint allowed by the call graph: %d bytes' % total)
    for name, cost in path:
        print('  %5d  %s' % (cost, name))

    # The concrete case: the nested engine of a %g reports one of its own checks.
    # Functions the compiler inlined have no frame of their own and drop out.
    chain = [n for n in ['DebugPrint', 'AsciiVSPrint', 'FormatIntoBuffer', 'WalkFormat', 'GuidText',
                         'SPrintWithFlags', 'FormatIntoBuffer'] if find(calls, n)]
    prefix = sum(frames.get(find(calls, n), 0) + 8 for n in chain)
    counts = {n: chain.count(n) for n in chain}
    report = deepest(frames, calls, find(calls, 'DebugAssert'), counts, True)
    print('DEBUG with %%g whose nested engine reports its own check: %d bytes' % (prefix + report[0]))
    for n in chain:
        print('  %5d  %s' % (frames.get(find(calls, n), 0) + 8, n))
    for name, cost in report[1]:
        print('  %5d  %s' % (cost, name))


if __name__ == '__main__':
    main()
