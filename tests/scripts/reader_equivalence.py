#!/usr/bin/env python3
"""The built-in reader served over the reader protocol (--reader "email_ventry --serve-reader")
gives the records of the built-in reader itself, "ms" aside: on one thread and with --jobs 2,
over a list and with --expand (the sample corpus also as one directory).

  reader_equivalence.py <email_ventry> <source dir> <shared dir>

Runs over the sample corpus, and over the conformance sets when the shared directory holds
them."""
import os
import re
import shlex
import subprocess
import sys

MS = re.compile(rb'"ms":[0-9]+')


def run(tool, args):
    proc = subprocess.run([tool] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          check=False)
    if proc.returncode != 0:
        raise SystemExit("exit status %d: %s\n%s" % (proc.returncode, " ".join(args),
                                                      proc.stderr.decode(errors="replace")))
    return MS.sub(b'"ms":0', proc.stdout), proc.stderr


def main():
    tool, source, shared = sys.argv[1:4]
    sample = os.path.join(source, "examples/corpus")
    sets = [("sample", ["--list", os.path.join(sample, "list.txt"), "--root", sample]),
            ("sample dir", ["--input", sample])]
    conformance = os.path.join(shared, "conformance")
    if os.path.isdir(conformance):
        for name in ("public", "bulk"):
            sets.append((name, ["--list", os.path.join(conformance, name + ".txt"),
                                "--root", os.path.join(conformance, "corpus")]))
    else:
        print("note: no conformance corpus at %s; the sample corpus only" % conformance)
    served = ["--reader", "exec %s --serve-reader" % shlex.quote(tool)]
    variants = [[], ["--jobs", "2"], ["--expand"], ["--expand", "--jobs", "2"]]
    failed = 0
    for name, args in sets:
        for extra in variants:
            if "--input" in args and "--expand" not in extra:
                continue  # --input implies --expand
            base, _ = run(tool, args + extra)
            records, err = run(tool, args + extra + served)
            same = records == base and base.count(b"\n") > 0
            named = b"reader: email_ventry " in err
            failed += not (same and named)
            print("%-10s %-18s %s%s" % (name, " ".join(extra), "same" if same else "DIFFERENT",
                                        "" if named else " (reader not named)"), flush=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
