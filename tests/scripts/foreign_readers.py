#!/usr/bin/env python3
"""The readers shipped in readers/ answer every message of the public set: a run with
--reader writes one record per entry, exits 0, and no record is a reader failure.

  foreign_readers.py <email_ventry> <source dir> <shared dir>

Exits 77 (skipped) when the conformance corpus is absent. The mailparser reader needs its
packages (scripts/setup-deps runs npm ci); without them it is named as skipped."""
import json
import os
import shlex
import shutil
import subprocess
import sys


def entries(list_path):
    with open(list_path, encoding="utf-8") as handle:
        return sum(1 for line in handle if line.strip() and not line.strip().startswith("#"))


def check(tool, name, command, list_path, root):
    proc = subprocess.run([tool, "--list", list_path, "--root", root, "--jobs", "2",
                           "--reader", command],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    records = [json.loads(line) for line in proc.stdout.splitlines()]
    failures = [r for r in records if r.get("error", "").startswith("Reader: ")]
    want = entries(list_path)
    ok = proc.returncode == 0 and len(records) == want and not failures
    threw = sum(1 for r in records if r["outcome"] == "threw")
    print("%-16s %d records of %d, %d threw, %d reader failures, exit %d: %s" %
          (name, len(records), want, threw, len(failures), proc.returncode,
           "ok" if ok else "FAILED"))
    if not ok:
        sys.stderr.write(proc.stderr.decode("utf-8", "replace")[-4000:])
        for record in failures[:5]:
            print("  %s: %s" % (record["name"], record["error"]))
    return ok


def main():
    tool, source, shared = sys.argv[1:4]
    conformance = os.path.join(shared, "conformance")
    if not os.path.isdir(conformance):
        print("skipped: no conformance corpus at %s" % conformance)
        sys.exit(77)
    list_path = os.path.join(conformance, "public.txt")
    root = os.path.join(conformance, "corpus")
    readers = os.path.join(source, "readers")
    ok = check(tool, "python-email", "python3 " + shlex.quote(os.path.join(readers, "python_email.py")),
               list_path, root)
    node_dir = os.path.join(readers, "node-mailparser")
    if shutil.which("node") and os.path.isdir(os.path.join(node_dir, "node_modules")):
        ok = check(tool, "node-mailparser", "node " + shlex.quote(os.path.join(node_dir, "reader.js")),
                   list_path, root) and ok
    else:
        print("node-mailparser  skipped: node or its packages missing (scripts/setup-deps)")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
