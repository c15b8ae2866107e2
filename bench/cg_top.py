"""Prints the functions of a callgrind run with the most inclusive
instructions, per call, leaving out the interpreter frames around the call.

    python cg_top.py CALLGRIND_OUT CALLS [LIMIT]
"""
import os
import re
import subprocess
import sys
import tempfile

CHECKOUT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SKIP = re.compile(r"libc-start|below main|PyEval|Py_RunMain|Py_BytesMain|python\.c:main|pythonrun"
                  r"|PyObject_Vectorcall|method_vectorcall|\?\?\?:0x|\(anonymous namespace\)::\w+\(_object")
SHORT = [(re.compile(r"std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >"), "std::string"),
         (re.compile(r"std::basic_string_view<char, std::char_traits<char> >"), "std::string_view"),
         # pyenv builds CPython in the temporary folder; our sources under the checkout.
         (re.compile(re.escape(os.path.join(tempfile.gettempdir(), "python-build")) + r"[^:]*/"),
          "cpython/"),
         (re.compile(re.escape(CHECKOUT + os.sep)), ""),
         (re.compile(r" \[[^\]]*\]$"), "")]


def main():
    path, calls = sys.argv[1], int(sys.argv[2])
    limit = int(sys.argv[3]) if len(sys.argv) > 3 else 14
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", path],
                          capture_output=True, text=True, check=True).stdout
    body = text.split("file:function", 1)[1]
    shown = 0
    for line in body.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*)", line)
        if not m:
            if shown and line.startswith("--"):
                break
            continue
        name = m.group(2)
        if SKIP.search(name):
            continue
        for pat, rep in SHORT:
            name = pat.sub(rep, name)
        print(f"   {int(m.group(1).replace(',', '')) / calls:7.0f}  {name[:150]}")
        shown += 1
        if shown >= limit:
            break


if __name__ == "__main__":
    main()
