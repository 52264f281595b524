#!/usr/bin/env python3
"""Fits the verification models of the "ehm" configurations and writes the
engine's model data.

Each argument names one configuration and its feature-score dumps (made by
feature-dump):

    NAME:KIND:FIT.csv:HELDOUT.csv[:REAL1.csv,REAL2.csv,...]

KIND is "linear" (ehm_verifier) or "quadratic" (ehmhr_verifier).  The model
is a logistic regression on the clamped, standardised scores (and their
squares for quadratic models), fitted on FIT plus the real sets; it is
mapped onto the engine's integer coefficient records, and the threshold
table is estimated from the integer scores of the fitting split.  HELDOUT
(other fingers) and every real set left out in turn measure it.
"""

import argparse
import csv
import json
import math
import os
import sys
from collections import defaultdict

import numpy as np
from sklearn.linear_model import LogisticRegression

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vermodel import Record, predict_many  # noqa: E402

NSCORES = 30
ROWS = 7
COLS = 28
ROW_COUNTS = [1, 2, 4, 8, 16, 32, 64]   # subtemplates a row stands for
MEASURED_ROWS = 5                       # rows 5 and 6 are extrapolated
TARGET_SPREAD = 3000                    # score units per impostor standard deviation
TAIL_FRACTION = 0.02                    # share of impostor scores the tail fit uses
MIN_EXCEEDING = 10                      # empirical quantile needs this many above it


# ---------------------------------------------------------------- data


class Dump:
    def __init__(self, path):
        self.path = path
        self.a, self.b, self.label, self.status = [], [], [], []
        rows = []
        with open(path, newline="") as f:
            lines = (line for line in f if not line.startswith("#"))
            for r in csv.DictReader(lines):
                self.a.append(r["a"])
                self.b.append(r["b"])
                self.label.append(int(r["label"]))
                self.status.append(int(r["status"]))
                rows.append([int(r["f%d" % i]) for i in range(NSCORES)])
        self.x = np.array(rows, dtype=np.int64).reshape(-1, NSCORES)
        self.label = np.array(self.label)
        self.status = np.array(self.status)

    @property
    def name(self):
        return os.path.splitext(os.path.basename(self.path))[0]


def finger_of(image):
    return image.rsplit("_", 1)[0]


# ---------------------------------------------------------------- model


class Model:
    """Clamps, standardisation and the fitted discriminant of one configuration."""

    def __init__(self, quadratic):
        self.quadratic = quadratic

    def fit(self, x, y):
        ok = np.ones(len(y), bool)
        self.lower = np.percentile(x[ok], 0.1, axis=0).astype(np.int64)
        self.upper = np.percentile(x[ok], 99.9, axis=0).astype(np.int64)
        self.upper = np.maximum(self.upper, self.lower + 1)
        c = np.clip(x, self.lower, self.upper).astype(float)
        # Standardised by the impostors: a typical impostor comparison sits
        # at the records' means, so its score sits near the centre 4096 and
        # the impostor tail, where the thresholds live, keeps its resolution.
        self.mu = c[y == 0].mean(axis=0)
        self.sigma = c[y == 0].std(axis=0)
        self.used = self.sigma > 1e-6
        self.sigma[~self.used] = 1.0
        clf = LogisticRegression(C=1.0, max_iter=5000, class_weight="balanced")
        coef = clf.fit(self._design(c), y).coef_[0]
        # Normalisation mode 0 divides by the signed weight total, which the
        # fitted weights alone do not control.  The least informative score
        # is clamped to one value (it then adds nothing to the sum) and its
        # weight sets the total; the discriminant is refitted without it.
        strength = np.abs(coef[:NSCORES]) * self.used
        if self.quadratic:
            strength = strength + np.abs(coef[NSCORES:]) * self.used
        strength[~self.used] = -1.0
        self.ballast = int(np.argmin(strength))
        self.used[self.ballast] = False
        coef = clf.fit(self._design(c), y).coef_[0]
        self.beta = coef[:NSCORES] * self.used
        self.gamma = (coef[NSCORES:] * self.used) if self.quadratic else np.zeros(NSCORES)
        return self

    def _design(self, clamped):
        z = (clamped - self.mu) / self.sigma
        z[:, ~self.used] = 0.0
        return np.hstack([z, z * z]) if self.quadratic else z

    def decision(self, x):
        c = np.clip(x, self.lower, self.upper).astype(float)
        z = (c - self.mu) / self.sigma
        z[:, ~self.used] = 0.0
        return z @ self.beta + (z * z) @ self.gamma

    def to_records(self, impostor_x):
        """Integer records whose score is 4096 + G * discriminant (normalisation
        mode 0), G set so that one impostor standard deviation spans
        TARGET_SPREAD score units.  With scale = deviation * 65536 each record
        adds weight * z (and quadratic weight * z^2), so the sum is K times the
        discriminant; the ballast weight makes the total 4096 K / G."""
        spread = float(np.std(self.decision(impostor_x))) or 1.0
        g = TARGET_SPREAD / spread
        need = 4096.0 / g - float(self.beta.sum()) - float(self.gamma.sum())
        biggest = max(float(np.abs(self.beta).max()), float(np.abs(self.gamma).max()), 1e-12)
        k = min(32767.0 / biggest, 32767.0 / max(abs(need), 1e-12))
        records = []
        for i in range(NSCORES):
            records.append(Record(
                lower=int(self.lower[i]), upper=int(self.upper[i]),
                mean=int(round(self.mu[i] * 65536.0)),
                scale=max(1, int(round(self.sigma[i] * 65536.0))),
                weight=int(round(self.beta[i] * k)) if self.used[i] else 0,
                quadratic_weight=int(round(self.gamma[i] * k)) if (self.used[i] and self.quadratic) else 0))
        b = records[self.ballast]
        b.upper = b.lower
        b.mean = b.lower << 16
        b.quadratic_weight = 0
        total = int(round(4096.0 * k / g))
        b.weight = max(-32768, min(32767, total - sum(r.weight + r.quadratic_weight for r in records)))
        self.records = records
        return records

    def scores(self, x):
        return np.array(predict_many(x.tolist(), self.records, self.quadratic, 0))


# ---------------------------------------------------------------- thresholds


def combine(s1, s2, n):
    c = (6 * n + 60) // 56 if n <= 35 else 5
    return (10 * s1 + c * s2) // (c + 10)


def group_scores(dumps, scores_of):
    """Impostor scores of probes against disjoint groups of n captures of one
    other finger, combined as a multi-template combines its best two."""
    pair = {}
    members = defaultdict(set)
    for d, s in zip(dumps, scores_of):
        for a, b, lab, sc in zip(d.a, d.b, d.label, s):
            key = (d.name, a, b)
            pair[key] = sc
            pair[(d.name, b, a)] = sc
            members[(d.name, finger_of(a))].add(a)
            members[(d.name, finger_of(b))].add(b)
    per_row = [[] for _ in range(MEASURED_ROWS)]
    fingers = sorted(members)
    for (dn, fp) in fingers:
        for probe in sorted(members[(dn, fp)]):
            for (dn2, f) in fingers:
                if dn2 != dn or f == fp:
                    continue
                group = sorted(members[(dn2, f)])
                for r in range(1, MEASURED_ROWS):
                    n = ROW_COUNTS[r]
                    for start in range(0, len(group) - n + 1, n):
                        vals = [pair.get((dn, probe, g)) for g in group[start:start + n]]
                        if any(v is None for v in vals):
                            continue
                        vals.sort(reverse=True)
                        per_row[r].append(combine(vals[0], vals[1] if n > 1 else 0, n))
    return per_row


def column_thresholds(samples):
    """Column i: the score impostors exceed with probability 10^(-i/3)."""
    x = np.sort(np.asarray(samples))[::-1]
    n = len(x)
    top = max(20, int(n * TAIL_FRACTION))
    u = x[top - 1]
    p_u = top / n
    beta = max(1.0, float(np.mean(x[:top] - u)))
    out = [0]
    for i in range(1, COLS):
        p = 10.0 ** (-i / 3.0)
        if n * p >= MIN_EXCEEDING:
            t = int(x[int(math.floor(p * n))])
        else:                                   # exponential tail above u
            t = int(round(u + beta * math.log(p_u / p)))
        out.append(t)
    return out, (n, int(u), p_u, beta)


def threshold_table(row0, per_row):
    table, tails = [], []
    samples = [row0] + per_row[1:]
    for r in range(MEASURED_ROWS):
        col, tail = column_thresholds(samples[r]) if len(samples[r]) >= 20 else (None, None)
        table.append(col)
        tails.append(tail)
    for r in range(1, MEASURED_ROWS):                       # a row too short to measure
        if table[r] is None:
            table[r] = list(table[r - 1])
    step = [table[MEASURED_ROWS - 1][i] - table[MEASURED_ROWS - 2][i] for i in range(COLS)]
    for r in range(MEASURED_ROWS, ROWS):                    # one more doubling per row
        table.append([table[r - 1][i] + max(0, step[i]) for i in range(COLS)])
    # Shape rules: column 0 is 0; thresholds grow along the row and down the
    # column; 65535 would mean "missing", so stay below it.
    for r in range(ROWS):
        table[r][0] = 0
        for i in range(1, COLS):
            lo = table[r][i - 1] + 1
            if r > 0:
                lo = max(lo, table[r - 1][i])
            table[r][i] = min(65534, max(table[r][i], lo))
    return table, tails


# ---------------------------------------------------------------- measures


def rates(gen, imp):
    gen = np.asarray(gen)
    imp = np.asarray(imp)
    ts = np.unique(np.concatenate([gen, imp, [65535]]))
    fnmr = np.array([(gen <= t).mean() for t in ts])
    fmr = np.array([(imp > t).mean() for t in ts])
    return ts, fmr, fnmr


def summary(gen, imp):
    ts, fmr, fnmr = rates(gen, imp)
    k = int(np.argmin(np.abs(fmr - fnmr)))
    eer = (fmr[k] + fnmr[k]) / 2

    def fnmr_at(target):
        if len(imp) * target < 1:
            return None
        ok = fmr <= target
        return float(fnmr[ok].min()) if ok.any() else None

    zero = fnmr[fmr == 0].min() if (fmr == 0).any() else 1.0
    return {"genuine": len(gen), "impostor": len(imp), "eer": float(eer),
            "fnmr_1e3": fnmr_at(1e-3), "fnmr_1e4": fnmr_at(1e-4), "fnmr_zero": float(zero)}


def split_scores(model, dump):
    s = model.scores(dump.x)
    s[dump.status != 0] = 0
    return s[dump.label == 1], s[dump.label == 0]


# ---------------------------------------------------------------- output


def fmt_pct(v):
    return "n/a" if v is None else "%.2f %%" % (100 * v)


def write_cpp(path, command, results):
    out = []
    w = out.append
    w("// GENERATED FILE - do not edit.  Regenerate with:")
    w("//   " + command)
    w("// (tools/train/train_models.py fits the models; the report with DET curves and")
    w("// held-out measures is doc/models/README.md.)")
    w("//")
    w("// Data and seeds, per configuration (feature-dump files; generated prints are")
    w("// fpsynth sets from the seeds named, real windows are centred crops of the")
    w("// public databases of the training machine, never stored in the project):")
    for r in results:
        w("//   %-9s %s" % (r["name"], "; ".join(r["sources"])))
    w("//")
    w("// Score model: logistic regression on the clamped scores standardised by the")
    w("// fitting split's impostor mean and deviation (squares added for the quadratic")
    w("// models), mapped onto the records (normalisation mode 0) so that score =")
    w("// 4096 + G * discriminant with one impostor standard deviation worth %d" % TARGET_SPREAD)
    w("// score units: scale = deviation * 65536, weight = beta * K, quadratic weight =")
    w("// gamma * K.  The least informative score is left out of the fit and clamped")
    w("// to one value; its weight alone sets the signed weight total to 4096 K / G.")
    w("//")
    w("// Thresholds: column i is the score the fitting split's impostors exceed with")
    w("// probability 10^(-i/3): an empirical quantile while at least %d scores lie" % MIN_EXCEEDING)
    w("// above it, beyond that an exponential tail fitted to the top %d %% of" % int(TAIL_FRACTION * 100))
    w("// impostor scores (P(s > u + x) = p_u exp(-x / beta)).  Row r holds probes")
    w("// against disjoint groups of 1, 2, 4, 8, 16 captures of one other finger,")
    w("// combined as a multi-template combines its best two scores; rows 5 and 6")
    w("// (32 and 64) add the growth from 8 to 16 once more per doubling.  Then column")
    w("// 0 is set to 0 and every row and column is made strictly increasing.")
    w("//")
    w("// The 24-score coherence models are not trained by this pipeline yet: they are")
    w("// PROVISIONAL placeholders kept only so that the coherence stage runs.")
    w('#include "engine/match/vermodel_data.h"')
    w("")
    w("namespace {")
    w("")
    for r in results:
        ident = r["ident"]
        w("// %s: %s model, fitted on %d genuine / %d impostor comparisons." % (
            r["name"], r["kind"], r["fit_counts"][0], r["fit_counts"][1]))
        w("const qx_vermodel_coefficient k%sCoefficients[30] = {" % ident)
        for rec in r["records"]:
            w("    {%d, %d, %du, %du, %d, %d}," % (rec.lower, rec.upper, rec.mean, rec.scale,
                                                  rec.weight, rec.quadratic_weight))
        w("};")
        w("const uint16_t k%sThresholds[7 * 28] = {" % ident)
        for row in r["table"]:
            w("    " + ", ".join(str(v) for v in row) + ",")
        w("};")
        w("")
    w(PROVISIONAL_COHERENCE)
    w("constexpr uint16_t kKeyPlain = 0;")
    w("constexpr uint16_t kKeyCoherence = 65000;")
    w("")
    w("}  // namespace")
    w("")
    w('extern "C" {')
    for r in results:
        verifier = "ehm_verifier" if r["kind"] == "linear" else "ehmhr_verifier"
        lin = "k%sCoefficients" % r["ident"] if r["kind"] == "linear" else "nullptr"
        quad = "k%sCoefficients" % r["ident"] if r["kind"] == "quadratic" else "nullptr"
        w("")
        w("const qx_vermodel %s[] = {" % r["symbol"])
        w("    {&%s, kKeyPlain, 30, %s, %s, 0, k%sThresholds}," % (verifier, lin, quad, r["ident"]))
        if r["name"] in ("ehmsq-xs", "ehmre-s"):
            w("    {&ehmhr_verifier, kKeyCoherence, 24, nullptr, kCoherenceCoefficients, 1,")
            w("     kCoherenceThresholds},")
        w("    {nullptr, 0, 0, nullptr, nullptr, 0, nullptr},")
        w("};")
    w("")
    w('}  // extern "C"')
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


PROVISIONAL_COHERENCE = """// PROVISIONAL coherence model (24 scores): untrained placeholder weights on the
// first two scores and a hand-set table; replaced when the coherence models
// are trained.
const qx_vermodel_coefficient kCoherenceCoefficients[24] = {
    {0, 65535, 120u << 16, 1u << 28, 1024, 16}, {0, 65535, 900u << 16, 1u << 28, 1024, 16},
    {0, 65535, 0, 1u << 28, 0, 0}, {0, 65535, 0, 1u << 28, 0, 0},
    {0, 65535, 0, 1u << 28, 0, 0}, {0, 65535, 0, 1u << 28, 0, 0},
    {0, 65535, 0, 1u << 28, 0, 0}, {0, 65535, 0, 1u << 28, 0, 0},
    {0, 65535, 0, 1u << 28, 0, 0}, {0, 65535, 0, 1u << 28, 0, 0},
    {0, 65535, 0, 1u << 28, 0, 0}, {0, 65535, 0, 1u << 28, 0, 0},
    {0, 65535, 0, 1u << 28, 0, 0}, {0, 65535, 0, 1u << 28, 0, 0},
    {0, 65535, 0, 1u << 28, 0, 0}, {0, 65535, 0, 1u << 28, 0, 0},
    {0, 65535, 0, 1u << 28, 0, 0}, {0, 65535, 0, 1u << 28, 0, 0},
    {0, 65535, 0, 1u << 28, 0, 0}, {0, 65535, 0, 1u << 28, 0, 0},
    {0, 65535, 0, 1u << 28, 0, 0}, {0, 65535, 0, 1u << 28, 0, 0},
    {0, 65535, 0, 1u << 28, 0, 0}, {0, 65535, 0, 1u << 28, 0, 0},
};
const uint16_t kCoherenceThresholds[7 * 28] = {
#define ROW(b) 0, b, b + 300, b + 600, b + 900, b + 1200, b + 1500, b + 1800, b + 2100, \\
    b + 2400, b + 2700, b + 3000, b + 3300, b + 3600, b + 3900, b + 4200, b + 4500, b + 4800, \\
    b + 5100, b + 5400, b + 5700, b + 6000, b + 6300, b + 6600, b + 6900, b + 7200, b + 7500, \\
    b + 7800
    ROW(2300), ROW(2400), ROW(2500), ROW(2600), ROW(2700), ROW(2800), ROW(2900),
#undef ROW
};
"""


def plot_det(path, title, curves):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(5.5, 4.5), dpi=100)
    for label, (gen, imp) in curves.items():
        ts, fmr, fnmr = rates(gen, imp)
        ok = fmr > 0
        ax.plot(fmr[ok], 1 - fnmr[ok], label=label)
    ax.set_xscale("log")
    ax.set_xlabel("false acceptance (impostor comparisons accepted)")
    ax.set_ylabel("genuine acceptance")
    ax.set_ylim(0, 1.01)
    ax.grid(True, which="both", alpha=0.3)
    ax.set_title(title)
    ax.legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, metadata={"Software": None})
    plt.close(fig)


def write_report(folder, command, results):
    os.makedirs(folder, exist_ok=True)
    out = ["# Verification models", "",
           "Generated by `%s` (tools/train/train_models.py). Every figure below comes "
           "from comparisons the model was not fitted on: the held-out split holds other "
           "fingers (generated from another seed), and each real database is measured by "
           "a model refitted without it. Rates are per single comparison (one capture "
           "against one capture)." % command, ""]
    for r in results:
        out += ["## %s (%s)" % (r["name"], r["kind"]), ""]
        out += ["| set | genuine | impostor | EER | FNMR at FMR 1e-3 | FNMR at FMR 1e-4 | FNMR at FMR 0 |",
                "|---|---|---|---|---|---|---|"]
        for label, s in r["measures"].items():
            out.append("| %s | %d | %d | %s | %s | %s | %s |" % (
                label, s["genuine"], s["impostor"], fmt_pct(s["eer"]), fmt_pct(s["fnmr_1e3"]),
                fmt_pct(s["fnmr_1e4"]), fmt_pct(s["fnmr_zero"])))
        out += ["", "Realised impostor acceptance of row 0 on the held-out split "
                "(target 10^(-i/3); '-' where the split has too few impostors to see it):", "",
                "| FAR index | target | threshold | realised |", "|---|---|---|---|"]
        for i, thr, real in r["realised"]:
            out.append("| %d | %.1e | %d | %s |" % (i, 10 ** (-i / 3), thr,
                                                    "-" if real is None else "%.1e" % real))
        png = "det-%s.png" % r["name"]
        plot_det(os.path.join(folder, png), r["name"], r["curves"])
        out += ["", "![DET %s](%s)" % (r["name"], png), ""]
    with open(os.path.join(folder, "README.md"), "w") as f:
        f.write("\n".join(out) + "\n")


# ---------------------------------------------------------------- main


def train_one(plan):
    parts = plan.split(":")
    name, kind, fit_path, held_path = parts[:4]
    real_paths = parts[4].split(",") if len(parts) > 4 and parts[4] else []
    quadratic = kind == "quadratic"
    fit = Dump(fit_path)
    held = Dump(held_path)
    reals = [Dump(p) for p in real_paths]

    def fit_model(dumps):
        x = np.vstack([d.x[d.status == 0] for d in dumps])
        y = np.concatenate([d.label[d.status == 0] for d in dumps])
        m = Model(quadratic).fit(x, y)
        m.to_records(x[y == 0])
        return m

    measures, curves = {}, {}
    for d in reals:                                   # leave one database out
        m = fit_model([fit] + [o for o in reals if o is not d])
        gen, imp = split_scores(m, d)
        label = "real %s (left out)" % d.name.replace("real-", "")
        measures[label] = summary(gen, imp)
        curves[label] = (gen, imp)
    fitting = [fit] + reals
    model = fit_model(fitting)
    gen, imp = split_scores(model, held)
    measures["generated, held-out fingers"] = summary(gen, imp)
    curves["generated, held-out fingers"] = (gen, imp)

    fit_scores = [split_scores(model, d) for d in fitting]
    row0 = np.concatenate([s[1] for s in fit_scores])
    all_scores = [model.scores(d.x) for d in fitting]
    for d, s in zip(fitting, all_scores):
        s[d.status != 0] = 0
    per_row = group_scores(fitting, all_scores)
    table, _ = threshold_table(row0, per_row)

    realised = []
    for i in range(1, COLS):
        t = table[0][i]
        real = float((imp > t).mean()) if len(imp) * 10 ** (-i / 3) >= 1 else None
        realised.append((i, t, real))

    seeds = "generated seed 101 (fit), seed 202 (held out)"
    sources = ["%s %d pairs" % (os.path.basename(d.path), len(d.label)) for d in [fit, held] + reals]
    ident = "".join(p.capitalize() for p in name.replace("ehm", "").split("-"))
    return {"name": name, "kind": kind, "records": model.records, "table": table,
            "measures": measures, "curves": curves, "realised": realised,
            "ident": ident, "symbol": "qx_vermodels_" + name.replace("-", "_"),
            "sources": [seeds] + sources,
            "fit_counts": (int(sum((d.label[d.status == 0] == 1).sum() for d in fitting)),
                           int(sum((d.label[d.status == 0] == 0).sum() for d in fitting)))}


def write_models_json(folder, results):
    doc = {r["name"]: {"quadratic": r["kind"] == "quadratic",
                       "records": [vars(rec) for rec in r["records"]]} for r in results}
    with open(os.path.join(folder, "models.json"), "w") as f:
        json.dump(doc, f, indent=1, sort_keys=True)
        f.write("\n")


def check(models_path, plans):
    """The library's scores in fresh dumps (column "score") must equal this
    module's integer replica of the model, comparison by comparison."""
    with open(models_path) as f:
        models = json.load(f)
    bad = 0
    for plan in plans:
        name, path = plan.split(":", 1)
        m = models[name]
        recs = [Record(**r) for r in m["records"]]
        dump = Dump(path)
        with open(path, newline="") as f:
            lib = [int(r["score"]) for r in csv.DictReader(l for l in f if not l.startswith("#"))]
        ours = predict_many(dump.x.tolist(), recs, m["quadratic"], 0)
        differ = 0
        for x, st, a, b in zip(dump.x, dump.status, lib, ours):
            expect = 0 if (st != 0 or (x[0] == 0 and x[9] == 0)) else b
            differ += a != expect
        print("check %-9s %d comparisons, %d differ" % (name, len(lib), differ))
        bad += differ
    return bad


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out")
    ap.add_argument("--report", required=True)
    ap.add_argument("--command", default="bash scripts/train-models.sh")
    ap.add_argument("--check", action="store_true",
                    help="plans are NAME:DUMP.csv; compare the library's scores with the replica")
    ap.add_argument("plans", nargs="+")
    args = ap.parse_args()
    if args.check:
        sys.exit(1 if check(os.path.join(args.report, "models.json"), args.plans) else 0)
    results = [train_one(s) for s in args.plans]
    write_cpp(args.out, args.command, results)
    write_report(args.report, args.command, results)
    write_models_json(args.report, results)
    for r in results:
        m = r["measures"]["generated, held-out fingers"]
        print("%-9s held-out EER %s, FNMR@1e-4 %s" % (r["name"], fmt_pct(m["eer"]), fmt_pct(m["fnmr_1e4"])))


if __name__ == "__main__":
    main()
