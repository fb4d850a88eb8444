#!/usr/bin/env python3
"""Checks one minidump of ours against the bug report of the same crash,
reading the dump only through outside tools: the stack walker
(minidump_stackwalk -m) and the dumper (minidump_dump).

  minidump_check.py --bin DIR --kind access-violation|throw|stack-overflow
                    --program NAME.exe --report bugreport.txt [--seen seen.txt]
                    [--symbols DIR] --dump FILE.dmp

Checked: the crash reason and address; the faulting thread (the one the
report puts first, the one the pipeline saw) with its context as the
report's registers show it, first in the walker's account; every thread
the report lists; the program and the system modules at the bases the
report lists. With the build's Breakpad symbols: the walker names the
program's frames of the faulting thread with the report's functions, files
and lines, in the report's order, and reaches the callers of the two
innermost through their unwind tables (STACK CFI), not by frame pointers
or stack scanning. Exits 1 with every failed check printed."""
import argparse
import re
import subprocess
import sys

REASONS = {
    "access-violation": "EXCEPTION_ACCESS_VIOLATION_WRITE",
    "throw": "Unhandled C++ Exception",
    "stack-overflow": "EXCEPTION_STACK_OVERFLOW",
}
SYSTEM_MODULES = ("ntdll.dll", "kernel32.dll", "kernelbase.dll", "user32.dll")

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def run(tool, *arguments, tolerate=None):
    """The tool's output; a failing tool is tolerated when its output still
    holds the tolerate text."""
    result = subprocess.run([tool, *arguments], capture_output=True, text=True, errors="replace")
    if result.returncode != 0 and not (tolerate and tolerate in result.stdout):
        sys.exit(f"{tool} failed on {arguments[-1]}:\n{result.stderr[-2000:]}")
    return result.stdout


class Report:
    """The parts of a bug report the check compares with."""

    def __init__(self, text):
        self.text = text.replace("\r\n", "\n")
        head, _, rest = self.text.partition("\n\n")
        if head.startswith("An error occurred"):  # the box's message line
            head, _, rest = rest.partition("\n\n")
        self.header = dict(
            (name.strip(), value.strip())
            for name, _, value in (line.partition(":") for line in head.split("\n"))
        )
        self.sections = [s.split("\n") for s in rest.split("\n\n") if s.strip()]
        self.threads = []  # (thread id, [frame addresses]) in report order
        self.frame_lines = []  # the frames' lines of each thread, likewise
        for lines in self.sections:
            m = re.match(r".*\(\$([0-9a-f]+)\)(?: <[^>]*>)*:$", lines[0])
            if not m:
                continue
            frames, texts = [], []
            for line in lines[1:]:
                if line.startswith(">>"):
                    break
                word = line.split(" ", 1)[0]
                if re.fullmatch(r"[0-9a-f]{8}", word):
                    frames.append(int(word, 16))
                    texts.append(line)
            self.threads.append((int(m.group(1), 16), frames))
            self.frame_lines.append(texts)

    def section(self, title):
        for lines in self.sections:
            if lines[0] == title + ":":
                return lines[1:]
        return []

    def registers(self):
        return {name: int(value, 16) for name, _, value in
                (line.partition(" = ") for line in self.section("cpu registers"))}

    def modules(self):
        found = {}
        for line in self.section("modules"):
            words = line.split()
            if len(words) >= 2 and re.fullmatch(r"[0-9a-f]{8}", words[0]):
                found[words[1].lower()] = int(words[0], 16)
        return found


def walk(text):
    crash, modules, frames = None, {}, {}
    for line in text.splitlines():
        fields = line.split("|")
        if fields[0] == "Crash":
            crash = (fields[1], int(fields[2], 16), int(fields[3]) if fields[3] else None)
        elif fields[0] == "Module":
            modules[fields[1].lower()] = int(fields[5], 16)
        elif len(fields) == 7 and fields[0].isdigit():
            base = modules.get(fields[2].lower(), 0)
            frames.setdefault(int(fields[0]), []).append(base + int(fields[6], 16))
    return crash, modules, frames


def report_locations(lines, program):
    """(function, file, line) of the frames of program that have a line:
    "address [+offset] module unit [line] [+]relative function"; the line
    column is blank (and the relative one holds the line) when the
    function's start has no line to count from."""
    found = []
    for line in lines:
        m = re.match(r"[0-9a-f]{8} (?:\+[0-9a-f]+ +)?(\S+) +(\S+) +(?:(\d+) +\+\d+|(\d+)) (.+)$",
                     line)
        if m and m.group(1).lower() == program:
            found.append((m.group(5), m.group(2), int(m.group(3) or m.group(4))))
    return found


def symbolized(text):
    """The crashed thread's frames in the walker's human-readable account:
    (module, function, file name, line, how the frame was found)."""
    frames, crashed = [], False
    for line in text.splitlines():
        if line.startswith("Thread "):
            crashed = line.rstrip().endswith("(crashed)")
            continue
        if not crashed:
            continue
        m = re.match(r"\s*\d+\s+([^!\s]+)(?:!(.*?))?(?: \[(.+) : (\d+) \+ 0x[0-9a-f]+\]| \+ 0x[0-9a-f]+)?$",
                     line)
        if m:
            file = re.split(r"[/\\]", m.group(3))[-1] if m.group(3) else None
            frames.append([m.group(1).lower(), m.group(2), file,
                           int(m.group(4)) if m.group(4) else None, None])
        elif frames and line.strip().startswith("Found by: "):
            frames[-1][4] = line.strip()[len("Found by: "):]
    return frames


def collapsed(frames):
    """Frames with repeats in a row given once, as the report lists the
    frames of a recursion."""
    return [f for i, f in enumerate(frames) if i == 0 or f != frames[i - 1]]


def check_symbols(args, report):
    """The walker with the build's symbols against the report's call stack
    of the faulting thread."""
    walked = symbolized(run(f"{args.bin}/minidump_stackwalk", args.dump, args.symbols))
    program = args.program.lower()
    ours = collapsed([(f[1], f[2], f[3]) for f in walked if f[0] == program and f[2]])
    expected = collapsed(report_locations(report.frame_lines[0], program))
    shown = min(len(ours), len(expected))
    check(shown >= 2, f"the walker names {len(ours)} frames of {program} with lines, "
          f"the report {len(expected)}")
    for i in range(shown):
        check(ours[i] == expected[i],
              f"frame {i} of {program}: the walker {ours[i]}, the report {expected[i]}")
    # The callers of the program's two innermost frames, through their
    # unwind tables: fault_child reaches its faulting function through a
    # frame without a frame pointer, past which nothing else leads.
    for callee, caller in list(zip(walked, walked[1:]))[:2]:
        if callee[0] == program and caller[0] == program:
            check(caller[4] == "call frame info",
                  f"{caller[1]}, the caller of {callee[1]}, found by {caller[4]}")
    return shown


def dumped(text):
    """Thread ids in dump order; the exception's thread and context."""
    threads = [int(v, 16) for v in re.findall(r"^MDRawThread\n  thread_id += (0x[0-9a-f]+)",
                                             text, re.M)]
    exception = text[text.find("MDException"):]
    thread = re.search(r"thread_id += (0x[0-9a-f]+)", exception)
    context = dict((k, int(v, 16)) for k, v in
                   re.findall(r"^  (eip|esp|ebp) += (0x[0-9a-f]+)", exception, re.M))
    return threads, int(thread.group(1), 16) if thread else None, context


def main():
    parser = argparse.ArgumentParser()
    for option in ("--bin", "--kind", "--program", "--report", "--dump"):
        parser.add_argument(option, required=True)
    parser.add_argument("--seen")
    parser.add_argument("--symbols")
    args = parser.parse_args()
    report = Report(open(args.report, encoding="latin-1").read())
    crash, modules, frames = walk(run(f"{args.bin}/minidump_stackwalk", "-m", args.dump))
    # The dumper gives up on its memory list when two threads wait at the
    # same instruction (Wine lists the code around each twice) and then
    # fails, after printing the streams read here.
    threads, exception_thread, context = dumped(
        run(f"{args.bin}/minidump_dump", args.dump, tolerate="MDException"))

    check(report.threads, "the report lists no threads")
    if not check(crash, "the walker found no crash") or not report.threads:
        return
    reason, address, crashed_index = crash
    faulting_id, report_frames = report.threads[0]
    innermost = report_frames[0] if report_frames else None

    # The crash reason and address.
    check(reason == REASONS[args.kind], f"crash reason {reason!r}, not {REASONS[args.kind]!r}")
    if args.kind == "access-violation":
        m = re.search(r"of address \$([0-9a-f]+)", report.header.get("exception message", ""))
        check(m and address == int(m.group(1), 16),
              f"crash address {address:#x}, the report: {report.header.get('exception message')}")
    else:
        check(address == innermost, f"crash address {address:#x}, the report's {innermost:#x}")

    # The faulting thread: the report's first, the pipeline's, the dump's.
    check(exception_thread == faulting_id,
          f"exception thread {exception_thread:#x}, the report's {faulting_id:#x}")
    if args.seen:
        seen = open(args.seen).read().split()
        check(len(seen) >= 3 and int(seen[2]) == faulting_id,
              f"the pipeline saw thread {seen[2:3]}, the report names {faulting_id:#x}")
    check(crashed_index is not None and crashed_index < len(threads)
          and threads[crashed_index] == faulting_id,
          f"the walker's crashed thread {crashed_index} is not {faulting_id:#x}")
    registers = report.registers()
    for name in ("eip", "esp", "ebp"):
        check(context.get(name) == registers.get(name),
              f"exception context {name} {context.get(name)}, the report's {registers.get(name)}")
    walked = frames.get(crashed_index, [])
    check(walked and walked[0] == innermost,
          f"the walker's innermost frame {walked[:1]}, the report's {innermost:#x}")
    if args.kind == "throw":
        # The throw site's caller, from the stack kept at the throw: the
        # walker's return address follows the report's call site.
        check(len(walked) > 1 and len(report_frames) > 1
              and 0 < walked[1] - report_frames[1] <= 7,
              f"the walker's second frame {walked[1:2]}, the report's call {report_frames[1:2]}")

    # Every thread the report lists.
    for thread_id, _ in report.threads:
        check(thread_id in threads, f"thread {thread_id:#x} of the report is not in the dump")

    # The program and the system modules, where the report has them.
    listed = report.modules()
    for name in (args.program.lower(),) + SYSTEM_MODULES:
        check(name in modules, f"module {name} missing from the dump")
        if name in modules and name in listed:
            check(modules[name] == listed[name],
                  f"module {name} at {modules[name]:#x}, the report's {listed[name]:#x}")
    for name, base in listed.items():
        check(modules.get(name) == base, f"the report's module {name} ({base:#x}) not in the dump")

    named = check_symbols(args, report) if args.symbols else 0
    print(f"{args.kind}: {reason} at {address:#x}, thread {faulting_id:#x} of {len(threads)}, "
          f"{len(walked)} frames walked, {named} named as the report names them, "
          f"{len(modules)} modules")


if __name__ == "__main__":
    main()
    for failure in failures:
        print("FAILED:", failure)
    sys.exit(1 if failures else 0)
