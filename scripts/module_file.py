"""Prints the file of the halvex_core module this interpreter imports; with
--require-symbol NAME, fails unless that file contains NAME (for example to
tell a sanitized build from the wheel's)."""
import sys

import halvex_core


def main(argv):
    path = halvex_core.__file__
    if len(argv) == 2 and argv[0] == "--require-symbol":
        with open(path, "rb") as f:
            if argv[1].encode() not in f.read():
                return "%s does not contain %s" % (path, argv[1])
    print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
