#!/usr/bin/env python3
"""Compare our MIME layer's facts with a reference facts file, fact by fact.

usage: facts_diff.py OURS.jsonl REFERENCE.jsonl [--show N] [--key KEY]

Prints, per fact key (headers, to, cc, date, parts[].ctype, parts[].body_raw, ...), how
many messages differ, and the first N differences with both values. Error texts are
compared by presence only (the wording of decode errors is ours).
"""
import json
import sys
from collections import Counter


def norm_errors(v):
    if isinstance(v, dict):
        if "error" in v and len(v) == 1:
            return {"error": "*"}
        if "error" in v and "value" in v:
            return {"value": v["value"], "error": "*"}
        return {k: norm_errors(x) for k, x in v.items()}
    if isinstance(v, list):
        return [norm_errors(x) for x in v]
    return v


def facts(rec):
    out = {}
    for k in ("parse", "headers", "to", "cc", "date"):
        if k in rec:
            out[k] = norm_errors(rec[k])
    parts = rec.get("parts", [])
    out["parts.count"] = len(parts)
    for i, p in enumerate(parts):
        for k, v in p.items():
            out.setdefault("parts." + k, []).append(norm_errors(v))
    return out


def main():
    args = sys.argv[1:]
    show, only = 5, None
    if "--show" in args:
        i = args.index("--show"); show = int(args[i + 1]); del args[i:i + 2]
    if "--key" in args:
        i = args.index("--key"); only = args[i + 1]; del args[i:i + 2]
    ours = [json.loads(l) for l in open(args[0], encoding="utf-8")]
    ref = [json.loads(l) for l in open(args[1], encoding="utf-8")]
    counts = Counter()
    shown = Counter()
    for a, b in zip(ours, ref):
        fa, fb = facts(a), facts(b)
        for k in sorted(set(fa) | set(fb)):
            if only and k != only:
                continue
            if fa.get(k) != fb.get(k):
                counts[k] += 1
                if shown[k] < show:
                    shown[k] += 1
                    va, vb = fa.get(k), fb.get(k)
                    if isinstance(va, list) and isinstance(vb, list) and len(va) == len(vb):
                        idx = [i for i in range(len(va)) if va[i] != vb[i]]
                        va = {i: va[i] for i in idx[:3]}
                        vb = {i: vb[i] for i in idx[:3]}
                    print(f"-- {k} {a['name']}\n   ours: {json.dumps(va, ensure_ascii=False)[:600]}\n   ref:  {json.dumps(vb, ensure_ascii=False)[:600]}")
    print(f"== {len(ours)} vs {len(ref)} messages")
    for k, n in counts.most_common():
        print(f"{n:7d} {k}")


main()
