#!/usr/bin/env python3
"""The tool over containers writes, for every message inside, the record it writes for the
message's own file, "name" aside: the bulk set written into an mboxrd file (plain and
gzip-compressed), an mboxcl2 file, a maildir, a .tar.gz and a zip, run with --input (one
thread and --jobs 2), against the reference records of the single files. --extract gives
back the exact
bytes for sampled names of every container. Messages that an mbox cannot hold byte for byte
(no final line break in mboxrd, the Content-Length line mboxcl2 adds) are compared with the
tool's records of files holding exactly the bytes the container gives back. Skips (77)
without the conformance corpus.

  expand_records.py <email_ventry> <source dir> <shared dir>"""
import json
import os
import re
import subprocess
import sys
import tempfile

MS = re.compile(rb'"ms":[0-9]+')


def records(tool, args):
    proc = subprocess.run([tool] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          check=False)
    if proc.returncode != 0:
        raise SystemExit("exit status %d for %s: %s" % (proc.returncode, args, proc.stderr[:300]))
    return proc.stdout.splitlines()


def without_name(line):
    record = json.loads(MS.sub(b'"ms":0', line))
    name = record.pop("name")
    return name, record


def given_back(data, how):
    """The bytes a container gives back for a message written into it."""
    if how == "lf-added":
        return data + b"\n"
    if how.startswith("header-added:"):
        return how[len("header-added:"):].encode() + b"\n" + data
    return data


def main():
    tool, source, shared = sys.argv[1:4]
    conformance = os.path.join(shared, "conformance")
    if not os.path.isdir(conformance):
        print("SKIP: no conformance corpus at %s" % conformance)
        sys.exit(77)
    expected = {}
    with open(os.path.join(conformance, "bulk.expected.jsonl"), "rb") as f:
        for line in f:
            name, record = without_name(line)
            expected[name] = record
    failed = 0
    with tempfile.TemporaryDirectory(prefix="expand_records_") as out:
        subprocess.run([os.path.join(source, "tests", "scripts", "make-bulk-containers"), shared,
                        out], check=True, stdout=subprocess.DEVNULL)
        rows = {}
        with open(os.path.join(out, "expected.tsv"), encoding="utf-8") as f:
            for line in f:
                container, suffix, path, how = line.rstrip("\n").split("\t")
                rows.setdefault(container, []).append((suffix, path, how))
        for container in ("bulk.mbox", "bulk.mbox.gz", "bulk.mboxcl2", "maildir", "bulk.tar.gz",
                          "bulk.zip"):
            want = rows[container]
            format_ = ["--mbox-format", "mboxcl2"] if container.endswith("mboxcl2") else []
            # The records of single files holding what the container gives back, where that is
            # not the original file.
            changed = {}
            listing = []
            for index, (suffix, path, how) in enumerate(want):
                if how == "same":
                    continue
                with open(os.path.join(conformance, "corpus", path), "rb") as f:
                    data = f.read()
                file_name = "changed-%d.eml" % index
                with open(os.path.join(out, file_name), "wb") as f:
                    f.write(given_back(data, how))
                listing.append(file_name)
            if listing:
                with open(os.path.join(out, "changed.txt"), "w", encoding="utf-8") as f:
                    f.write("\n".join(listing) + "\n")
                for line in records(tool, ["--list", os.path.join(out, "changed.txt"), "--root",
                                           out]):
                    name, record = without_name(line)
                    changed[int(name[len("changed-"):-len(".eml")])] = record
            for jobs in ([], ["--jobs", "2"]):
                got = records(tool, ["--input", container, "--root", out] + format_ + jobs)
                same = 0
                problems = []
                if len(got) != len(want):
                    problems.append("%d records for %d messages" % (len(got), len(want)))
                for index, (line, (suffix, path, how)) in enumerate(zip(got, want)):
                    name, record = without_name(line)
                    if name != container + suffix:
                        problems.append("name %s, expected %s" % (name, container + suffix))
                        continue
                    if record == (expected[path] if how == "same" else changed[index]):
                        same += 1
                    elif len(problems) < 5:
                        problems.append("%s differs from %s (%s)" % (name, path, how))
                label = container + (" " + " ".join(jobs) if jobs else "")
                print("%-22s %5d records, %5d equal (%d of them to a file of the bytes given back)"
                      % (label, len(got), same, len(changed)))
                if problems or same != len(want):
                    failed += 1
                    for problem in problems[:5]:
                        print("   ", problem)
            # The way back: a sample of names gives the bytes that were measured.
            for suffix, path, how in want[:: max(1, len(want) // 25)]:
                name = container + suffix
                proc = subprocess.run([tool, "--extract", name, "--root", out] + format_,
                                      stdout=subprocess.PIPE, check=False)
                with open(os.path.join(conformance, "corpus", path), "rb") as f:
                    original = f.read()
                original = given_back(original, how)
                if proc.returncode != 0 or proc.stdout != original:
                    failed += 1
                    print("    --extract %s: status %d, %d bytes for %d" %
                          (name, proc.returncode, len(proc.stdout), len(original)))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
