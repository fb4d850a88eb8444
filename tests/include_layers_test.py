#!/usr/bin/env python3
"""The folders of src/ are layers: a file includes only from its own folder
and from the folders below it listed here. A new edge is a decision: add it
here (and to the README's layout table) or move the helper down.
  include_layers_test.py SRC_DIR"""
import os
import re
import sys

BELOW = {
    "common": [],
    "ui": ["common"],
    "net/socket": ["common"],
    "net/http": ["common", "net/socket"],
    "crash/util": [],
    "crash/analysis/x86": ["crash/util"],
    "crash/analysis": ["common", "crash/util", "crash/analysis/x86"],
    "crash/core": ["common", "ui", "crash/util", "crash/analysis", "crash/analysis/x86"],
    "crash/handler": ["common", "crash/util", "crash/analysis", "crash/core"],
    "crash/codec": ["common", "crash/util"],
    "crash/ui": ["common", "crash/util", "crash/analysis", "crash/analysis/x86", "crash/core",
                 "crash/codec"],
    "crash/deliver": ["common", "net/socket", "crash/util", "crash/analysis", "crash/core", "crash/codec",
                      "crash/ui"],
    "crash/reporter": ["common", "ui", "crash/util", "crash/analysis", "crash/core",
                       "crash/codec", "crash/ui", "crash/deliver"],
    "app": ["common", "ui", "net/socket", "net/http", "crash/util", "crash/analysis",
            "crash/core", "crash/handler", "crash/reporter"],
}


def folder_of(path):
    folder = os.path.dirname(path)
    return folder if folder in BELOW else None


def main(src):
    wrong = []
    for root, _, files in os.walk(src):
        for name in files:
            if not name.endswith((".cpp", ".h")):
                continue
            path = os.path.relpath(os.path.join(root, name), src)
            own = folder_of(path)
            if own is None:
                wrong.append(f"{path}: its folder is no layer")
                continue
            with open(os.path.join(src, path), encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                    if not m:
                        continue
                    target = folder_of(m.group(1))
                    if target and target != own and target not in BELOW[own]:
                        wrong.append(f"{path}:{number}: {own} includes {m.group(1)} from above")
    for w in wrong:
        print(w)
    print(f"{len(wrong)} includes against the layers")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
