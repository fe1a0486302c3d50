#!/usr/bin/env python3
"""Deepest stack of the diagnostics in the image as built.

Reads the linked image (llvm-objdump -d) and its linker map (the function
starts and their names).  A function's frame is the most its own pushes and
stack adjustments (sub/add on rsp) hold at any point, scanned in address
order; the call graph is its direct calls, and its direct jumps out of its own
code (tail calls).  A path costs the sum of its frames plus 8 bytes of return
address per call; a tail call replaces the caller's frame.  The image has no
jump tables (-fno-jump-tables), so its code holds no data to misread.

From DebugPrint it finds the deepest path on which the engine may run three
times: the message, one nested rendering of a GUID, time or status (GuidText,
TimeText, StatusText), and one assertion report (DebugAssert).  DebugPrint and
DebugAssert appear at most once on a path and a renderer at most once; below a
renderer and below DebugAssert the formats are fixed and start no nested
rendering; any other function appears at most three times, which bounds every
cycle of the call graph.  That bound takes every assertion the image can
report (also those that cannot fail in practice).  It also prints the path of
the concrete case: a DEBUG message with %g whose nested engine reports one of
its own checks.  Functions the whole-image optimisation inlined have no frame
of their own and drop out of both.

The module's bound is the deepest of the same walk from each way into the
module: ModuleEntryPoint (the firmware's call) and GpioUnlockSmiHandler (the
dispatcher's call).  Each path's cost includes the return address its
caller pushed.

usage: stack_depth.py IMAGE.efi [--max BYTES]
  the map is the image's name with .map; with --max, exits 1 when the
  module's bound exceeds BYTES.
"""
import os
import re
import subprocess
import sys

LIMITS = {'DebugPrint': 1, 'DebugAssert': 1}
DEFAULT_LIMIT = 3
RENDERERS = {'GuidText', 'TimeText', 'StatusText'}
CONCRETE = ['DebugPrint', 'FormatIntoBuffer', 'WalkFormat', 'GuidText', 'FormatIntoBuffer', 'DebugAssert']
FRONT_ENDS = {'AsciiVSPrint', 'AsciiSPrint', 'SPrintWithFlags'}
# The ways into the module: the firmware's call of the entry point, and the
# dispatcher's call of the SMI handler.
ROOTS = ['ModuleEntryPoint', 'GpioUnlockSmiHandler']


def short(symbol):
    m = re.match(r'\?([A-Za-z_0-9]+)@', symbol)
    return m.group(1) if m else symbol


def read_map(path):
    """(preferred base, [(start rva, end rva, name)] of the code, sorted)."""
    base, starts, code_end = None, {}, None
    for line in open(path):
        m = re.match(r'\s*Preferred load address is ([0-9a-fA-F]+)', line)
        if m:
            base = int(m.group(1), 16)
        m = re.match(r'\s*0001:00000000 ([0-9a-fA-F]+)H \.text\s', line)
        if m:
            code_end = int(m.group(1), 16)
        m = re.match(r'\s*0001:([0-9a-fA-F]+)\s+(\S+)\s+([0-9a-fA-F]{16})\s', line)
        if m:
            starts.setdefault(int(m.group(3), 16), short(m.group(2)))
    if base is None or code_end is None or not starts:
        sys.exit('%s: not a linker map of the image' % path)
    first = min(starts)
    addresses = sorted(starts)
    ends = addresses[1:] + [first - (first - base) % 0x1000 + code_end]
    return [(a, e, starts[a]) for a, e in zip(addresses, ends)]


def analyse(image, functions):
    """frames {name: bytes}, calls {name: [(callee, tail)]}, indirect {name}."""
    objdump = os.environ.get('LLVM_OBJDUMP', 'llvm-objdump')
    text = subprocess.run([objdump, '-d', '--no-show-raw-insn', image], capture_output=True, text=True,
                          check=True).stdout
    at = {start: name for start, _, name in functions}
    frames, calls, indirect = {}, {}, set()
    index, depth, current = 0, 0, None
    for line in text.splitlines():
        m = re.match(r'\s*([0-9a-f]+):\s+(\S+)\s*(.*)$', line)
        if not m:
            continue
        address, mnemonic = int(m.group(1), 16), m.group(2)
        operands = re.sub(r'\s*#.*$', '', m.group(3))
        while index < len(functions) and address >= functions[index][0]:
            current, depth = functions[index], 0
            index += 1
        if current is None or address >= current[1]:
            continue
        name = current[2]
        frames.setdefault(name, 0)
        calls.setdefault(name, [])
        if mnemonic.startswith('push'):
            depth += 8
        elif mnemonic.startswith('pop'):
            depth = max(depth - 8, 0)
        elif re.match(r'\$(-?(0x)?[0-9a-f]+), %rsp$', operands) and mnemonic in ('subq', 'addq'):
            amount = int(re.match(r'\$(-?(?:0x)?[0-9a-f]+)', operands).group(1), 0)
            depth = max(depth + (amount if mnemonic == 'subq' else -amount), 0)
        frames[name] = max(frames[name], depth)
        target = re.match(r'0x([0-9a-f]+)\b', operands)
        if mnemonic.startswith('call') or mnemonic.startswith('jmp'):
            if operands.startswith('*'):
                if mnemonic.startswith('call'):
                    indirect.add(name)
            elif target:
                destination = int(target.group(1), 16)
                tail = mnemonic.startswith('jmp')
                if tail and current[0] <= destination < current[1]:
                    continue  # a jump inside the function
                if destination not in at:
                    sys.exit('%s calls 0x%x, which is no function start in the map' % (name, destination))
                calls[name].append((at[destination], tail))
    return frames, calls, indirect


def deepest(frames, calls, name, counts, fixed=False, chain=None):
    """(bytes, path) of the deepest path starting in name, or None.  With a
    chain, the path runs through the chain's functions in their order, with
    only the print front ends between them, and goes on freely below."""
    if counts.get(name, 0) >= LIMITS.get(name, DEFAULT_LIMIT) or (fixed and name in RENDERERS):
        return None
    if name in RENDERERS and any(counts.get(r, 0) for r in RENDERERS):
        return None
    if chain:
        if name == chain[0]:
            chain = chain[1:]
        elif name not in FRONT_ENDS:
            return None
    fixed = fixed or name in RENDERERS or name == 'DebugAssert'
    counts[name] = counts.get(name, 0) + 1
    own = frames.get(name, 0) + 8
    best = (own, [(name, own)]) if not chain else None
    for callee, tail in calls.get(name, []):
        below = deepest(frames, calls, callee, counts, fixed, chain)
        if below is None:
            continue
        cost = below[0] if tail else own + below[0]
        if best is None or cost > best[0]:
            best = (cost, below[1] if tail else [(name, own)] + below[1])
    counts[name] -= 1
    return best


def show(title, result):
    print('%s: %d bytes' % (title, result[0]))
    for name, cost in result[1]:
        print('  %5d  %s' % (cost, name))


def main():
    args = sys.argv[1:]
    limit = None
    if '--max' in args:
        i = args.index('--max')
        limit = int(args[i + 1], 0)
        del args[i:i + 2]
    if len(args) != 1:
        sys.exit(__doc__)
    image = args[0]
    functions = read_map(os.path.splitext(image)[0] + '.map')
    frames, calls, indirect = analyse(image, functions)
    for name in ROOTS + ['DebugPrint']:
        if name not in calls:
            sys.exit('no %s in %s' % (name, image))

    # The module's bound: every way into the module, down through the deepest
    # diagnostic path the call graph allows.
    bounds = [deepest(frames, calls, root, {}) for root in ROOTS]
    module = max(bounds, key=lambda b: b[0])
    for root, bound in zip(ROOTS, bounds):
        show('Deepest path from %s' % root, bound)
    print('Module stack bound: %d bytes (from %s)' % (module[0], ROOTS[bounds.index(module)]))
    reached = {n for b in bounds for n, _ in b[1]}
    if reached & indirect:
        print('note: %s also call through pointers (the firmware\'s services), which this bound does not '
              'follow' % ', '.join(sorted(reached & indirect)))

    show('Deepest path from DebugPrint allowed by the call graph', deepest(frames, calls, 'DebugPrint', {}))
    # The concrete case: the nested engine of a %g reports one of its own checks.
    chain = [n for n in CONCRETE if n in calls]
    concrete = deepest(frames, calls, 'DebugPrint', {}, chain=chain)
    if concrete is None:
        print('DEBUG with %g whose nested engine reports its own check: no such path in this image')
    else:
        show('DEBUG with %g whose nested engine reports its own check', concrete)

    if limit is not None and module[0] > limit:
        print('the module\'s deepest path takes %d bytes, over the %d-byte budget' % (module[0], limit))
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
