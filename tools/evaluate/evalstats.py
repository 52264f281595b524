"""Statistics of the evaluation report: error rates with 95 % intervals
that hold near 0 and 1, the interpolated equal error rate, and FNMR at a
false-match target.

The DET curve itself (thresholds, FMR, FNMR; a comparison is accepted when
its score is above the threshold) is the one the model training uses:
tools/train/train_models.py `rates`, imported here so both judge a matcher
the same way.
"""
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "train"))
from train_models import plot_det, rates  # noqa: E402,F401  (plot_det is re-exported)

Z95 = 1.959963984540054


def wilson(k, n, z=Z95):
    """Wilson score interval of k successes in n trials, as (low, high).
    k and n may be fractional (effective counts).  None for n = 0."""
    if n <= 0:
        return None
    p = k / n
    z2 = z * z
    centre = (p + z2 / (2 * n)) / (1 + z2 / n)
    half = z / (1 + z2 / n) * math.sqrt(max(p * (1 - p) / n + z2 / (4 * n * n), 0.0))
    # At k = 0 and k = n the bound on that side is exact: rounding must not
    # move it off 0 or 1.
    low = 0.0 if k <= 0 else max(0.0, centre - half)
    high = 1.0 if k >= n else min(1.0, centre + half)
    return (low, high)


def clustered_interval(clusters, z=Z95):
    """Interval of a rate whose trials come in correlated groups (several
    windows of one impression): clusters is a list of (events, trials).

    The Wilson interval is taken on the effective sample size n / deff,
    deff being the design effect of the ratio estimator, at least 1.  When
    no trial or every trial is an event the spread between groups tells
    nothing, so each group counts as one trial (deff = mean group size):
    the careful choice, as windows of one impression may fail together."""
    clusters = [(x, m) for x, m in clusters if m > 0]
    n = sum(m for _, m in clusters)
    k = sum(x for x, _ in clusters)
    if n == 0:
        return None
    c = len(clusters)
    p = k / n
    if c < 2:
        deff = 1.0
    elif 0 < k < n:
        v_cluster = c / (c - 1) * sum((x - p * m) ** 2 for x, m in clusters) / (n * n)
        v_simple = p * (1 - p) / n
        deff = max(1.0, v_cluster / v_simple)
    else:
        deff = n / c
    n_eff = n / deff
    return wilson(p * n_eff, n_eff, z)


def eer(gen, imp):
    """Equal error rate, interpolated linearly between the two DET points
    where FNMR - FMR changes sign."""
    _, fmr, fnmr = rates(gen, imp)
    d = fnmr - fmr
    k = int((d >= 0).argmax()) if (d >= 0).any() else len(d) - 1
    if k == 0 or d[k] < 0:
        return float((fmr[k] + fnmr[k]) / 2)
    a = -d[k - 1] / (d[k] - d[k - 1])
    return float(fmr[k - 1] + a * (fmr[k] - fmr[k - 1]))


def fnmr_at(gen, imp, target):
    """Lowest FNMR over the thresholds whose FMR is at most `target`, with
    whether the impostor count can resolve that target at all (fewer than
    1 / target impostor comparisons can only show an FMR of 0 below it)."""
    _, fmr, fnmr = rates(gen, imp)
    ok = fmr <= target
    value = float(fnmr[ok].min()) if ok.any() else 1.0
    return value, len(imp) * target >= 1


def rate(k, n):
    """A rate with its Wilson interval, as the report stores it."""
    ci = wilson(k, n)
    return {"k": int(k), "n": int(n), "rate": (k / n) if n else None,
            "ci95": list(ci) if ci else None}
