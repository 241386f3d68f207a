#!/usr/bin/env python3
"""Every way of running the tool over a list writes the same records: --jobs 1, 2 and 8,
plain reads instead of io_uring, and shards (1, 2 and 7 of them, concatenated in order, with
and without --jobs) all give the output of the plain single-thread run, "ms" aside.

  run_equivalence.py <email_ventry> <source dir> <shared dir>

Runs over the sample corpus, and over the conformance sets when the shared directory holds
them."""
import os
import re
import subprocess
import sys

MS = re.compile(rb'"ms":[0-9]+')


def run(tool, list_path, root, extra):
    proc = subprocess.run([tool, "--list", list_path, "--root", root] + extra,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=False)
    if proc.returncode != 0:
        raise SystemExit("exit status %d: %s" % (proc.returncode, " ".join(extra)))
    return MS.sub(b'"ms":0', proc.stdout)


def main():
    tool, source, shared = sys.argv[1:4]
    sets = [("sample", os.path.join(source, "examples/corpus/list.txt"),
             os.path.join(source, "examples/corpus"))]
    conformance = os.path.join(shared, "conformance")
    if os.path.isdir(conformance):
        for name in ("public", "bulk"):
            sets.append((name, os.path.join(conformance, name + ".txt"),
                         os.path.join(conformance, "corpus")))
    else:
        print("note: no conformance corpus at %s; the sample corpus only" % conformance)
    variants = [["--jobs", "1"], ["--jobs", "2"], ["--jobs", "8"], ["--plain-reads"],
                ["--jobs", "2", "--plain-reads"]]
    failed = 0
    for name, list_path, root in sets:
        base = run(tool, list_path, root, [])
        records = base.count(b"\n")
        for extra in variants:
            same = run(tool, list_path, root, extra) == base
            failed += not same
            print("%-7s %-28s %s" % (name, " ".join(extra), "same" if same else "DIFFERENT"))
        for shards, extra in ((1, []), (2, []), (7, []), (7, ["--jobs", "2"])):
            joined = b"".join(run(tool, list_path, root, ["--shard", "%d/%d" % (k, shards)] + extra)
                              for k in range(shards))
            same = joined == base
            failed += not same
            label = "%d shards %s" % (shards, " ".join(extra))
            print("%-7s %-28s %s" % (name, label, "same" if same else "DIFFERENT"))
        print("%-7s %d records" % (name, records))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
