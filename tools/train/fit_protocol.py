#!/usr/bin/env python3
"""Fits the small sensor's ("ehmsq-xs") plain score model and threshold table
on the verification protocol itself, and judges them set by set.

    fit_protocol.py REAL_DUMP... [--fit-generated DUMP]... [--generated-weight W]
                    [--measure DUMP]... [--check] [--loso] [--own-tables] [--write]
                    [--trim-genuine Q] [--hard-share S]

Each REAL_DUMP is a protocol-dump of one real fingerprint set: fitted on and
calibrated on.  --fit-generated names generated sets that the model is
fitted on (each at weight W, a real set weighing 1) but that never set a
threshold: a model fitted on real windows alone learns to trust a few
minutiae paired by chance, which generated prints with their many clean
minutiae show at once, while the thresholds must hold on real skin, whose
impostors score otherwise.  --check replays the library's own decisions
from the dumps with the model data the dumps were made with (every
subtemplate score, every multi-template score and every decision at FAR
index 12 must agree).  --loso fits on all real sets but one (and the
generated ones) and reports the one left out, for every real set in turn;
the figures of a set never come from a model or table that saw it.
--measure names sets that are only reported: never fitted, calibrated or
tuned on.  --own-tables reports each real set with a table calibrated on
it alone (what one table for every sensor costs).  --trim-genuine and
--hard-share are fit variants for experiments (weak genuine attempts left
out, only the strongest impostor attempts fitted); the shipped fit uses
neither.  --write fits on every set and writes the model into the
engine's model data (through train_models.py's writer, so the other
configurations stay as they are), the figures to
doc/models/protocol-ehmsq-xs.md, and a pointer to them under the plain
stage's "ehmsq-xs" heading of doc/models/README.md.  It is the protocol
stage of `train-models.sh`.
"""

import argparse
import json
import math
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import protocol as P  # noqa: E402
from monotone_fit import (EVIDENCE, MonotoneModel, NSCORES, balanced_weights,  # noqa: E402
                          directions)
from vermodel import enforce_table_shape  # noqa: E402

ROWS, COLS = 7, 28
SPREAD = 3000
# The far tail: the empirical quantile while at least MIN_EXCEEDING
# impostors lie above it, beyond that an exponential tail fitted on the top
# TAIL_FRACTION of them.  Impostor scores fall off faster than an
# exponential, so a tail fitted on a wide top share overstates the far
# rates: with the top 2 % and 10 exceeding, the worst real set accepted 0
# of an expected 3.6 at index 12 (every threshold from index 11 on too
# high); with the top 0.5 % and 5 exceeding it accepts 4.
TAIL_FRACTION = 0.005
MIN_EXCEEDING = 5
# Weight of each generated set in the fit (a real set weighs 1).
GENERATED_WEIGHT = 2.0
SUBSAMPLE_ROWS = {1: 2, 2: 4, 3: 8, 4: 16}   # rows measured by subsampling subtemplates
RNG_SEED = 20261210
CLAMP_LOW, CLAMP_HIGH = 0.5, 99.5
HARD_SHARE = 1.0   # share of the strongest impostor attempts fitted (1: all)
IMPOSTOR_ATTEMPTS_FITTED = 12000
CEILING = 57000        # thresholds above it (far beyond any data) rise by fixed steps  # per set and round; the thresholds see every attempt


def current_models(report="doc/models"):
    with open(os.path.join(report, "models.json")) as f:
        doc = json.load(f)
    return doc, next(c for c in doc["plain"]["configs"] if c["name"] == "ehmsq-xs")


# ------------------------------------------------------------------ check

def check(dumps, cfg):
    bad = 0
    for d in dumps:
        sub = P.subtemplate_scores(d, cfg["records"], True)
        ok = d.rc == 0
        diff_sub = int((sub[ok] != d.lib_score[ok]).sum())
        comb = P.combined(d, sub)
        diff_comb = int((comb != d.att["score"]).sum())
        acc = P.accepted(d, comb, cfg["table"], 12).astype(int)
        diff_dec = int((acc != d.att["accept12"]).sum())
        print("check %-14s %8d subtemplate scores, %d differ; %6d attempts: scores %d differ, "
              "decisions at 12 %d differ" % (d.name, ok.sum(), diff_sub, len(d), diff_comb, diff_dec))
        bad += diff_sub + diff_comb + diff_dec
    return bad


# ------------------------------------------------------------------ fitting

def select(d, sub):
    """Rows of the fit: each genuine attempt's best subtemplate, each impostor
    attempt's best two.  Returns row indexes, labels and weights (each set and
    each class weighs the same in total)."""
    order = np.lexsort((-sub, d.segment))
    seg = d.segment[order]
    starts = np.searchsorted(seg, np.arange(len(d)))
    n = d.att["n"]
    lab = d.att["label"]
    rows, labels = [], []
    g = np.flatnonzero((n > 0) & (lab == 1))
    rows.append(order[starts[g]])
    labels.append(np.ones(len(g)))
    i = np.flatnonzero((n > 1) & (lab == 0))
    if HARD_SHARE < 1:  # the strongest impostor attempts: where the thresholds live
        best = sub[order[starts[i]]]
        i = i[best >= np.quantile(best, 1 - HARD_SHARE)]
    if len(i) > IMPOSTOR_ATTEMPTS_FITTED:  # a fixed, seeded share of them
        i = np.sort(np.random.default_rng(RNG_SEED).choice(i, IMPOSTOR_ATTEMPTS_FITTED, replace=False))
    rows.append(order[starts[i]])
    rows.append(order[starts[i] + 1])
    labels.append(np.zeros(2 * len(i)))
    return np.concatenate(rows), np.concatenate(labels)


def start_scores(d):
    """A model-free first guess of which subtemplate decides an attempt: the
    minutiae score, the paired minutiae and the spectral score, each in units
    of its spread."""
    x = d.x.astype(float)
    s = sum(x[:, i] / (x[:, i].std() + 1e-9) for i in (0, 2, 9))
    s[d.rc != 0] = -1
    return s


def without_weak_genuine(r, y, sub, quantile):
    """The fit's rows without the genuine attempts whose deciding subtemplate
    scores below the given quantile of the same set's impostor rows: probes
    of skin that enrolment never saw look like impostors, and as genuine
    rows they pull the model towards whatever separates them by chance."""
    cut = np.quantile(sub[r][y == 0], quantile)
    keep = (y == 0) | (sub[r] >= cut)
    return r[keep], y[keep]


def fit_model(dumps, rounds=2, ridge=0.3, init=None, weights=None, trim_genuine=None):
    """Monotone quadratic model on the protocol's deciding subtemplates.
    weights: one per set (default 1 each), the share of the fit a set's
    attempts carry; each set's two classes weigh the same inside it.
    trim_genuine: from the second round on, leave out the genuine attempts
    below that quantile of their set's impostors (without_weak_genuine)."""
    subs = [start_scores(d) if init is None else P.subtemplate_scores(d, init, True) for d in dumps]
    weights = [1.0] * len(dumps) if weights is None else list(weights)
    total = float(sum(weights))
    model = None
    for round_ in range(rounds):
        xs, ys, ws = [], [], []
        for d, sub, share in zip(dumps, subs, weights):
            r, y = select(d, sub)
            if trim_genuine is not None and (round_ > 0 or init is not None):
                r, y = without_weak_genuine(r, y, sub, trim_genuine)
            w = balanced_weights(y)
            xs.append(d.x[r])
            ys.append(y)
            ws.append(w * share / total)
        x = np.vstack(xs)
        y = np.concatenate(ys)
        w = np.concatenate(ws)
        imp, gen = x[y == 0], x[y == 1]
        lower = np.percentile(x, CLAMP_LOW, axis=0).astype(np.int64)
        upper = np.maximum(np.percentile(x, CLAMP_HIGH, axis=0).astype(np.int64), lower + 1)
        c = np.clip(x, lower, upper).astype(float)
        mu = c[y == 0].mean(axis=0)
        sigma = c[y == 0].std(axis=0)
        sigma[sigma < 1e-6] = 1.0
        direction = directions(c, y, mu, sigma)
        model = MonotoneModel(lower, upper, mu, sigma, direction).fit(x, y, w, ridge=ridge)
        assert model.monotone_ok()
        model.fit_x_impostor = imp
        recs = to_records(model)
        subs = [P.subtemplate_scores(d, recs, True) for d in dumps]
    return model, to_records(model)


def to_records(model):
    unused = np.flatnonzero(~model.used)
    ballast = int(unused[0]) if len(unused) else int(np.argmin(np.abs(model.w) + np.abs(model.q)))
    if len(unused) == 0:
        model.direction[ballast] = 0
    return model.records(SPREAD, model.fit_x_impostor, ballast)


# ------------------------------------------------------------------ thresholds

def tail_quantile(samples, p):
    x = np.sort(np.asarray(samples))[::-1]
    n = len(x)
    if n == 0:
        return None
    if n * p >= MIN_EXCEEDING:
        return float(x[int(math.floor(p * n))])
    top = max(20, int(n * TAIL_FRACTION))
    top = min(top, n)
    u = x[top - 1]
    beta = max(1.0, float(np.mean(x[:top] - u)))
    return float(u + beta * math.log((top / n) / p))


def row_samples(d, sub, rng):
    """Impostor scores per threshold row: row 0 the single comparisons, rows
    1-4 random subsets of 2, 4, 8, 16 subtemplates of each attempt combined as
    a multi-template of that size combines them, row 5 the attempts
    themselves (their n, mostly 17-32) brought to n = 32 by the engine's
    interpolation being inverted later."""
    imp_att = (d.att["label"] == 0) & (d.att["n"] > 0)
    rows = {0: sub[np.isin(d.segment, np.flatnonzero(imp_att))]}
    order = np.lexsort((rng.random(len(sub)), d.segment))  # random order inside each attempt
    seg = d.segment[order]
    starts = np.searchsorted(seg, np.arange(len(d)))
    for r, k in SUBSAMPLE_ROWS.items():
        ok = np.flatnonzero(imp_att & (d.att["n"] >= k))
        vals = sub[order[starts[ok][:, None] + np.arange(k)[None, :]]]
        vals = -np.sort(-vals, axis=1)
        s1 = vals[:, 0]
        s2 = vals[:, 1] if k > 1 else np.zeros_like(s1)
        c = int(P.combination_weight(k))
        rows[r] = (10 * s1 + c * s2) // (c + 10)
    return rows


def calibrate(dumps, recs, margin=0.0):
    """Threshold table: each column the score the worst set's impostors exceed
    with probability 10^(-i/3) (quantile, or an exponential tail beyond the
    data), row by row.  Row 5 is solved so that the engine's interpolation
    between rows 4 and 5 gives the worst set its rate at the attempts' own
    numbers of subtemplates."""
    rng = np.random.default_rng(RNG_SEED)
    per_set = []
    for d in dumps:
        sub = P.subtemplate_scores(d, recs, True)
        per_set.append((d, sub, P.combined(d, sub), row_samples(d, sub, rng)))
    table = [[0] * COLS for _ in range(ROWS)]
    for i in range(1, COLS):
        p = 10.0 ** (-i / 3.0) * (10 ** (-margin / 3.0))
        for r in range(5):
            table[r][i] = int(round(max(tail_quantile(s[3][r], p) for s in per_set)))
        # row 5: the smallest value that keeps every set's attempts at or
        # below the rate with the interpolated thresholds
        lo, hi = table[4][i], 65534
        while lo < hi:
            mid = (lo + hi) // 2
            worst = 0.0
            for d, sub, comb, _ in per_set:
                imp = (d.att["label"] == 0) & (d.att["n"] > 0)
                n = d.att["n"][imp]
                t4 = table[4][i]
                thr = np.where(n <= 16, t4, t4 + ((mid - t4) * (n - 16)) // 16)
                worst = max(worst, exceed_rate(comb[imp] - thr))
            if worst <= p:
                hi = mid
            else:
                lo = mid + 1
        table[5][i] = lo
        table[6][i] = min(65534, table[5][i] + max(0, table[5][i] - table[4][i]))
    return enforce_shape(table)


def exceed_rate(margins):
    """Share of attempts above their threshold, with an exponential tail for
    rates below what the attempts can show (margins = score - threshold)."""
    m = np.sort(np.asarray(margins, float))[::-1]
    n = len(m)
    k = int((m > 0).sum())
    if k >= MIN_EXCEEDING:
        return k / n
    top = min(n, max(20, int(n * TAIL_FRACTION)))
    u = m[top - 1]
    beta = max(1.0, float(np.mean(m[:top] - u)))
    if u >= 0:
        return k / n
    return (top / n) * math.exp(-(0 - u) / beta)


def ceiling(r, i):
    """Where the far tails are pressed flat: below it there is room for every
    later column and row to stay strictly above the one before."""
    return CEILING + 250 * i + 20 * r


def enforce_shape(table):
    """The decision's table shape (vermodel.enforce_table_shape), after the far
    tails are pressed under the ceiling."""
    return enforce_table_shape([[min(v, ceiling(r, i)) for i, v in enumerate(row)]
                                for r, row in enumerate(table)])


# ------------------------------------------------------------------ report

def figures(d, recs, table):
    sub = P.subtemplate_scores(d, recs, True)
    comb = P.combined(d, sub)
    return P.yardstick_figures(d, comb, table), comb


def fmt(fig):
    out = []
    for far in (9, 12, 14, 15, 18):
        f = fig[far]
        out.append("%2d: FRR %5.1f%% imp %3d/%d" % (far, 100 * f["frr"], f["impostors_accepted"],
                                                    f["impostors"]))
    return " | ".join(out)


def main():
    global HARD_SHARE
    ap = argparse.ArgumentParser()
    ap.add_argument("dumps", nargs="+")
    ap.add_argument("--measure", action="append", default=[])
    ap.add_argument("--fit-generated", action="append", default=[])
    ap.add_argument("--generated-weight", type=float, default=GENERATED_WEIGHT)
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--loso", action="store_true")
    ap.add_argument("--baseline", action="store_true")
    ap.add_argument("--ridge", type=float, default=0.3)
    ap.add_argument("--margin", type=float, default=0.0)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--trim-genuine", type=float, default=None,
                    help="leave weak genuine attempts out of the fit (quantile of impostors)")
    ap.add_argument("--hard-share", type=float, default=HARD_SHARE,
                    help="share of the strongest impostor attempts fitted")
    ap.add_argument("--own-tables", action="store_true",
                    help="also report each real set with a table calibrated on it alone")
    ap.add_argument("--write", action="store_true")
    ap.add_argument("--out", default="libAlg/Lumetra/engine/match/vermodel_data.cpp")
    ap.add_argument("--report", default="doc/models")
    ap.add_argument("--command", default="bash scripts/train-models.sh")
    args = ap.parse_args()
    HARD_SHARE = args.hard_share
    dumps = [P.Dump(p) for p in args.dumps]
    generated = [P.Dump(p) for p in args.fit_generated]
    measured = [P.Dump(p) for p in args.measure]
    lines = []

    def say(line):
        print(line, flush=True)
        lines.append(line)

    def fitting(real):
        """The sets a fit sees and their weights: the real sets, and the
        generated ones at their weight each."""
        sets = list(real) + generated
        return sets, [1.0] * len(real) + [args.generated_weight] * len(generated)
    doc, cfg = current_models(args.report)
    if args.check:
        sys.exit(1 if check(dumps + generated, cfg) else 0)
    if args.baseline:
        for d in dumps + generated + measured:
            fig, _ = figures(d, cfg["records"], cfg["table"])
            say("now   %-14s %s" % (d.name, fmt(fig)))
    if args.loso:
        for k, d in enumerate(dumps):
            rest = [o for j, o in enumerate(dumps) if j != k]
            sets, weights = fitting(rest)
            model, recs = fit_model(sets, rounds=args.rounds, ridge=args.ridge, weights=weights,
                                    trim_genuine=args.trim_genuine)
            table = calibrate(rest, recs, args.margin)
            fig, _ = figures(d, recs, table)
            say("loso  %-14s %s" % (d.name, fmt(fig)))
            for m in measured:
                fig, _ = figures(m, recs, table)
                say("lmeas %-14s %s" % (m.name + "/" + d.name, fmt(fig)))
    if args.own_tables:
        # What one table for every sensor costs: each real set decided by
        # the model data in use with a table calibrated on that set alone.
        for d in dumps:
            fig, _ = figures(d, cfg["records"], calibrate([d], cfg["records"], args.margin))
            say("own   %-14s %s" % (d.name, fmt(fig)))
    if args.write:
        sets, weights = fitting(dumps)
        write(dumps, sets, weights, args.command, args)
        _, written = current_models(args.report)
        for d in dumps + generated + measured:
            kind = "model" if d in dumps else "gfit" if d in generated else "mmeas"
            fig, _ = figures(d, written["records"], written["table"])
            say("%s %-14s %s" % (kind, d.name, fmt(fig)))
        write_report(os.path.join(args.report, "protocol-ehmsq-xs.md"), args.command, lines)


def write_report(path, command, lines):
    """The protocol figures as a table: 'now' the model data the dumps were
    made with, 'loso' a model and table fitted without the set, 'model' the
    written model on its own fitting sets."""
    kinds = {"now": "model data before the refit", "loso": "refitted without this set",
             "model": "written model (this set among the fitting sets)",
             "lmeas": "refitted without the second set (never fitted on this one)",
             "gfit": "written model (generated set: fitted on, never calibrated on)",
             "mmeas": "written model (never fitted on this set)"}
    out = ["# ehmsq-xs on the small-sensor protocol", "",
           "Generated by `%s` (tools/train/fit_protocol.py). Per set: the yardstick's attempts "
           "(enrolment from impressions 1-4, genuine probes at 4 offsets of impressions 5-8, "
           "impostors every 5 x 5 grid window of every impression of every other finger), "
           "replayed from protocol-dump files with the library's own integer arithmetic. "
           "FRR in %%, impostors accepted of all impostor attempts." % command, "",
           "| set | figures from | " + " | ".join("FAR %d: FRR / impostors" % f for f in (9, 12, 14, 15, 18)) + " |",
           "|---|---|" + "---|" * 5]
    for line in lines:
        kind, name, rest = line.split(None, 2)
        cells = [c.split(":", 1)[1].strip() for c in rest.split(" | ")]
        cells = [c.replace("FRR", "").replace("imp", "/").strip() for c in cells]
        out.append("| %s | %s | %s |" % (name, kinds[kind], " | ".join(cells)))
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


README_POINTER = ("The model the library ships for \"ehmsq-xs\" is not this pair-fitted one: the "
                  "protocol stage replaces it with a model fitted on the verification protocol "
                  "(protocol-ehmsq-xs.md, small-sensor-protocol.md). The figures below are the "
                  "pair-fitted model's.")


def point_readme_here(path):
    """Says under the plain stage's "ehmsq-xs" heading that the protocol
    stage's model replaced it (once; the plain stage rewrites the file)."""
    if not os.path.exists(path):
        return
    with open(path) as f:
        text = f.read()
    heading = "## ehmsq-xs (quadratic)\n"
    if heading not in text or README_POINTER in text:
        return
    with open(path, "w") as f:
        f.write(text.replace(heading, heading + "\n" + README_POINTER + "\n", 1))


def write(dumps, sets, weights, command, args):
    """Fits on every set (the real ones and the generated ones at their
    weights), calibrates on the real ones and stores the model and table of
    "ehmsq-xs" in the model data (models.json and the generated engine
    file)."""
    import train_models as T
    doc, _ = current_models(args.report)
    model, recs = fit_model(sets, rounds=args.rounds, ridge=args.ridge, weights=weights,
                            trim_genuine=args.trim_genuine)
    table = calibrate(dumps, recs, args.margin)
    cfg = next(c for c in doc["plain"]["configs"] if c["name"] == "ehmsq-xs")
    cfg["records"] = recs
    cfg["table"] = table
    gen = sum(int(((d.att["label"] == 1) & (d.att["n"] > 0)).sum()) for d in sets)
    imp = sum(int(((d.att["label"] == 0) & (d.att["n"] > 0)).sum()) for d in sets)
    cfg["fit_counts"] = [gen, imp]
    cfg["sources"] = ["protocol-dump %s: %d attempts%s" % (
        d.name, len(d), "" if d in dumps else " (fitted at weight %g, not calibrated on)" % w)
        for d, w in zip(sets, weights)]
    used = [i for i in range(NSCORES) if model.direction[i] != 0]
    cfg["method"] = [
        "ehmsq-xs (%s): fitted on the verification protocol itself by" % command,
        "tools/train/fit_protocol.py: every probe window of a 5 x 5 grid on every",
        "impression against multi-templates enrolled through the exports from 32",
        "windows (impressions 1-4, and again 5-8), with the 30 feature scores of every",
        "subtemplate.  Monotone quadratic model: each used score enters as a",
        "non-negative mix of s(z - zl)^2 and -s(zu - z)^2 on its clamped range",
        "(clamps at the 0.5 and 99.5 percentiles, z standardised by the impostors),",
        "so that stronger evidence never lowers the score; direction s from the",
        "genuine-impostor mean difference, scores with less than %.2f impostor" % EVIDENCE,
        "deviations of evidence left out (used: %s)." % ",".join(str(i) for i in used),
        "Logistic loss with ridge %.2f on each genuine attempt's best subtemplate and" % args.ridge,
        "each impostor attempt's best two, reselected with the model %d times; each" % args.rounds,
        "real set weighs 1, each generated set %g (they teach the fit that many" % args.generated_weight,
        "minutiae paired by chance are no match), each class weighs the same inside",
        "a set.  Thresholds, from the real sets only: column i is the score the worst",
        "set's impostors exceed with probability 10^(-i/3) (quantile when at least %d" % MIN_EXCEEDING,
        "exceed it; beyond that an exponential tail on the top %g %%); row 0 from" % (100 * TAIL_FRACTION),
        "single comparisons, rows 1-4",
        "from random subsets of 2, 4, 8, 16 subtemplates of each attempt combined as",
        "a multi-template combines them (seed %d), row 5 solved so that the" % RNG_SEED,
        "interpolation between rows 4 and 5 holds the rate at the attempts' own",
        "numbers of subtemplates, row 6 one more step.",
    ]
    T.write_models_json(args.report, doc)
    T.write_cpp(args.out, T.plain_of(doc), T.coherence_of(doc))
    point_readme_here(os.path.join(args.report, "README.md"))
    print("wrote ehmsq-xs: %d genuine / %d impostor attempts" % (gen, imp))


if __name__ == "__main__":
    main()
