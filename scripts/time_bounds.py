"""Finds tests that bound a duration by less than LIMIT seconds.

A shared 2-core machine can stall any process for a second or two, so a test
that asserts "this took under 2 s" fails there for no fault of the code; the
speed goes to bench/, the test keeps a bound with room. Flagged, in each
Python file under the folders given:

  - an assert comparing a clock reading (time.monotonic(), perf_counter(),
    time.time(), or a name assigned from one) with an upper bound under LIMIT:
    a constant, `deadline` (assigned `clock() + N`), or `deadline + N`;
  - a pass/fail wait with a constant under LIMIT: wait_for(...) and
    WebDriverWait(...) (a timeout raises), `timeout=N` given to
    wait/join/get/communicate/result, or wait/join/get(N) inside an assert.

Usage: python scripts/time_bounds.py [--limit 5] DIR...   (exits 1 on findings)
"""

from __future__ import annotations

import argparse
import ast
import os
import sys

CLOCKS = {"monotonic", "monotonic_ns", "perf_counter", "perf_counter_ns", "time", "time_ns"}
WAITS = {"wait", "join", "get", "communicate", "result"}  # their timeout raises or fails
RAISING_WAITS = {"wait_for", "WebDriverWait"}  # a numeric argument after the first is a deadline


def is_clock_call(node):
    if not isinstance(node, ast.Call):
        return False
    f = node.func
    name = f.attr if isinstance(f, ast.Attribute) else getattr(f, "id", None)
    # time.time() only: a bare time() is rare and `x.time()` is mostly something else.
    if name == "time" and not (isinstance(f, ast.Attribute) and getattr(f.value, "id", "") == "time"):
        return False
    return name in CLOCKS


def number(node):
    if isinstance(node, ast.Constant) and isinstance(node.value, (int, float)) \
            and not isinstance(node.value, bool):
        return node.value
    return None


class Finder(ast.NodeVisitor):
    def __init__(self, tree, limit):
        self.limit, self.found = limit, []
        self.timed, self.offset = self.assigned(tree)

    @staticmethod
    def assigned(scope):
        """Names assigned from a clock reading (started, took, deadline...),
        and for `deadline = clock() + N`, the N."""
        timed, offset = set(), {}
        for node in ast.walk(scope):
            if isinstance(node, ast.Assign) and any(is_clock_call(n) for n in ast.walk(node.value)):
                v = node.value
                for name in (n for t in node.targets for n in ast.walk(t) if isinstance(n, ast.Name)):
                    timed.add(name.id)
                    if isinstance(v, ast.BinOp) and isinstance(v.op, ast.Add) \
                            and is_clock_call(v.left) and number(v.right) is not None:
                        offset[name.id] = number(v.right)
        return timed, offset

    def visit_FunctionDef(self, node):
        # A function's own deadlines are the ones its asserts mean.
        outer = self.timed, self.offset
        timed, offset = self.assigned(node)
        self.timed, self.offset = self.timed | timed, {**self.offset, **offset}
        self.generic_visit(node)
        self.timed, self.offset = outer

    visit_AsyncFunctionDef = visit_FunctionDef

    def timed_expr(self, node):
        return any(is_clock_call(n) or (isinstance(n, ast.Name) and n.id in self.timed)
                   for n in ast.walk(node))

    def bound(self, node):
        """The seconds an upper bound stands for, when it is known."""
        if number(node) is not None:
            return number(node)
        if isinstance(node, ast.Name):
            return self.offset.get(node.id)
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Add) and isinstance(node.left, ast.Name):
            base, extra = self.offset.get(node.left.id), number(node.right)
            return None if base is None or extra is None else base + extra
        return None

    def flag(self, node, seconds, what):
        if seconds is not None and seconds < self.limit:
            self.found.append((node.lineno, seconds, what))

    def visit_Assert(self, node):
        for cmp in (n for n in ast.walk(node.test) if isinstance(n, ast.Compare)):
            sides = [cmp.left] + cmp.comparators
            for a, op, b in zip(sides, cmp.ops, sides[1:]):
                if isinstance(op, (ast.Lt, ast.LtE)) and self.timed_expr(a):
                    self.flag(cmp, self.bound(b), "asserts a duration under")
                elif isinstance(op, (ast.Gt, ast.GtE)) and self.timed_expr(b):
                    self.flag(cmp, self.bound(a), "asserts a duration under")
        for call in (n for n in ast.walk(node.test) if isinstance(n, ast.Call)):
            if isinstance(call.func, ast.Attribute) and call.func.attr in WAITS and call.args:
                self.flag(call, number(call.args[0]), "asserts on a wait of")
        self.generic_visit(node)

    def visit_Call(self, node):
        f = node.func
        name = f.attr if isinstance(f, ast.Attribute) else getattr(f, "id", None)
        if name in RAISING_WAITS:
            for arg in node.args[1:] + [k.value for k in node.keywords if k.arg in ("timeout", "seconds")]:
                self.flag(node, number(arg), "fails unless done within")
        if name in WAITS:
            for k in node.keywords:
                if k.arg == "timeout":
                    self.flag(node, number(k.value), "fails unless done within")
        self.generic_visit(node)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--limit", type=float, default=5.0)
    ap.add_argument("dirs", nargs="+")
    args = ap.parse_args()
    files = sorted(os.path.join(root, name) for d in args.dirs for root, _, names in os.walk(d)
                   for name in names if name.endswith(".py"))
    findings = []
    for path in files:
        with open(path, encoding="utf-8") as f:
            source = f.read()
        tree = ast.parse(source, path)
        finder = Finder(tree, args.limit)
        finder.visit(tree)
        lines = source.splitlines()
        for line, seconds, what in sorted(set(finder.found)):
            findings.append(f"{path}:{line}: {what} {seconds:g} s: {lines[line - 1].strip()}")
    print("\n".join([*findings, f"time bounds: {len(files)} Python files, "
                                 f"{len(findings)} bounds under {args.limit:g} s"]))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
