#!/usr/bin/env python3
"""Writes N synthetic email_ventry records (one JSON line each) for measuring the report's
memory and speed on runs far larger than the sample corpora.

usage: synthetic_records.py N [TEMPLATE.jsonl] > run.jsonl

Every record is a template record (the first line of TEMPLATE.jsonl, or a built-in plain
message) under the name "synthetic/NNNN/MMMMMMMM.eml"; one in 97 carries the nested-body
notice, so the feature tallies are not all zero.
"""
import json
import sys

BUILT_IN = (
    '{"name":"x","bytes":1200,"ms":0,"outcome":"ok","loss":[],"gotHtml":false,"gotText":true,'
    '"gotAttachments":0,"gotTo":1,"gotCc":0,"probe":{"hdrTo":true,"hdrCc":false,'
    '"hdrToEmpty":false,"hdrCcEmpty":false,"hdrBcc":false,"hdrDate":true,"hdrRefs":false,'
    '"hdrInReplyTo":false,"hdrMessageId":true,"hdrMime":true,"encWordSubject":false,'
    '"encWordAny":false,"parseErr":false,"topCt":"text/plain","parts":1,"depth":0,'
    '"plainLeaves":1,"htmlLeaves":0,"plainNonempty":1,"htmlNonempty":0,"calUnnamed":0,'
    '"calNamed":0,"otherTextualUnnamed":0,"otherTextualTypes":[],"rfc822Parts":0,'
    '"rfc822Unnamed":0,"cidParts":0,"cidRefsInHtml":false,"remoteRefsInHtml":false,'
    '"scriptInHtml":false,"attachDecl":0,"oversize":0,"cte":[],"charsets":["us-ascii"],'
    '"undeclNonAscii":false,"formatFlowed":false,"signed":false,"encrypted":false,'
    '"report":false}}'
)


def main(argv):
    count = int(argv[1])
    template = BUILT_IN
    if len(argv) > 2:
        with open(argv[2], encoding="utf-8") as f:
            template = f.readline().rstrip("\n")
    record = json.loads(template)
    record["name"] = "@NAME@"
    plain = json.dumps(record, separators=(",", ":"))
    record["loss"] = [{"id": "email.read.mime.nested", "action": "dropped"}]
    noticed = json.dumps(record, separators=(",", ":"))
    out = sys.stdout
    for i in range(count):
        name = "synthetic/%04d/%08d.eml" % (i // 10000, i)
        out.write((noticed if i % 97 == 0 else plain).replace("@NAME@", name, 1))
        out.write("\n")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
