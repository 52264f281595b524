"""The multi-template coherence models: 24 coherence feature scores of a
probe against an enrolled multi-template (dumped by mt-verify-eval), a
quadratic score model in normalisation mode 1 and a threshold table whose
rows follow the number of subtemplates the coherence state holds.

In normalisation mode 1 the engine divides the sum by the total of the
absolute weights (linear and quadratic) divided by 8, so the score is
4096 + 32768 * discriminant / (sum of |weights|): a common factor of the
weights cancels, and only a record that adds to that total without adding
to the sum (clamped to a single value) can narrow the score range.  Score 1
(1 when a coherent other exists) says no more than score 2 (how many
exist) does, so it is left out of the fit and plays that record.
"""

import csv
import os

import numpy as np
from monotone_fit import fit_monotone
from vermodel import Discriminant, enforce_table_shape, predict, tail_thresholds, tdiv

NSCORES = 24
NORMALISATION = 1
BALLAST = 1                  # score 1 = (score 2 > 0): the spare record
TARGET_SPREAD = 3000         # score units per impostor standard deviation, at most
ROWS, COLS = 7, 28
ROW_COUNTS = [1, 2, 4, 8, 16, 32, 64]
FIRST_ROW = 4                # the walk gives a state only to more than 15 candidates
SPLIT_N = 24                 # row 4 from states of at most this many entries, row 5 above
MIN_ROW_SAMPLES = 2000       # fewer impostors in a half: both rows from all of them
TAIL_FRACTION = 0.02
MIN_EXCEEDING = 10
# The walk asks the coherence verifier only about templates no candidate
# was accepted for at the accept FAR index (the level asked + 1).  Genuine
# comparisons whose best link score already clears the plain threshold at
# this index (level 15 + 1) never reach it at the levels in use (12 to 15),
# so they take no part in the fit.
PLAIN_REACH_INDEX = 16
# Fewer genuine comparisons than this reaching it: the fit takes all of them.
MIN_GENUINE = 100


class Dump:
    def __init__(self, path):
        self.path = path
        with open(path, newline="") as f:
            rows = list(csv.DictReader(line for line in f if not line.startswith("#")))
        self.label = np.array([int(r["label"]) for r in rows], dtype=np.int64)
        self.n = np.array([int(r["n"]) for r in rows], dtype=np.int64)
        self.score = np.array([int(r["score"]) for r in rows], dtype=np.int64)
        self.finger = [int(r["finger"]) for r in rows]
        self.x = np.array([[int(r["f%d" % i]) for i in range(NSCORES)] for r in rows],
                          dtype=np.int64).reshape(-1, NSCORES)

    @property
    def name(self):
        return os.path.splitext(os.path.basename(self.path))[0]


class CoherenceModel(Discriminant):
    quadratic = True

    def fit(self, x, y):
        self.lower = np.percentile(x, 0.1, axis=0).astype(np.int64)
        self.upper = np.percentile(x, 99.9, axis=0).astype(np.int64)
        self.upper = np.maximum(self.upper, self.lower + 1)
        c = np.clip(x, self.lower, self.upper).astype(float)
        # Standardised by the impostors, as the plain models are: a typical
        # impostor sits at the records' means.
        self.mu = c[y == 0].mean(axis=0)
        self.sigma = c[y == 0].std(axis=0)
        self.used = self.sigma > 1e-6
        self.used[BALLAST] = False
        self.sigma[self.sigma <= 1e-6] = 1.0
        # Monotone in every score, as the plain models are: a square term
        # fitted freely turns back over part of its range, so that more of
        # an agreement would lower the score there.  Each score's direction
        # is the sign of its genuine-minus-impostor mean; scores with too
        # little evidence either way are left out.
        m = fit_monotone(x, y, self.lower, self.upper, self.mu, self.sigma, self.used)
        self.used = m.direction != 0
        self.beta = m.w * self.used
        self.gamma = m.q * self.used
        return self

    def to_records(self, impostor_x):
        """Records with scale = deviation * 65536, weight = beta * K and
        quadratic weight = gamma * K, so the sum is K times the discriminant
        and the score 4096 + 32768 K * discriminant / (K * L1 + B), B the
        spare record's weight.  Without B one impostor deviation would be
        worth 32768 * spread / L1 score units; when that is more than
        TARGET_SPREAD, B (at most 16 bits) and a K small enough for it bring
        it down to TARGET_SPREAD.  Otherwise K is as large as 16 bits allow."""
        l1 = float(np.abs(self.beta).sum() + np.abs(self.gamma).sum())
        biggest = max(float(np.abs(self.beta).max()), float(np.abs(self.gamma).max()), 1e-12)
        spread = float(np.std(self.decision(impostor_x))) or 1.0
        k = 32767.0 / biggest
        excess = 32768.0 * spread - TARGET_SPREAD * l1
        if excess > 0:
            k = min(k, TARGET_SPREAD * 32767.0 / excess)
        records = self.scaled_records(k)
        b = records[BALLAST]
        b.upper = b.lower
        b.mean = b.lower << 16
        total = sum(abs(r.weight) + abs(r.quadratic_weight) for r in records)
        b.weight = max(0, min(32767, int(round(32768.0 * k * spread / TARGET_SPREAD)) - total))
        self.records = records
        return records

    def scores(self, x):
        return np.array([predict(r, self.records, True, NORMALISATION) for r in x.tolist()],
                        dtype=np.int64)


# ---------------------------------------------------------------- thresholds


def column_thresholds(samples):
    return tail_thresholds(samples, COLS, TAIL_FRACTION, MIN_EXCEEDING)[0]


def threshold_table(imp_scores, imp_n):
    """Rows 0-4 (up to 16 entries) from the impostors of the smaller states,
    row 5 (32) from the larger ones, row 6 (64) one more step of the same
    growth; then column 0 is 0 and rows and columns never decrease (columns
    strictly increase)."""
    imp_scores = np.asarray(imp_scores)
    imp_n = np.asarray(imp_n)
    small = imp_scores[imp_n <= SPLIT_N]
    large = imp_scores[imp_n > SPLIT_N]
    if min(len(small), len(large)) >= MIN_ROW_SAMPLES:
        low, high = column_thresholds(small), column_thresholds(large)
    else:
        low = high = column_thresholds(imp_scores)
    table = [list(low) for _ in range(FIRST_ROW + 1)]
    table.append(list(high))
    table.append([h + max(0, h - l) for l, h in zip(low, high)])
    return enforce_table_shape(table)


def row_of(n):
    """(upper row, lower row) of the decision for n subtemplates."""
    if n <= 1:
        return 0, 0
    if n == 2:
        return 1, 0
    if n > 64:
        return 6, 5
    h = next(r for r in range(2, ROWS) if n <= ROW_COUNTS[r])
    return h, h - 1


def threshold_for(table, n, i):
    """The engine's threshold for n subtemplates at FAR index i (rows
    interpolated on the subtemplate count, signed truncating division)."""
    up, lo = row_of(n)
    u, l = table[up][i], table[lo][i]
    uc, lc = ROW_COUNTS[up], ROW_COUNTS[lo]
    return l + tdiv((u - l) * (n - lc), uc - lc) if uc != lc else u


def accepted(table, scores, ns, i):
    return np.array([s > threshold_for(table, int(n), i) for s, n in zip(scores, ns)], dtype=bool)


# ---------------------------------------------------------------- training


def reaching(d, plain_table):
    """Comparisons the coherence verifier sees: every impostor, and the
    genuine ones whose best link score (f0 is score / 10) stays at or below
    the plain threshold for the template's subtemplates at PLAIN_REACH_INDEX."""
    keep = np.array([lab == 0 or int(f0) * 10 <= threshold_for(plain_table, int(n), PLAIN_REACH_INDEX)
                     for lab, f0, n in zip(d.label, d.x[:, 0], d.n)], dtype=bool)
    d.label, d.n, d.score, d.x = d.label[keep], d.n[keep], d.score[keep], d.x[keep]
    d.finger = [f for f, k in zip(d.finger, keep) if k]
    return d


def fit(dumps):
    x = np.vstack([d.x for d in dumps])
    y = np.concatenate([d.label for d in dumps])
    m = CoherenceModel().fit(x, y)
    m.to_records(x[y == 0])
    return m


def split(model, d):
    s = model.scores(d.x)
    return s[d.label == 1], s[d.label == 0]


def measure(summary, gen, imp):
    """The summary of a set, or only its counts when one side is empty (no
    genuine comparison of the set may reach the coherence verifier)."""
    if len(gen) and len(imp):
        return summary(gen, imp)
    return {"genuine": len(gen), "impostor": len(imp), "eer": None, "fnmr_1e3": None,
            "fnmr_1e4": None, "fnmr_zero": None}


def train(name, fit_path, held_path, real_paths, summary, plain_table):
    """Fits on FIT plus the real sets; measures on the held-out fingers and on
    each real set left out in turn (model and table refitted without it).
    Measures count only the comparisons that reach the coherence verifier
    (`reaching`); so does the fit, unless fewer than MIN_GENUINE genuine
    ones reach it, when it takes every comparison."""
    everything = [Dump(p) for p in [fit_path] + real_paths]
    reached = [reaching(Dump(p), plain_table) for p in [fit_path] + real_paths]
    subset = sum(int(d.label.sum()) for d in reached) >= MIN_GENUINE
    fitting = reached if subset else everything
    held = reaching(Dump(held_path), plain_table)
    measures, curves, realised = {}, {}, {}
    for k in range(1, len(fitting)):                       # leave one database out
        others = [d for j, d in enumerate(fitting) if j != k]
        m = fit(others)
        left = reached[k]
        gen, imp = split(m, left)
        label = "real %s (left out)" % left.name.replace("real-", "")
        measures[label] = measure(summary, gen, imp)
        if len(gen) and len(imp):
            curves[label] = (gen, imp)
        realised[label] = realised_rates(table_of(m, others), m, left)
    model = fit(fitting)
    table = table_of(model, fitting)
    gen, imp = split(model, held)
    label = "generated, held-out fingers"
    measures[label] = measure(summary, gen, imp)
    if len(gen) and len(imp):
        curves[label] = (gen, imp)
    realised[label] = realised_rates(table, model, held)
    sources = ["mt-verify-eval generated seed 101 (fit), seed 202 (held out), fitted on %s"
               % ("the comparisons reaching the coherence stage" if subset else "all comparisons")]
    sources += ["%s %d comparisons (%d reaching it)" % (os.path.basename(d.path), len(e.label),
                                                       len(d.label))
                for d, e in zip(reached[:1] + [held] + reached[1:],
                                everything[:1] + [Dump(held_path)] + everything[1:])]
    ident = "Coh" + "".join(p.capitalize() for p in name.replace("ehm", "").split("-"))
    return {"name": name, "ident": ident, "records": model.records, "table": table,
            "normalisation": NORMALISATION, "sources": sources,
            "fit_counts": [int(sum((d.label == 1).sum() for d in fitting)),
                           int(sum((d.label == 0).sum() for d in fitting))],
            "measures": measures, "curves": curves, "realised": realised,
            "subtemplates": {"generated": (int(reached[0].n.min()), int(reached[0].n.max())),
                             "real": (int(min(d.n.min() for d in reached[1:])),
                                      int(max(d.n.max() for d in reached[1:])))
                             if len(reached) > 1 else None}}


def table_of(model, dumps):
    scores = np.concatenate([model.scores(d.x[d.label == 0]) for d in dumps])
    ns = np.concatenate([d.n[d.label == 0] for d in dumps])
    return threshold_table(scores, ns)


def realised_rates(table, model, d):
    """Per FAR index: (impostor acceptance, genuine rejection) of the
    coherence decision alone on the set d."""
    s = model.scores(d.x)
    out = []
    for i in range(1, COLS):
        acc = accepted(table, s, d.n, i)
        imp = acc[d.label == 0]
        gen = acc[d.label == 1]
        out.append((i, float(imp.mean()) if len(imp) else None,
                    float(1 - gen.mean()) if len(gen) else None, len(imp)))
    return out


def check(records, path):
    """Comparisons of a fresh dump whose library score differs from the replica's."""
    d = Dump(path)
    ours = [predict(r, records, True, NORMALISATION) for r in d.x.tolist()]
    return len(d.label), int(sum(a != b for a, b in zip(d.score.tolist(), ours)))
