"""Statistics of the evaluation report: error rates with 95 % intervals
that hold near 0 and 1, the interpolated equal error rate, FNMR at a
false-match target, ZeroFNMR, the rates at a given threshold, score
histograms, and the log-log DET plot.

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


def calibration(k, n, target):
    """Whether a realised false-accept rate of k in n lies within a factor
    of 2 of the rate the host asked for.

    The counts resolve the rate only when they could show it under half
    the target: with no impostor accepted, the Wilson interval's upper
    bound must lie below target / 2 (about 8 / target attempts).  Fewer
    attempts say nothing on the strict side, so the verdict is "not
    resolved" unless the count alone shows more than twice the target.
    Otherwise the verdict is the point estimate's ("within", "under",
    "over"), and whether the interval still reaches the band
    [target / 2, 2 target] is kept beside it."""
    if n <= 0:
        return {"resolved": False, "verdict": "not resolved", "interval_reaches_band": None}
    low, high = wilson(k, n)
    reaches = low <= 2 * target and high >= target / 2
    if low > 2 * target:
        verdict = "over"
    elif wilson(0, n)[1] >= target / 2:
        return {"resolved": False, "verdict": "not resolved", "interval_reaches_band": reaches}
    else:
        r = k / n
        verdict = "under" if r < target / 2 else "over" if r > 2 * target else "within"
    return {"resolved": True, "verdict": verdict, "interval_reaches_band": reaches}


def zero_fnmr(gen, imp):
    """ZeroFNMR: the lowest FMR at a threshold that rejects no genuine
    comparison.  Scores are integers and a comparison is accepted above the
    threshold, so the highest such threshold is min(gen) - 1 and the figure
    is the share of impostor scores at or above the lowest genuine score."""
    if not gen or not imp:
        return None
    lowest = min(gen)
    return sum(1 for s in imp if s >= lowest) / len(imp)


def at_lowest_accepted(gen, imp, lowest):
    """FNMR and FMR (with Wilson intervals) of a matcher that accepts a
    score from `lowest` on, as the library's own decision does."""
    return {"fnmr": rate(sum(1 for s in gen if s < lowest), len(gen)),
            "fmr": rate(sum(1 for s in imp if s >= lowest), len(imp))}


HISTOGRAM_BINS = 32
SCORE_MAX = 65535


def histogram(scores, bins=HISTOGRAM_BINS, top=SCORE_MAX):
    """Counts in `bins` equal bins over 0..top (the last bin holds top)."""
    width = (top + 1) / bins
    counts = [0] * bins
    for s in scores:
        counts[min(bins - 1, int(s // width))] += 1
    return {"edges": [round(i * width) for i in range(bins + 1)], "counts": counts}


def plot_scores(path, title, gen, imp, lowest=None):
    """Three panels of one matcher: genuine and impostor score histograms,
    FMR(t) and FNMR(t), and the DET curve (FNMR against FMR) on log-log
    axes; the library's own threshold marked where it is known."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(1, 3, figsize=(13, 3.8), dpi=100)
    g, i = histogram(gen), histogram(imp)
    edges = g["edges"]
    centres = [(a + b) / 2 for a, b in zip(edges, edges[1:])]
    widths = [b - a for a, b in zip(edges, edges[1:])]
    ax = axes[0]
    ax.bar(centres, g["counts"], widths, alpha=0.55, label="genuine (%d)" % len(gen), color="tab:green")
    ax.bar(centres, i["counts"], widths, alpha=0.55, label="impostor (%d)" % len(imp), color="tab:red")
    ax.set_xlabel("score")
    ax.set_ylabel("comparisons")
    ax.set_title("score distributions")
    ts, fmr, fnmr = rates(gen, imp)
    ax = axes[1]
    ax.step(ts, fmr, where="post", label="FMR(t)", color="tab:red")
    ax.step(ts, fnmr, where="post", label="FNMR(t)", color="tab:green")
    ax.set_xlabel("threshold t (accepted above t)")
    ax.set_ylabel("rate")
    ax.set_title("error rates against the threshold")
    for a in axes[:2]:
        if lowest is not None and lowest <= SCORE_MAX:
            a.axvline(lowest - 0.5, color="k", lw=0.8, ls="--", label="library's threshold")
        a.legend(fontsize=7)
    ax = axes[2]
    # Zero rates have no place on log axes: they are drawn at half a count.
    floor_fmr, floor_fnmr = 0.5 / max(1, len(imp)), 0.5 / max(1, len(gen))
    ax.plot([max(x, floor_fmr) for x in fmr], [max(y, floor_fnmr) for y in fnmr], drawstyle="steps-post")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("FMR (0 drawn at 0.5/n)")
    ax.set_ylabel("FNMR (0 drawn at 0.5/n)")
    ax.set_title("DET")
    ax.grid(True, which="both", alpha=0.3)
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, metadata={"Software": None})
    plt.close(fig)
