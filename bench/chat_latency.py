#!/usr/bin/env python3
"""Latency of chat lines between two headless copies (kalvento-peer).

    chat_latency.py [--lines N] [--gap-ms MS] -- <command of copy A> -- <command of copy B>

Starts both copies, lets A and B greet, then has A say N public lines, one every MS
milliseconds, and times each from the moment the command is written to A until B prints the
line ("other") and until A prints it back as its own ("own"). Prints the median, the 90th
and 99th percentiles and the largest of both, in milliseconds.
"""

import argparse
import os
import selectors
import statistics
import subprocess
import sys
import time


class Copy:
    def __init__(self, name, command):
        self.name = name
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, bufsize=0)
        os.set_blocking(self.process.stdout.fileno(), False)
        self.pending = b""
        self.lines = []  # (time, text)

    def say(self, command):
        self.process.stdin.write(command.encode() + b"\n")
        self.process.stdin.flush()

    def take(self):
        now = time.monotonic()
        try:
            chunk = self.process.stdout.read()
        except BlockingIOError:
            return
        if not chunk:
            return
        self.pending += chunk
        while b"\n" in self.pending:
            line, self.pending = self.pending.split(b"\n", 1)
            self.lines.append((now, line.decode("utf-8", "replace")))

    def close(self):
        try:
            self.say("quit")
            self.process.stdin.close()
        except BrokenPipeError:
            pass
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()


def wait_for(selector, copies, copy, predicate, timeout):
    """Reads both copies until a line of copy satisfies predicate; returns its time."""
    deadline = time.monotonic() + timeout
    seen = 0
    while True:
        for moment, text in copy.lines[seen:]:
            if predicate(text):
                return moment
        seen = len(copy.lines)
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError(f"{copy.name}: nothing matched; last lines {copy.lines[-5:]}")
        for key, _ in selector.select(left):
            key.data.take()


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lines", type=int, default=300)
    parser.add_argument("--gap-ms", type=float, default=20.0)
    parser.add_argument("rest", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    rest = args.rest
    if rest[:1] == ["--"]:
        rest = rest[1:]
    split = rest.index("--")
    a = Copy("A", rest[:split])
    b = Copy("B", rest[split + 1:])
    selector = selectors.DefaultSelector()
    for copy in (a, b):
        selector.register(copy.process.stdout, selectors.EVENT_READ, copy)
    try:
        computer = {}
        for copy in (a, b):
            ready = wait_for(selector, (a, b), copy, lambda t: t.startswith("READY "), 10)
            computer[copy.name] = next(t for m, t in copy.lines if m == ready).split()[1]
        for copy in (a, b):
            copy.say("greet")
            wait_for(selector, (a, b), copy, lambda t: t.startswith("GROUPS "), 10)
        wait_for(selector, (a, b), a, lambda t: t == "PEER+ " + computer["B"], 10)
        wait_for(selector, (a, b), b, lambda t: t == "PEER+ " + computer["A"], 10)

        other, own = [], []
        for i in range(args.lines):
            text = f"line {i} of the latency run"
            sent = time.monotonic()
            a.say("say " + text)
            at_b = wait_for(selector, (a, b), b, lambda t: t.endswith(": " + text), 5)
            at_a = wait_for(selector, (a, b), a, lambda t: t.endswith(": " + text), 5)
            other.append((at_b - sent) * 1000)
            own.append((at_a - sent) * 1000)
            time.sleep(args.gap_ms / 1000)
    finally:
        a.close()
        b.close()

    for name, values in (("other copy", other), ("own line", own)):
        print(f"{name:10s}: median {statistics.median(values):7.3f} ms  "
              f"p90 {percentile(values, 0.90):7.3f} ms  p99 {percentile(values, 0.99):7.3f} ms  "
              f"max {max(values):7.3f} ms  ({len(values)} lines)")


if __name__ == "__main__":
    sys.exit(main())
