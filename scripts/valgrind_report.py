"""Attributes every error and every lost block in a valgrind memcheck log:
ours when a frame of the extension is on its stack, the interpreter's
otherwise. Fails on any of ours, or when the log has no leak summary.

    python valgrind_report.py LOG
"""
import re
import sys

_LOST = re.compile(r"([\d,]+) (?:\([\d,]+ direct, [\d,]+ indirect\) )?bytes in [\d,]+ blocks "
                   r"are (definitely|indirectly) lost")
_ERROR = re.compile(r"(Invalid|Conditional|Use of uninit|Syscall param|Mismatched"
                    r"|Source and dest|Argument|Jump to)")


def main(path):
    with open(path) as f:
        text = f.read()
    ours_errors = theirs_errors = 0
    lost = {"ours": 0, "theirs": 0}
    for block in re.split(r"\n==\d+== \n", text):
        head = re.search(r"==\d+== (\S.*)", block)
        if not head:
            continue
        first = head.group(1)
        mine = "halvex_core" in block
        m = _LOST.match(first)
        if m:
            lost["ours" if mine else "theirs"] += int(m.group(1).replace(",", ""))
        elif _ERROR.match(first):
            if mine:
                ours_errors += 1
            else:
                theirs_errors += 1
    summary = re.search(r"definitely lost: ([\d,]+) bytes", text)
    print("valgrind: definitely lost %s bytes in total; lost by halvex code: %d bytes; "
          "by the interpreter: %d bytes" % (summary.group(1) if summary else "?", lost["ours"],
                                            lost["theirs"]))
    print("valgrind: error contexts in halvex code: %d; in the interpreter alone: %d"
          % (ours_errors, theirs_errors))
    return 1 if lost["ours"] or ours_errors or not summary else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
