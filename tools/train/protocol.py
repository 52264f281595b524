"""The small-sensor verification protocol, replayed offline from
protocol-dump files.

A dump holds, for every verification attempt (a probe window against one
enrolled multi-template), the 30 feature scores of every main-island
subtemplate against the probe.  Everything the library does after that is
integer arithmetic on those numbers: the score model turns each row into a
subtemplate score, the multi-template combines its best two, and the
threshold table (row by the number of subtemplates, column by FAR index)
decides.  This module does the same arithmetic, vectorised, so that a model
and a table can be judged on hundreds of thousands of attempts in seconds,
and so that the library's own decisions can be checked against it.
"""

import csv
import os

import numpy as np

NSCORES = 30
ROW_WORDS = 32
CENTRE = 4096
MAX_SCORE = 65535
ROW_COUNTS = [1, 2, 4, 8, 16, 32, 64]

# The genuine probes of the yardstick protocol: impressions 5-8 of the
# enrolled finger at these offsets, against the enrolment from impressions
# 1-4.  Its impostors are every grid window of every other finger.
YARDSTICK_GENUINE_OFFSETS = {(-14, -14), (14, 14), (-14, 14), (14, -14)}


class Dump:
    """One protocol-dump: attempts and their subtemplate feature rows."""

    def __init__(self, prefix):
        self.name = os.path.basename(prefix)
        cols = {}
        with open(prefix + ".attempts.csv", newline="") as f:
            rows = list(csv.DictReader(f))
        for key in ("half", "impression", "dy", "dx", "label", "n", "first", "score", "accept12"):
            cols[key] = np.array([int(r[key]) for r in rows], dtype=np.int64)
        for key in ("enrolled", "finger"):
            cols[key] = np.array([r[key] for r in rows])
        self.att = cols
        raw = np.fromfile(prefix + ".features", dtype="<u2").reshape(-1, ROW_WORDS)
        self.x = raw[:, :NSCORES].astype(np.int64)
        self.lib_score = raw[:, 30].astype(np.int64)
        self.rc = raw[:, 31].astype(np.int64)
        self.segment = np.repeat(np.arange(len(rows)), cols["n"])
        a = self.att
        offs = np.array([(dy, dx) in YARDSTICK_GENUINE_OFFSETS for dy, dx in zip(a["dy"], a["dx"])])
        self.yardstick = (a["half"] == 1) & ((a["label"] == 0) | offs)

    def __len__(self):
        return len(self.att["n"])


def tdiv(a, b):
    """C's truncating division, elementwise (b > 0 or any sign)."""
    q = np.abs(a) // np.abs(b)
    return np.where((a >= 0) == (b > 0), q, -q)


def predict(x, records, quadratic, normalisation=0):
    """qx_ml_predict_linear_score for every row of x (rows x 30 int64)."""
    acc = np.zeros(len(x), dtype=np.int64)
    total = 0
    big = []
    for i, r in enumerate(records):
        lower, upper = r["lower"], r["upper"]
        v = np.clip(x[:, i], lower, upper) << 16
        m = r["mean"]
        d = np.abs(v - m)
        if r["scale"]:
            t = tdiv(r["weight"] * d, r["scale"])
            acc += np.where(m > v, -t, t)
        total += abs(r["weight"]) if normalisation else r["weight"]
        if quadratic:
            qw = r["quadratic_weight"]
            if r["scale"] and qw:
                du = d.astype(np.uint64)
                d2 = (du * du) // np.uint64(r["scale"])
                if int(d2.max(initial=0)) * abs(qw) < 2 ** 62:
                    acc += tdiv(d2.astype(np.int64) * qw, r["scale"])
                else:  # exact, slowly, where 64 bits would not hold the product
                    big.append((d2, qw, r["scale"]))
            total += abs(qw) if normalisation else qw
    if normalisation:
        total = int(np.trunc(total / 8)) if total >= 0 else -((-total) // 8)
        if normalisation == 2:
            total = -total
    if total == 0:
        return np.zeros(len(x), dtype=np.int64)
    if big:
        acco = acc.astype(object)
        for d2, qw, sc in big:
            p = d2.astype(object) * qw
            acco += np.array([(abs(a) // sc) * (1 if a >= 0 else -1) for a in p], dtype=object)
        q = np.array([(abs(a * CENTRE) // abs(total)) * (1 if (a >= 0) == (total > 0) else -1)
                      for a in acco], dtype=object) + CENTRE
        return np.clip(q.astype(np.int64), 0, MAX_SCORE)
    q = tdiv(acc * CENTRE, np.int64(total)) + CENTRE
    return np.clip(q, 0, MAX_SCORE)


def subtemplate_scores(dump, records, quadratic):
    """Each subtemplate's similarity score as the hybrid verifier gives it."""
    s = predict(dump.x, records, quadratic)
    s[(dump.x[:, 0] == 0) & (dump.x[:, 9] == 0)] = 0
    s[dump.rc != 0] = 0
    return s


def combination_weight(n):
    n = np.asarray(n)
    return np.where(n > 35, 5, (6 * np.maximum(n, 0) + 60) // 56)


def best_two(dump, sub):
    """Best and second-best subtemplate score of every attempt."""
    nat = len(dump)
    s1 = np.zeros(nat, dtype=np.int64)
    s2 = np.zeros(nat, dtype=np.int64)
    if len(sub):
        order = np.lexsort((-sub, dump.segment))
        seg = dump.segment[order]
        vals = sub[order]
        starts = np.searchsorted(seg, np.arange(nat))
        has = dump.att["n"] > 0
        s1[has] = vals[starts[has]]
        two = dump.att["n"] > 1
        s2[two] = vals[starts[two] + 1]
    return s1, s2


def combined(dump, sub):
    """The multi-template score of every attempt (0 without a probe)."""
    s1, s2 = best_two(dump, sub)
    c = combination_weight(dump.att["n"])
    return (10 * s1 + c * s2) // (c + 10)


def thresholds(table, n, far):
    """The decision threshold for n subtemplates at a FAR index (None where the
    table has no value), as the engine interpolates between rows."""
    t = np.asarray(table, dtype=np.int64).reshape(7, 28)
    n = np.asarray(n)
    upper = np.select([n <= 1, n == 2, n <= 4, n <= 8, n <= 16, n <= 32], [0, 1, 2, 3, 4, 5], 6)
    lower = np.where(n <= 1, 0, upper - 1)
    uc = np.array(ROW_COUNTS)[upper]
    lc = np.where(n <= 1, 1, np.array(ROW_COUNTS)[lower])
    U = t[upper, far]
    L = t[lower, far]
    out = np.where(uc != lc, L + tdiv((U - L) * (n - lc), np.maximum(uc - lc, 1)), U)
    return out


def accepted(dump, scores, table, far):
    return (dump.att["n"] > 0) & (scores > thresholds(table, dump.att["n"], far))


def wilson(k, n, z=1.96):
    if n == 0:
        return (0.0, 1.0)
    p = k / n
    d = 1 + z * z / n
    c = (p + z * z / (2 * n)) / d
    h = z * np.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / d
    return (max(0.0, c - h), min(1.0, c + h))


def yardstick_figures(dump, scores, table, fars=(9, 12, 14, 15, 18)):
    """FRR and impostors accepted per FAR index on the yardstick's attempts."""
    a = dump.att
    sel = dump.yardstick
    gen = sel & (a["label"] == 1)
    imp = sel & (a["label"] == 0)
    out = {}
    for far in fars:
        acc = accepted(dump, scores, table, far)
        out[far] = {"frr": float(1 - acc[gen].mean()) if gen.any() else None,
                    "genuine": int(gen.sum()),
                    "impostors_accepted": int(acc[imp].sum()), "impostors": int(imp.sum())}
    return out
