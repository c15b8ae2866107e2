"""Attributes every report in a folder of AddressSanitizer/UBSan logs (one
file a process, from log_path=). Memory errors and undefined behaviour fail
wherever they are: only the extension is instrumented. A leak is ours when a
frame of the extension is on its allocation stack, the interpreter's
otherwise; only ours fail. A leak check that could not run at all
(LeakSanitizer's tracer died) is counted and named, not failed: the checks of
the other processes still stand.

    python asan_report.py LOGDIR
"""
import os
import re
import sys

_ERROR = re.compile(r"ERROR: AddressSanitizer|runtime error:")
_LEAK = re.compile(r"^(Direct|Indirect) leak of (\d+) byte", re.M)
_TRACER = "LeakSanitizer has encountered a fatal error"


def leaks(text):
    """(bytes, ours) for each leak record of one log."""
    starts = [m.start() for m in _LEAK.finditer(text)] + [len(text)]
    for begin, end in zip(starts, starts[1:]):
        record = text[begin:end].split("\n\n", 1)[0]
        size = int(_LEAK.match(record).group(2))
        yield size, "halvex" in record


def main(logdir):
    names = sorted(os.listdir(logdir)) if os.path.isdir(logdir) else []
    errors, dead, leaking, theirs, lost = [], [], [], [], {True: 0, False: 0}
    for name in names:
        path = os.path.join(logdir, name)
        with open(path, errors="replace") as f:
            text = f.read()
        if _ERROR.search(text):
            errors.append(path)
        if _TRACER in text:
            dead.append(path)
        for size, ours in leaks(text):
            lost[ours] += size
            found = leaking if ours else theirs
            if path not in found:
                found.append(path)
    print("sanitizer logs: %d; memory errors and undefined behaviour in %d" % (len(names), len(errors)))
    print("leaks: %d bytes with a halvex frame on the allocation stack, %d bytes by the "
          "interpreter alone" % (lost[True], lost[False]))
    if dead:
        print("leak checks that could not run (tracer died): %d: %s" % (len(dead), " ".join(dead)))
    # The first few logs with a finding, failing ones first.
    for path in list(dict.fromkeys(errors + leaking + theirs + dead))[:3]:
        with open(path, errors="replace") as f:
            print("--- %s\n%s" % (path, "".join(f.readlines()[:60])))
    return 1 if errors or leaking else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
