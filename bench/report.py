"""Turns the JSON of upm_bench and upm_bench_double into the markdown table
that scripts/bench.sh prints, with the goals checked against it."""
import json
import math
import os
import sys
import time

UNIT_TO_US = {'ns': 1e-3, 'us': 1.0, 'ms': 1e3, 's': 1e6}
FILES = (10, 1000, 10000)
MATCHING = (1, 10)
PORTS = (1, 16, 64, 256)


def load_medians(paths):
    """Median real time (µs) and counters of each case, by its base name."""
    cases = {}
    for path in paths:
        with open(path) as stream:
            for run in json.load(stream)['benchmarks']:
                if run.get('aggregate_name', 'median') != 'median' or run.get('error_occurred'):
                    continue
                name = run['run_name'].split('/iterations:')[0].replace('/manual_time', '')
                run['us'] = run['real_time'] * UNIT_TO_US[run['time_unit']]
                cases[name] = run
    return cases


def cell(value, digits=1):
    return '—' if value is None else f'{value:,.{digits}f}'


def us(cases, name):
    return cases[name]['us'] if name in cases else None


def ratio(a, b):
    return a / b if a is not None and b else None


def lookup_table(cases):
    lines = ['| unrelated files | images of the board (of 20) | µs per lookup | status calls per lookup |',
             '|---:|---:|---:|---:|']
    for files in FILES:
        for matching in MATCHING:
            run = cases.get(f'lookup/files:{files}/matching:{matching}')
            calls = run.get('status_calls') if run else None
            lines.append(f'| {files:,} | {matching} | {cell(us(cases, f"lookup/files:{files}/matching:{matching}"))}'
                         f' | {cell(calls, 0)} |')
    return lines


def ports_table(cases):
    lines = ['| ports | double µs | ours µs | ours µs per port | libserialport µs | pyserial µs'
             ' | libserialport ÷ ours | pyserial ÷ ours |',
             '|---:|---:|---:|---:|---:|---:|---:|---:|']
    for n in PORTS:
        double, ours = us(cases, f'ports/double/{n}'), us(cases, f'ports/ours/{n}')
        lsp, py = us(cases, f'ports/libserialport/{n}'), us(cases, f'ports/pyserial/{n}')
        lines.append(f'| {n} | {cell(double, 2)} | {cell(ours)} | {cell(ratio(ours, n))} | {cell(lsp)}'
                     f' | {cell(py)} | {cell(ratio(lsp, ours))}× | {cell(ratio(py, ours))}× |')
    here = us(cases, 'ports/this-machine')
    lines.append(f'\nThe same detection on this machine\'s own /sys, no testbed: {cell(here)} µs.')
    return lines


def start_table(cases):
    rows = [('start/plain', 'the program'),
            ('start/floor', '/bin/echo printing the same line (the machine\'s floor)'),
            ('start/umockdev', 'the program under umockdev-wrapper, empty testbed')]
    lines = ['| start to the letter menu | median ms | best ms | child CPU ms |', '|---|---:|---:|---:|']
    for name, label in rows:
        run = cases.get(name, {})
        median = run['us'] / 1e3 if run else None
        lines.append(f'| {label} | {cell(median, 2)} | {cell(run.get("best_ms"), 2)}'
                     f' | {cell(run.get("child_cpu_ms"), 2)} |')
    return lines


def goals(cases):
    out = []
    lookup = cases.get('lookup/files:10000/matching:1')
    if lookup:
        ms = lookup['us'] / 1e3
        out.append(f'- Lookup among 10,000 unrelated files: {ms:.2f} ms (goal < 5 ms): '
                   f'{"met" if ms < 5 else f"missed by {ms - 5:.2f} ms"}.')
    worst = max((cases[k]['status_calls'] - m for k, m in
                 ((f'lookup/files:{f}/matching:{m}', m) for f in FILES for m in MATCHING)
                 if k in cases), default=None)
    if worst is not None:
        out.append(f'- Status calls: at most matching names + {worst:.0f} '
                   f'(goal: no more than matching names): {"met" if worst <= 0 else "missed"}.')
    for prefix in ('ports/double', 'ports/ours'):
        # t ~ n^k between 16 and 256 ports: k near 1 is linear, near 2 quadratic;
        # below 1 the fixed cost of a detection still shows.
        t16, t256 = us(cases, f'{prefix}/16'), us(cases, f'{prefix}/256')
        if t16 and t256:
            k = math.log(t256 / t16) / math.log(16)
            out.append(f'- Growth with ports ({prefix}): 16 → 256 ports takes {t256 / t16:.1f}× the time,'
                       f' t ~ n^{k:.2f}: {"linear" if k <= 1.15 else "worse than linear"}.')
    speedups = [ratio(us(cases, f'ports/pyserial/{n}'), us(cases, f'ports/ours/{n}')) for n in PORTS]
    speedups = [s for s in speedups if s]
    if speedups:
        low = min(speedups)
        out.append(f'- Faster than pyserial: {low:.1f}× at worst (goal ≥ 5×): '
                   f'{"met" if low >= 5 else f"missed by {5 - low:.1f}×"}.')
    start, floor = cases.get('start/plain'), cases.get('start/floor')
    if start:
        ms, best = start['us'] / 1e3, start['best_ms']
        own = f'; /bin/echo takes {floor["us"] / 1e3:.2f} ms here' if floor else ''
        out.append(f'- Start to first prompt: {ms:.2f} ms median, {best:.2f} ms best{own} (goal < 5 ms): '
                   f'{"met" if ms < 5 else f"missed by {ms - 5:.2f} ms at the median"}.')
    return out


def main():
    args = sys.argv[1:]
    load = ''
    if args[:1] == ['--load']:
        load, args = args[1], args[2:]
    cases = load_medians(args)
    print(f'Measured {time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}, nproc'
          f' {len(os.sched_getaffinity(0))}, load average before the run {load}.'
          ' Medians of 5 repetitions.\n')
    for table in (lookup_table, ports_table, start_table):
        print('\n'.join(table(cases)) + '\n')
    print('\n'.join(goals(cases)))


main()
