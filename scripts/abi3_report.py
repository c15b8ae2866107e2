"""Reads an abi3audit JSON report (--report -o FILE) and fails unless every
extension in it uses the 3.8 stable ABI alone: abi3, baseline 3.8, nothing
newer, no symbol outside the stable ABI.

    python abi3_report.py REPORT.json
"""
import json
import sys


def main(path):
    with open(path) as f:
        report = json.load(f)
    bad = 0
    for scanned in report["specs"].values():
        for ext in scanned.get("wheel", []):
            r = ext["result"]
            print("abi3audit: %s: abi3=%s baseline=%s computed=%s non-abi3 symbols=%d "
                  "newer objects=%d" % (ext["name"], r["is_abi3"], r["baseline"], r["computed"],
                                        len(r["non_abi3_symbols"]),
                                        len(r["future_abi3_objects"])))
            ok = (r["is_abi3"] and r["is_abi3_baseline_compatible"] and r["baseline"] == "3.8"
                  and tuple(map(int, r["computed"].split("."))) <= (3, 8)
                  and not r["non_abi3_symbols"] and not r["future_abi3_objects"])
            bad += not ok
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
