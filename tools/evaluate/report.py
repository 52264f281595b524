#!/usr/bin/env python3
"""Builds the evaluation report from the tables lumetra-evaluate and
fprint-yardstick wrote: REPORT_DIR/index.html with PNG plots beside it, and
REPORT_DIR/summary.json holding every figure the page shows (the page is
rendered from that summary and nothing else).

    report.py --work WORK --out REPORT_DIR --set NAME ... [--command TEXT]
              [--elapsed SECONDS] [--load-start "1.0 0.5 0.2"]

WORK/NAME/ holds one image folder's results: small/ (small-sensor
protocol), pairs-<config>/ (1:1 protocol per configuration, with
fprint.tsv and/or fprint-status.txt for the yardstick).
"""
import argparse
import csv
import html
import json
import os
import platform
import shutil
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import coverage  # noqa: E402
import evalstats  # noqa: E402

# Crop size of each 1:1 configuration (the library picks its configuration
# from the sensor geometry), in the order the report shows them.
PAIR_CONFIGS = [("ehmsq-xl", 197), ("ehmsq-l", 158)]
YARDSTICK_CONFIG = "ehmsq-xl"      # the yardstick runs on these crops
FMR_TARGETS = [("fmr100", 1e-2), ("fmr1000", 1e-3), ("fmr10000", 1e-4)]
GOAL_FAR_INDEX = 14
GOAL_FRR = 0.02
ENROL_IMPRESSIONS = (1, 2, 3, 4)
PROBE_IMPRESSIONS = (5, 6, 7, 8)
SMALL_WINDOW = 88


def read_tsv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def read_meta(path):
    meta = {}
    for row in read_tsv(path):
        if row["key"] == "skipped":
            meta.setdefault("skipped", []).append(row["value"])
        else:
            meta[row["key"]] = row["value"]
    return meta


def spread(values):
    """Median and 95th percentile (nearest rank) of a list of times."""
    if not values:
        return None
    v = sorted(values)
    p95 = v[min(len(v) - 1, max(0, int(round(0.95 * len(v) + 0.5)) - 1))]
    return {"n": len(v), "median": statistics.median(v), "p95": p95, "min": v[0], "max": v[-1]}


def timing_of(rows, column):
    return spread([float(r[column]) for r in rows])


def resolved(t):
    """A timing row as shown: a clock whose samples include one at or
    below zero (a difference of calls drowned in the machine's jitter) is
    not shown, and says so."""
    out = {}
    for clock, v in t.items():
        if v and v.get("min", 1) <= 0:
            out[clock] = {"n": v["n"], "unresolved": True}
        else:
            out[clock] = v
    return out


# ---------------------------------------------------------------- small sensor


def small_summary(folder):
    meta = read_meta(os.path.join(folder, "meta.tsv"))
    enrol = read_tsv(os.path.join(folder, "enrolment.tsv"))
    attempts = read_tsv(os.path.join(folder, "attempts.tsv"))
    timing = read_tsv(os.path.join(folder, "timing.tsv"))
    positions = read_tsv(os.path.join(folder, "positions.tsv"))
    failed = sum(1 for r in enrol if r["saved"] != "1")
    out = {"template_bytes": spread([int(r["bytes"]) for r in enrol if r["saved"] == "1" and "bytes" in r]),
           "peak_rss_kib": int(meta["peak_rss_kib"]) if "peak_rss_kib" in meta else None,
           "window": int(meta["window"]), "seed": int(meta["seed"]),
           "enrol_windows_per_impression": int(meta["enrol_windows"]),
           "probe_windows_per_impression": int(meta["probe_windows"]),
           "enrol_spread_px": int(meta["enrol_spread"]), "probe_spread_px": int(meta["probe_spread"]),
           "fingers": len(enrol), "fte": evalstats.rate(failed, len(enrol)),
           "runs": [], "positions": [[r["use"], r["finger"], int(r["impression"]), int(r["window"]),
                                      int(r["y0"]), int(r["x0"])] for r in positions]}
    runs = {}
    for r in attempts:
        key = (int(r["update"]), int(r["far"]))
        run = runs.setdefault(key, {"gen": {}, "imp": {}, "updated": 0})
        genuine = r["template"] == r["finger"]
        # Trials are grouped by the probe impression: its windows are not
        # independent of each other.
        group = (r["template"], r["finger"], r["impression"])
        side = run["gen" if genuine else "imp"]
        acc, n = side.get(group, (0, 0))
        side[group] = (acc + int(r["accepted"]), n + 1)
        run["updated"] += int(r["updated"])
    for (update, far), run in sorted(runs.items()):
        gen_rej = [(n - a, n) for a, n in run["gen"].values()]
        imp_acc = list(run["imp"].values())
        k_rej, n_gen = sum(x for x, _ in gen_rej), sum(n for _, n in gen_rej)
        k_acc, n_imp = sum(x for x, _ in imp_acc), sum(n for _, n in imp_acc)
        frr_ci = evalstats.clustered_interval(gen_rej)
        far_ci = evalstats.clustered_interval(imp_acc)
        out["runs"].append({
            "update": bool(update), "far_index": far, "far_target": 10 ** (-far / 3),
            "frr": {"k": k_rej, "n": n_gen, "rate": k_rej / n_gen if n_gen else None,
                    "ci95": list(frr_ci) if frr_ci else None, "groups": len(gen_rej)},
            "far": {"k": k_acc, "n": n_imp, "rate": k_acc / n_imp if n_imp else None,
                    "ci95": list(far_ci) if far_ci else None, "groups": len(imp_acc)},
            "templates_updated": run["updated"]})
    out["timing_ms"] = {
        "verification": {"wall": timing_of([t for t in timing if t["operation"] == "verify" and t["update"] == "0"], "wall_ms"),
                         "cpu": timing_of([t for t in timing if t["operation"] == "verify" and t["update"] == "0"], "cpu_ms")},
        "verification_update_on": {"wall": timing_of([t for t in timing if t["operation"] == "verify" and t["update"] == "1"], "wall_ms"),
                                   "cpu": timing_of([t for t in timing if t["operation"] == "verify" and t["update"] == "1"], "cpu_ms")},
        "enrolment": {"wall": timing_of([t for t in timing if t["operation"] == "enrol"], "wall_ms"),
                      "cpu": timing_of([t for t in timing if t["operation"] == "enrol"], "cpu_ms")}}
    slot_path = os.path.join(folder, "slot-timing.tsv")
    slot = read_tsv(slot_path) if os.path.exists(slot_path) else []
    for op, key in (("extract", "extraction"), ("compare", "comparison")):
        rows = [t for t in slot if t["operation"] == op]
        out["timing_ms"][key] = {"wall": timing_of(rows, "wall_ms"), "cpu": timing_of(rows, "cpu_ms")}
    goal_runs = [r for r in out["runs"] if r["far_index"] == GOAL_FAR_INDEX]
    out["goal"] = {
        "text": "FRR <= 2 %% at FAR index %d with no impostor accepted and FTE 0" % GOAL_FAR_INDEX,
        "met": {("update_on" if r["update"] else "update_off"):
                bool(r["frr"]["rate"] is not None and r["frr"]["rate"] <= GOAL_FRR
                     and r["far"]["k"] == 0 and failed == 0) for r in goal_runs}}
    return out


# ---------------------------------------------------------------- coverage and impostor grid


def coverage_maps(folder):
    """The probe -> enrolled impression maps of one set: the generator's
    ground truth when the set came with fpsynth's manifest, else the
    aligner's accepted pairs."""
    manifest = os.path.join(folder, "manifest.csv")
    if os.path.exists(manifest):
        maps = coverage.maps_from_manifest(manifest, PROBE_IMPRESSIONS, ENROL_IMPRESSIONS)
        n = sum(len(v) for v in maps.values())
        return maps, {"source": "generator ground truth (fpsynth manifest.csv)", "aligned_pairs": n,
                      "tried_pairs": n}
    path = os.path.join(folder, "align.tsv")
    if not os.path.exists(path):
        return None, {"source": None, "aligned_pairs": 0, "tried_pairs": 0}
    maps, tried, far = coverage.maps_from_alignment(path)
    meta = {"source": "alignment of 197 x 197 crops (ehmsq-xl, accepted at FAR index %s)" % far,
            "aligned_pairs": sum(len(v) for v in maps.values()), "tried_pairs": tried}
    return maps, meta


def coverage_split(maps, positions, genuine):
    """FRR of the genuine probes by coverage class and by probe impression.
    positions: rows of (use, finger, impression, window, y0, x0);
    genuine: {far: {(finger, impression, window): accepted}}."""
    enrol = {}
    probes = {}
    for use, finger, imp, win, y0, x0 in positions:
        if use == "enrol":
            enrol.setdefault((finger, imp), []).append((y0, x0))
        elif use == "probe":
            probes[(finger, imp, win)] = (finger, imp, y0, x0)
    fraction = {k: (coverage.probe_coverage(maps, enrol, p, SMALL_WINDOW) if maps is not None else None)
                for k, p in probes.items()}
    fars = sorted(genuine)

    def rates_of(keys):
        out = []
        for far in fars:
            tried = [k for k in keys if k in genuine[far]]
            rejected = sum(1 for k in tried if not genuine[far][k])
            out.append(dict(evalstats.rate(rejected, len(tried)), far_index=far))
        return out

    classes = {}
    for name in ("covered", "uncovered", "unknown"):
        keys = [k for k, f in fraction.items() if coverage.coverage_class(f) == name]
        classes[name] = {"probes": len(keys), "frr": rates_of(keys)}
    by_impression = []
    for imp in sorted({k[1] for k in probes}):
        keys = [k for k in probes if k[1] == imp]
        by_impression.append({"impression": imp, "probes": len(keys), "frr": rates_of(keys)})
    return {"classes": classes, "by_impression": by_impression,
            "probes": [[k[0], k[1], k[2], None if f is None else round(f, 4)]
                       for k, f in sorted(fraction.items())]}


def small_genuine(folder):
    """{far: {(finger, impression, window): accepted}} of the small
    protocol's genuine probes, template update off."""
    out = {}
    for r in read_tsv(os.path.join(folder, "attempts.tsv")):
        if r["update"] == "0" and r["template"] == r["finger"]:
            out.setdefault(int(r["far"]), {})[(r["finger"], int(r["impression"]), int(r["window"]))] = \
                r["accepted"] == "1"
    return out


def positions_of(folder):
    return [(r["use"], r["finger"], int(r["impression"]), int(r["window"]), int(r["y0"]), int(r["x0"]))
            for r in read_tsv(os.path.join(folder, "positions.tsv"))]


def grid_summary(folder, maps):
    """The impostor grid: realised FAR per FAR index with its Wilson
    interval, against the target, next to the FRR of the fixed genuine
    probes, and their coverage split."""
    meta = read_meta(os.path.join(folder, "meta.tsv"))
    rows = read_tsv(os.path.join(folder, "attempts.tsv"))
    enrol = read_tsv(os.path.join(folder, "enrolment.tsv"))
    fars = [int(k[3:]) for k in rows[0].keys() if k.startswith("far")] if rows else []
    failed = sum(1 for r in enrol if r["saved"] != "1")
    out = {"fingers": len(enrol), "fte": evalstats.rate(failed, len(enrol)),
           "grid_side": int(meta["grid_side"]), "grid_step": int(meta["grid_step"]),
           "wall_s": float(meta.get("wall_s", 0)), "cpu_s": float(meta.get("cpu_s", 0)), "levels": []}
    imp = [r for r in rows if r["kind"] == "impostor"]
    gen = [r for r in rows if r["kind"] == "genuine"]
    genuine = {}
    for far in fars:
        col = "far%d" % far
        k = sum(int(r[col]) for r in imp)
        target = 10 ** (-far / 3)
        rejected = sum(1 for r in gen if r[col] != "1")
        level = {"far_index": far, "far_target": target,
                 "far": evalstats.rate(k, len(imp)),
                 "frr": evalstats.rate(rejected, len(gen))}
        level["far"]["ratio_to_target"] = (k / len(imp) / target) if imp else None
        level["far"]["calibration"] = evalstats.calibration(k, len(imp), target)
        out["levels"].append(level)
        genuine[far] = {(r["finger"], int(r["impression"]), int(r["window"])): r[col] == "1" for r in gen}
    out["coverage"] = coverage_split(maps, positions_of(folder), genuine)
    return out


def moved_summary(folder):
    """A capture against itself: each window enrolled alone and verified
    with itself and moved by a few pixels.  Per offset and FAR index, the
    windows accepted; and the captures of which every moved window is
    accepted at the strictest index."""
    rows = read_tsv(os.path.join(folder, "attempts.tsv"))
    fars = sorted(int(k[3:]) for k in rows[0].keys() if k.startswith("far")) if rows else []
    offsets = []
    for r in rows:
        d = (int(r["dy"]), int(r["dx"]))
        if d not in offsets:
            offsets.append(d)
    out = {"fars": fars, "captures": len({(r["finger"], r["impression"]) for r in rows}),
           "not_enrolled": len({(r["finger"], r["impression"]) for r in rows if r["saved"] != "1"}),
           "offsets": []}
    for d in offsets:
        at = [r for r in rows if (int(r["dy"]), int(r["dx"])) == d]
        out["offsets"].append({"dy": d[0], "dx": d[1], "n": len(at),
                               "accepted": {str(f): sum(int(r["far%d" % f]) for r in at) for f in fars}})
    if fars:
        strictest = "far%d" % fars[-1]
        moved_ok = {}
        for r in rows:
            if (r["dy"], r["dx"]) != ("0", "0"):
                key = (r["finger"], r["impression"])
                moved_ok[key] = moved_ok.get(key, True) and r[strictest] == "1"
        out["all_moved_accepted"] = {"far_index": fars[-1], "k": sum(moved_ok.values()), "n": len(moved_ok)}
    return out


def pooled_grid(sets):
    """Impostors accepted over every set that ran the grid, per FAR index."""
    grids = [s["grid"] for s in sets if s.get("grid")]
    if len(grids) < 2:
        return None
    out = []
    for far in sorted({lv["far_index"] for g in grids for lv in g["levels"]}):
        levels = [lv for g in grids for lv in g["levels"] if lv["far_index"] == far]
        k, n = sum(lv["far"]["k"] for lv in levels), sum(lv["far"]["n"] for lv in levels)
        r = evalstats.rate(k, n)
        r["ratio_to_target"] = (k / n / 10 ** (-far / 3)) if n else None
        r["calibration"] = evalstats.calibration(k, n, 10 ** (-far / 3))
        out.append({"far_index": far, "far_target": 10 ** (-far / 3), "far": r, "sets": len(levels)})
    return out


# ---------------------------------------------------------------- 1:1 protocol


def det_summary(gen, imp, failures=0):
    s = {"genuine": len(gen), "impostor": len(imp), "failures": failures,
         "eer": evalstats.eer(gen, imp)}
    for name, target in FMR_TARGETS:
        value, resolvable = evalstats.fnmr_at(gen, imp, target)
        s[name] = {"fnmr": value, "resolvable": resolvable}
    zero, _ = evalstats.fnmr_at(gen, imp, 0.0)
    s["fnmr_at_zero_fmr"] = evalstats.rate(round(zero * len(gen)), len(gen))
    return s


def pairs_summary(folder):
    meta = read_meta(os.path.join(folder, "meta.tsv"))
    rows = read_tsv(os.path.join(folder, "scores.tsv"))
    timing = read_tsv(os.path.join(folder, "timing.tsv"))
    gen = [int(r["score"]) for r in rows if r["kind"] == "genuine"]
    imp = [int(r["score"]) for r in rows if r["kind"] == "impostor"]
    out = det_summary(gen, imp, sum(int(r["failed"]) for r in rows))
    out["scores"] = {"genuine": gen, "impostor": imp}
    out["crop"] = int(meta["window"])
    out["far_index"] = int(meta["far"])
    out["positions"] = [[r["finger"], int(r["impression"]), int(r["y0"]), int(r["x0"])]
                        for r in read_tsv(os.path.join(folder, "positions.tsv"))]
    out["timing_ms"] = {op: {"wall": timing_of([t for t in timing if t["operation"] == op], "wall_ms"),
                             "cpu": timing_of([t for t in timing if t["operation"] == op], "cpu_ms")}
                        for op in ("extract", "compare")}
    out["zero_fnmr"] = evalstats.zero_fnmr(gen, imp)
    out["histogram"] = {"genuine": evalstats.histogram(gen), "impostor": evalstats.histogram(imp)}
    out["peak_rss_kib"] = int(meta["peak_rss_kib"]) if "peak_rss_kib" in meta else None
    # The library's own decision at the run's FAR index: the lowest score
    # it accepts there (asked through the engine by lumetra-evaluate-align).
    out["own_threshold"] = None
    thresholds = os.path.join(folder, "thresholds.tsv")
    if os.path.exists(thresholds):
        lowest = {int(r["far"]): int(r["lowest_accepted"]) for r in read_tsv(thresholds)}
        if out["far_index"] in lowest:
            out["own_threshold"] = dict(evalstats.at_lowest_accepted(gen, imp, lowest[out["far_index"]]),
                                        far_index=out["far_index"], lowest_accepted=lowest[out["far_index"]])
    # Extraction and comparison timed directly through the engine, with the
    # templates' sizes; the differences of compare calls above can come out
    # below zero and are not shown.
    engine = os.path.join(folder, "engine-timing.tsv")
    out["engine_timing_ms"], out["template_bytes"] = None, None
    if os.path.exists(engine):
        et = read_tsv(engine)
        out["engine_timing_ms"] = {op: {"wall": timing_of([t for t in et if t["operation"] == op], "wall_ms"),
                                        "cpu": timing_of([t for t in et if t["operation"] == op], "cpu_ms")}
                                   for op in ("extract", "compare")}
        out["template_bytes"] = spread([int(t["bytes"]) for t in et if t["operation"] == "extract"])
    # The worst genuine rejections and the strongest impostors.
    ranked = sorted(rows, key=lambda r: int(r["score"]))
    out["gallery"] = {
        "genuine": [gallery_entry(r) for r in ranked if r["kind"] == "genuine"][:GALLERY_SIZE],
        "impostor": [gallery_entry(r) for r in reversed(ranked) if r["kind"] == "impostor"][:GALLERY_SIZE]}
    return out, (gen, imp)


GALLERY_SIZE = 4


def gallery_entry(r):
    return {"finger_a": r["finger_a"], "impression_a": int(r["impression_a"]), "finger_b": r["finger_b"],
            "impression_b": int(r["impression_b"]), "score": int(r["score"]), "failed": r["failed"] == "1"}


def thumbnail(crops, entry, path):
    """The two crops of a pair side by side, as a PNG."""
    from PIL import Image
    a = Image.open(os.path.join(crops, "%s_%d.bmp" % (entry["finger_a"], entry["impression_a"]))).convert("L")
    b = Image.open(os.path.join(crops, "%s_%d.bmp" % (entry["finger_b"], entry["impression_b"]))).convert("L")
    sheet = Image.new("L", (a.width + b.width + 6, max(a.height, b.height)), 255)
    sheet.paste(a, (0, 0))
    sheet.paste(b, (a.width + 6, 0))
    sheet.thumbnail((2 * 120 + 6, 120))
    sheet.save(path)


def yardstick_summary(folder):
    """libfprint's results on the same crops, or why there are none."""
    status_path = os.path.join(folder, "fprint-status.txt")
    path = os.path.join(folder, "fprint.tsv")
    if not os.path.exists(path):
        why = open(status_path).read().strip() if os.path.exists(status_path) else "not run"
        return {"available": False, "reason": why}, None
    rows = read_tsv(path)
    # The score comes from libfprint's own debug message; a libfprint that
    # words it differently gives none, and its curve would be made up.
    if not any(int(r["score"]) >= 0 for r in rows if r["status"] == "ok"):
        return {"available": False,
                "reason": "libfprint ran, but reported no matcher score (its debug message "
                          "\"score S/T\" was not seen), so no curve can be drawn"}, None
    # A capture the device refused, or a failed enrolment, is a rejection.
    gen = [max(0, int(r["score"])) for r in rows if r["kind"] == "genuine"]
    imp = [max(0, int(r["score"])) for r in rows if r["kind"] == "impostor"]
    out = det_summary(gen, imp, sum(1 for r in rows if r["status"] != "ok"))
    out["available"] = True
    out["scores"] = {"genuine": gen, "impostor": imp}
    out["threshold"] = max(int(r["threshold"]) for r in rows)
    match_g = sum(int(r["match"]) for r in rows if r["kind"] == "genuine")
    match_i = sum(int(r["match"]) for r in rows if r["kind"] == "impostor")
    out["own_threshold"] = {"fnmr": evalstats.rate(len(gen) - match_g, len(gen)),
                            "fmr": evalstats.rate(match_i, len(imp))}
    out["statuses"] = {s: sum(1 for r in rows if r["status"] == s) for s in sorted({r["status"] for r in rows})}
    out["timing_ms"] = {"verification_wall": timing_of([r for r in rows if r["status"] == "ok"], "wall_ms")}
    return out, (gen, imp)


def gathered(folder, meta):
    """The source folder, the files that could not be read (and why), and
    the resolutions that are not the 500 dpi the library works at."""
    out = {"folder": meta["folder"], "skipped": list(meta.get("skipped", [])), "other_resolutions": []}
    source = os.path.join(folder, "source.txt")
    if os.path.exists(source):
        out["folder"] = open(source).read().strip()
    images = os.path.join(folder, "images", "images.tsv")
    if os.path.exists(images):
        for r in read_tsv(images):
            if r["read"] != "1":
                out["skipped"].append("%s: %s" % (r["file"], r["problem"]))
            elif int(r["dpi"]) and abs(int(r["dpi"]) - 500) > 10:
                out["other_resolutions"].append("%s: %s dpi" % (r["file"], r["dpi"]))
    return out


# ---------------------------------------------------------------- plots


def plot_small(path, name, small):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(5.5, 3.8), dpi=100)
    fars = sorted({r["far_index"] for r in small["runs"]})
    width = 0.38
    for j, update in enumerate((False, True)):
        xs, ys, lo, hi = [], [], [], []
        for i, far in enumerate(fars):
            run = next(r for r in small["runs"] if r["far_index"] == far and r["update"] == update)
            rate, ci = run["frr"]["rate"] or 0.0, run["frr"]["ci95"] or [0.0, 0.0]
            xs.append(i + (j - 0.5) * width)
            ys.append(100 * rate)
            lo.append(max(0.0, 100 * (rate - ci[0])))
            hi.append(max(0.0, 100 * (ci[1] - rate)))
        ax.bar(xs, ys, width, yerr=[lo, hi], capsize=3,
               label="template update " + ("on" if update else "off"))
    ax.axhline(100 * GOAL_FRR, color="k", lw=0.8, ls="--", label="goal 2 %")
    ax.set_xticks(range(len(fars)))
    ax.set_xticklabels(["FAR index %d" % f for f in fars])
    ax.set_ylabel("FRR, % (95 % interval)")
    ax.set_title("%s: %d x %d windows" % (name, small["window"], small["window"]))
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, metadata={"Software": None})
    plt.close(fig)


def plot_grid(path, name, levels):
    """Realised FAR of the impostor grid per FAR index (Wilson 95 %) against
    the target 10^(-i/3), log scale."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(5.5, 3.8), dpi=100)
    xs = [lv["far_index"] for lv in levels]
    n = max(lv["far"]["n"] for lv in levels) or 1
    floor = 0.3 / n   # where "none accepted" is drawn on a log axis
    ys = [max(lv["far"]["rate"] or 0.0, floor) for lv in levels]
    lo = [y - max(lv["far"]["ci95"][0], floor) if lv["far"]["ci95"] else 0 for y, lv in zip(ys, levels)]
    hi = [lv["far"]["ci95"][1] - y if lv["far"]["ci95"] else 0 for y, lv in zip(ys, levels)]
    ax.errorbar(xs, ys, yerr=[[max(0, v) for v in lo], [max(0, v) for v in hi]], fmt="o", capsize=3,
                label="realised (95 % Wilson); none accepted drawn at 0.3/n")
    grid_x = list(range(min(xs) - 1, max(xs) + 2))
    ax.plot(grid_x, [10 ** (-x / 3) for x in grid_x], "k--", lw=0.8, label="target 10^(-i/3)")
    ax.set_yscale("log")
    ax.set_xlabel("FAR index")
    ax.set_ylabel("impostor windows accepted")
    ax.set_title("%s: impostor grid, %d attempts" % (name, n))
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, metadata={"Software": None})
    plt.close(fig)


# ---------------------------------------------------------------- machine


def machine(load_start):
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        load_end = open("/proc/loadavg").read().split()[:3]
    except OSError:
        load_end = []
    return {"cpu": model, "cores": os.cpu_count(), "system": platform.platform(),
            "load_at_start": load_start.split() if load_start else None, "load_at_end": load_end}


# ---------------------------------------------------------------- page


def pct(v, digits=2):
    return "n/a" if v is None else "%.*f %%" % (digits, 100 * v)


def v_max(t):
    return t.get("max", t["p95"])


def kib(v):
    return "n/a" if not v else "%.1f MiB" % (v / 1024)


def ci_text(r):
    if r is None or r.get("ci95") is None:
        return "n/a"
    return "%s (%d/%d; 95 %% CI %s – %s)" % (pct(r["rate"]), r["k"], r["n"], pct(r["ci95"][0]), pct(r["ci95"][1]))


def ms(t):
    if not t:
        return "n/a"
    if t.get("unresolved"):
        return "not resolved"
    return "%.2f / %.2f" % (t["median"], t["p95"])


def det_row(label, d):
    cells = [label, pct(d["eer"])]
    for name, _ in FMR_TARGETS:
        cell = pct(d[name]["fnmr"])
        if not d[name]["resolvable"]:
            cell += "*"
        cells.append(cell)
    cells.append(ci_text(d["fnmr_at_zero_fmr"]))
    cells.append("%d / %d" % (d["genuine"], d["impostor"]))
    cells.append(str(d["failures"]))
    return "<tr>" + "".join("<td>%s</td>" % html.escape(c) for c in cells) + "</tr>"


def far_text(r):
    """A false-accept count with its rate in scientific notation."""
    if r["ci95"] is None:
        return "n/a"
    return "%d/%d (%.2e; 95 %% CI %.2e – %.2e)" % (r["k"], r["n"], r["rate"], r["ci95"][0], r["ci95"][1])


def ratio_text(r):
    return "n/a" if r.get("ratio_to_target") is None else "%.2f" % r["ratio_to_target"]


def calibration_text(r):
    """The factor-of-2 verdict of a realised rate, as the tables show it."""
    c = r.get("calibration")
    if not c:
        return "n/a"
    words = {"within": "within a factor of 2", "under": "under half the target",
             "over": "over twice the target", "not resolved": "not resolved by the counts"}[c["verdict"]]
    if c["resolved"] and c["verdict"] != "within" and c["interval_reaches_band"]:
        words += " (interval reaches the band)"
    return words


def render_coverage(cov, split, what):
    e = html.escape
    fars = [x["far_index"] for x in split["classes"]["covered"]["frr"]]
    head = "".join("<th>FRR at FAR index %d</th>" % f for f in fars)
    p = ["<h4>Coverage of the %s</h4>" % e(what),
         "<p>A probe is covered when at least %d %% of its window lies inside the enrolment windows, "
         "mapped through %s (%d of %d probe/enrolled impression pairs related); unknown when none of "
         "its finger's enrolled impressions could be related to the probe's impression. Template update "
         "off.</p>" % (round(100 * cov["covered_fraction"]), e(cov["source"] or "nothing (no alignment table)"),
                       cov["aligned_pairs"], cov["tried_pairs"]),
         "<table><tr><th>probes</th><th>count</th>%s</tr>" % head]
    for name, c in split["classes"].items():
        p.append("<tr><td>%s</td><td>%d</td>%s</tr>" % (name, c["probes"], "".join(
            "<td>%s</td>" % e(ci_text(r)) for r in c["frr"])))
    for b in split["by_impression"]:
        p.append("<tr><td>impression %d</td><td>%d</td>%s</tr>" % (b["impression"], b["probes"], "".join(
            "<td>%s</td>" % e(ci_text(r)) for r in b["frr"])))
    p.append("</table>")
    return p


def render_grid(g, plot, cov):
    e = html.escape
    p = ["<h3>Impostor grid (88 x 88, ehmsq-xs)</h3>",
         "<p>Enrolment: 8 fixed windows (offsets 0 and ±28 px) of each of impressions 1–4; genuine probes: "
         "4 windows (±14 px) of each of impressions 5–8; impostors: a %d x %d grid of windows (offsets "
         "%d … %d px, step %d) on every impression of every other finger; verification mode 0, update off. "
         "Impostor windows are verified again at the next FAR index only when accepted (a rejection holds "
         "at every stricter index). Intervals: Wilson 95 %% over the attempts. FTE %s. %.0f s (CPU %.0f s)."
         "</p>" % (g["grid_side"], g["grid_side"], -g["grid_step"] * (g["grid_side"] // 2),
                   g["grid_step"] * (g["grid_side"] // 2), g["grid_step"], e(ci_text(g["fte"])),
                   g["wall_s"], g["cpu_s"]),
         "<table><tr><th>FAR index</th><th>target</th><th>impostors accepted</th><th>realised / target</th>"
         "<th>calibration</th><th>FRR</th></tr>"]
    for lv in g["levels"]:
        p.append("<tr><td>%d</td><td>%.1e</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>" % (
            lv["far_index"], lv["far_target"], e(far_text(lv["far"])), ratio_text(lv["far"]),
            e(calibration_text(lv["far"])), e(ci_text(lv["frr"]))))
    p.append("</table><img src='%s' alt='realised FAR per FAR index'>" % e(plot))
    p.extend(render_coverage(cov, g["coverage"], "impostor-grid protocol's genuine probes"))
    return p


def render_moved(m):
    e = html.escape
    p = ["<h3>A capture against itself (88 x 88, ehmsq-xs)</h3>",
         "<p>Each impression's window at the print's foreground centre enrolled on its own (one capture, "
         "one slot) and verified with the same window, and with it moved by the offsets below (rows, "
         "columns, in pixels); verification mode 0, update off; windows accepted of %d. %s</p>" % (
             m["captures"], "Enrolment failed for %d captures (counted as rejected)." % m["not_enrolled"]
             if m["not_enrolled"] else ""),
         "<table><tr><th>offset</th>%s</tr>" % "".join("<th>FAR index %d</th>" % f for f in m["fars"])]
    for o in m["offsets"]:
        p.append("<tr><td>%s</td>%s</tr>" % (
            "itself" if (o["dy"], o["dx"]) == (0, 0) else "%+d, %+d" % (o["dy"], o["dx"]),
            "".join("<td>%d</td>" % o["accepted"][str(f)] for f in m["fars"])))
    p.append("</table>")
    if m.get("all_moved_accepted"):
        a = m["all_moved_accepted"]
        p.append("<p>Captures with every moved window accepted at FAR index %d: %d of %d.</p>"
                 % (a["far_index"], a["k"], a["n"]))
    return p


def render(summary):
    e = html.escape
    p = ["<!DOCTYPE html><html><head><meta charset='utf-8'><title>Lumetra evaluation</title>",
         "<style>body{font-family:sans-serif;max-width:1100px;margin:auto;padding:1em}"
         "table{border-collapse:collapse;margin:0.5em 0}td,th{border:1px solid #bbb;padding:3px 7px;"
         "text-align:right}th{background:#eee}td:first-child{text-align:left}.no{color:#a00}.yes{color:#070}"
         "</style></head><body>",
         "<h1>Lumetra evaluation report</h1>"]
    m = summary["machine"]
    p.append("<p>Library %s, built from revision %s. Machine: %s, %s cores, load %s at start, %s at end (%s). Run took %s s. "
             "Command: <code>%s</code></p>" % (
                 e(summary["library_version"]), e(summary["source_revision"] or "unknown"), e(m["cpu"]), m["cores"],
                 e(" ".join(m["load_at_start"] or ["?"])), e(" ".join(m["load_at_end"] or ["?"])),
                 e(m["system"]), summary["elapsed_s"], e(summary["command"])))
    p.append("<p>Input: folders of <code>&lt;finger&gt;_&lt;impression&gt;.&lt;ext&gt;</code>. %s</p>"
             % e(summary["input_note"]))
    for s in summary["sets"]:
        p.append("<h2>%s</h2><p>%d fingers, %d images read from <code>%s</code>.</p>" % (
            e(s["name"]), s["fingers"], s["images"], e(s["folder"])))
        if s.get("skipped"):
            p.append("<p>Not read: %s</p>" % e("; ".join(s["skipped"])))
        if s.get("other_resolutions"):
            p.append("<p>Brought to 500 dpi from the resolution the file states: %s</p>"
                     % e("; ".join(s["other_resolutions"])))
        sm = s["small"]
        p.append("<h3>Small sensor (%d x %d windows, ehmsq-xs)</h3>" % (sm["window"], sm["window"]))
        p.append("<p>Enrolment: %d windows from each of impressions 1–4 (offsets up to ±%d px from the "
                 "foreground centre); probes: %d windows of each of impressions 5–8 (±%d px) of the same "
                 "finger and of every other finger; verification mode 0, one slot. Window positions "
                 "from seed %d (all in summary.json). FTE %s.</p>" % (
                     sm["enrol_windows_per_impression"], sm["enrol_spread_px"],
                     sm["probe_windows_per_impression"], sm["probe_spread_px"], sm["seed"],
                     e(ci_text(sm["fte"]))))
        p.append("<table><tr><th>template update</th><th>FAR index</th><th>FRR</th><th>realised FAR</th>"
                 "<th>templates updated</th></tr>")
        for r in sm["runs"]:
            p.append("<tr><td>%s</td><td>%d (1 in %.0f)</td><td>%s</td><td>%s</td><td>%d</td></tr>" % (
                "on" if r["update"] else "off", r["far_index"], 1 / r["far_target"],
                e(ci_text(r["frr"])), e(ci_text(r["far"])), r["templates_updated"]))
        p.append("</table>")
        goal = sm["goal"]
        p.append("<p>Goal (%s): %s</p>" % (e(goal["text"]), ", ".join(
            "%s <span class='%s'>%s</span>" % (k.replace("_", " "), "yes" if v else "no", "met" if v else "not met")
            for k, v in goal["met"].items())))
        p.append("<img src='%s' alt='FRR per FAR index'>" % e(s["plots"]["small"]))
        p.extend(render_coverage(s["coverage"], s["coverage"]["small"], "small-sensor probes above"))
        if s["grid"]:
            p.extend(render_grid(s["grid"], s["plots"]["grid"], s["coverage"]))
        if s.get("moved"):
            p.extend(render_moved(s["moved"]))
        p.append("<h3>1:1 comparisons (FVC protocol)</h3><p>Genuine: every impression against every later "
                 "one of the same finger; impostor: first impressions of different fingers. One crop per "
                 "impression at the print's foreground centre.</p>")
        p.append("<table><tr><th>matcher</th><th>EER</th><th>FMR100</th><th>FMR1000</th><th>FMR10000</th>"
                 "<th>FNMR at zero FMR</th><th>genuine / impostor</th><th>failures</th></tr>")
        for name, d in s["pairs"].items():
            p.append(det_row("Lumetra %s (%d x %d)" % (name, d["crop"], d["crop"]), d))
        y = s["yardstick"]
        if y["available"]:
            p.append(det_row("libfprint (same %s crops)" % YARDSTICK_CONFIG, y))
        p.append("</table><p>* the impostor comparisons are too few to resolve that FMR: the figure is the "
                 "FNMR at the lowest threshold with no more false matches than the target allows, which with "
                 "fewer than 1/target impostors means none.</p>")
        if y["available"]:
            p.append("<p>libfprint %s: its own decision (bozorth3 score at least %d) rejects %s of genuine "
                     "pairs and accepts %s of impostors; capture outcomes %s.</p>" % (
                         e(summary["yardstick_version"]), y["threshold"], e(ci_text(y["own_threshold"]["fnmr"])),
                         e(ci_text(y["own_threshold"]["fmr"])), e(json.dumps(y["statuses"]))))
            gl = s["goal_1to1"]
            p.append("<p>Goal (FNMR at zero false matches at most a third of libfprint's on the same crops): "
                     "%s vs %s: <span class='%s'>%s</span></p>" % (
                         pct(gl["ours"]), pct(gl["yardstick"]), "yes" if gl["met"] else "no",
                         "met" if gl["met"] else "not met"))
        else:
            p.append("<p class='no'>libfprint yardstick not available: %s</p>" % e(y["reason"]))
        p.append("<img src='%s' alt='DET curves'>" % e(s["plots"]["det"]))
        p.append("<h4>Scores, thresholds and memory</h4><table><tr><th>matcher</th><th>library's threshold "
                 "(lowest score accepted)</th><th>FNMR there</th><th>FMR there</th><th>ZeroFNMR</th>"
                 "<th>template bytes (median / max)</th><th>peak memory of the run</th></tr>")
        for name, d in s["pairs"].items():
            own = d["own_threshold"]
            tb = d["template_bytes"]
            p.append("<tr><td>Lumetra %s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>" % (
                e(name), "FAR index %d: %d" % (own["far_index"], own["lowest_accepted"]) if own else "n/a",
                e(ci_text(own["fnmr"])) if own else "n/a", e(ci_text(own["fmr"])) if own else "n/a",
                pct(d["zero_fnmr"]), "%d / %d" % (tb["median"], v_max(tb)) if tb else "n/a",
                kib(d["peak_rss_kib"])))
        sm_bytes = sm.get("template_bytes")
        p.append("<tr><td>Lumetra ehmsq-xs, enrolled (32 captures)</td><td colspan='4'>(small sensor: see "
                 "above)</td><td>%s</td><td>%s</td></tr></table>" % (
                     "%d / %d" % (sm_bytes["median"], v_max(sm_bytes)) if sm_bytes else "n/a",
                     kib(sm.get("peak_rss_kib"))))
        p.append("<p>ZeroFNMR: the lowest FMR at a threshold that rejects no genuine pair. Template bytes: the "
                 "encoded template of one crop (1:1) or the enrolled record (small sensor); the library's slot "
                 "store holds 5 x 32 KiB besides. Peak memory: the evaluation program's resident maximum.</p>")
        for name, d in s["pairs"].items():
            p.append("<img src='%s' alt='score distributions, FMR(t)/FNMR(t) and DET of %s'>" % (
                e(s["plots"]["scores-" + name]), e(name)))
            p.append("<h4>%s: the worst genuine rejections and the strongest impostors</h4><table>" % e(name))
            for kind, label in (("genuine", "genuine, lowest scores"), ("impostor", "impostor, highest scores")):
                p.append("<tr><th>%s</th>%s</tr>" % (e(label), "".join(
                    "<td><img src='%s' alt='%s'><br>%s_%d vs %s_%d: %d%s</td>" % (
                        e(g["thumbnail"]), e(kind), e(g["finger_a"]), g["impression_a"], e(g["finger_b"]),
                        g["impression_b"], g["score"], " (failed)" if g["failed"] else "")
                    for g in d["gallery"][kind])))
            p.append("</table>")
        p.append("<h3>Timing (ms, median / 95th percentile)</h3><table><tr><th>operation</th><th>wall</th>"
                 "<th>CPU</th><th>samples</th></tr>")
        for label, t in s["timing_rows"]:
            p.append("<tr><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>" % (
                e(label), ms(t.get("wall")), ms(t.get("cpu")), (t.get("wall") or {}).get("n", "n/a")))
        p.append("</table>")
    if summary.get("pooled_grid"):
        p.append("<h2>Impostor grid, all sets</h2><table><tr><th>FAR index</th><th>target</th>"
                 "<th>impostors accepted</th><th>realised / target</th><th>calibration</th><th>sets</th></tr>")
        for lv in summary["pooled_grid"]:
            p.append("<tr><td>%d</td><td>%.1e</td><td>%s</td><td>%s</td><td>%s</td><td>%d</td></tr>" % (
                lv["far_index"], lv["far_target"], e(far_text(lv["far"])), ratio_text(lv["far"]),
                e(calibration_text(lv["far"])), lv["sets"]))
        p.append("</table>")
    p.append("<h2>Method</h2><p>%s</p></body></html>" % e(summary["method"]))
    return "\n".join(p)


METHOD = (
    "Every accuracy and speed figure runs through liblumetra.so's public exports, as a host calls them, except "
    "what the exports do not give, which goes through the engine (lumetra-evaluate-align): the alignment of "
    "197 x 197 crops of whole impressions for the coverage split, the configurations' thresholds, and the 1:1 "
    "extraction and comparison times. The library picks its "
    "configuration from the sensor geometry: 88 x 88 builds ehmsq-xs, 197 x 197 ehmsq-xl, 158 x 158 ehmsq-l. "
    "Small sensor: nerio_qx_enroll_Image / nerio_qx_save_tpl, then init_alg_tpl_data and nerio_qx_verify "
    "(mode 0); the slot is reloaded from the enrolled record before each run, and with template update on the "
    "probes come in table order (fingers, impressions 5-8, windows). Intervals: Wilson 95 %; for the small "
    "sensor the windows of one impression are grouped (design effect of the ratio estimator; when no or every "
    "trial fails, each impression counts as one trial). 1:1: nerio_get_score_from_two_image_compare; a result "
    "of 1 (the export's failure) counts as a rejection with score 0. EER interpolated linearly where FNMR - FMR "
    "changes sign; a comparison is accepted when its score is above the threshold. Timing: verification is "
    "one nerio_qx_verify call with one slot loaded, enrolment 32 captures plus the save. A rejected probe is "
    "compared with every loaded slot, so for the small sensor one comparison with an enrolled template is "
    "(t(5 slots) - t(1 slot)) / 4 and one extraction t(1 slot) minus that, each term the least of 3 calls, "
    "with impostor windows at FAR index 27; a clock with a difference at or below zero is shown as not "
    "resolved. For the 1:1 configurations one extraction and one template-to-template comparison are "
    "timed directly through the engine on the same crops, the least of 3 calls. Wall clock and the thread's CPU time, on a machine shared with other jobs. Yardstick: libfprint's virtual image device "
    "enrols the first crop of a pair (the same crop for each of its enrolment stages) and verifies the second; "
    "its bozorth3 score is read from libfprint's own debug message, a refused capture counts as score 0.")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--work", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--set", action="append", required=True)
    ap.add_argument("--command", default="")
    ap.add_argument("--elapsed", type=float, default=None)
    ap.add_argument("--load-start", default="")
    ap.add_argument("--yardstick-version", default="")
    ap.add_argument("--source", default="", help="the project revision the programs were built from")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    summary = {"command": args.command, "elapsed_s": args.elapsed, "machine": machine(args.load_start),
               "source_revision": args.source,
               "yardstick_version": args.yardstick_version, "method": METHOD,
               "input_note": "BMP, TIFF, PNG and PGM files are read by the tools' shared image readers "
                             "(tools/imageio) and handed to the library as 8-bit bitmaps.", "sets": []}
    for name in args.set:
        folder = os.path.join(args.work, name)
        small = small_summary(os.path.join(folder, "small"))
        meta = read_meta(os.path.join(folder, "small", "meta.tsv"))
        summary["library_version"] = meta["library_version"]
        s = {"name": name, "fingers": int(meta["fingers"]), "images": int(meta["images"]),
             "small": small, "pairs": {}}
        s.update(gathered(folder, meta))
        maps, s["coverage"] = coverage_maps(folder)
        s["coverage"]["covered_fraction"] = coverage.COVERED_FRACTION
        s["coverage"]["small"] = coverage_split(maps, positions_of(os.path.join(folder, "small")),
                                                small_genuine(os.path.join(folder, "small")))
        grid_dir = os.path.join(folder, "grid")
        s["grid"] = grid_summary(grid_dir, maps) if os.path.exists(os.path.join(grid_dir, "attempts.tsv")) else None
        moved_dir = os.path.join(folder, "moved")
        s["moved"] = moved_summary(moved_dir) if os.path.exists(os.path.join(moved_dir, "attempts.tsv")) else None
        curves = {}
        for config, crop in PAIR_CONFIGS:
            d = os.path.join(folder, "pairs-" + config)
            s["pairs"][config], curves["Lumetra %s (%d px)" % (config, crop)] = pairs_summary(d)
        s["yardstick"], yard_scores = yardstick_summary(os.path.join(folder, "pairs-" + YARDSTICK_CONFIG))
        if yard_scores is not None:
            curves["libfprint (%d px)" % dict(PAIR_CONFIGS)[YARDSTICK_CONFIG]] = yard_scores
            ours = s["pairs"][YARDSTICK_CONFIG]["fnmr_at_zero_fmr"]["rate"]
            theirs = s["yardstick"]["fnmr_at_zero_fmr"]["rate"]
            s["goal_1to1"] = {"ours": ours, "yardstick": theirs, "met": ours <= theirs / 3}
        s["plots"] = {"small": "small-%s.png" % name, "det": "det-%s.png" % name}
        for config, crop in PAIR_CONFIGS:
            d = s["pairs"][config]
            s["plots"]["scores-" + config] = "scores-%s-%s.png" % (name, config)
            own = d["own_threshold"]["lowest_accepted"] if d["own_threshold"] else None
            evalstats.plot_scores(os.path.join(args.out, s["plots"]["scores-" + config]),
                                  "%s: Lumetra %s (%d x %d), 1:1" % (name, config, crop, crop),
                                  d["scores"]["genuine"], d["scores"]["impostor"], own)
            crops = os.path.join(folder, "pairs-" + config, "crops")
            for kind in ("genuine", "impostor"):
                for k, entry in enumerate(d["gallery"][kind]):
                    entry["thumbnail"] = "pair-%s-%s-%s-%d.png" % (name, config, kind, k)
                    thumbnail(crops, entry, os.path.join(args.out, entry["thumbnail"]))
        plot_small(os.path.join(args.out, s["plots"]["small"]), name, small)
        if s["grid"]:
            s["plots"]["grid"] = "grid-%s.png" % name
            plot_grid(os.path.join(args.out, s["plots"]["grid"]), name, s["grid"]["levels"])
        evalstats.plot_det(os.path.join(args.out, s["plots"]["det"]),
                           "%s: FVC 1:1 protocol" % name, curves)
        rows = [("small sensor: one verification (update off)", small["timing_ms"]["verification"]),
                ("small sensor: one verification (update on)", small["timing_ms"]["verification_update_on"]),
                ("small sensor: one enrolment (32 captures + save)", small["timing_ms"]["enrolment"]),
                ("ehmsq-xs: one extraction (88 x 88, from verification)", small["timing_ms"]["extraction"]),
                ("ehmsq-xs: one comparison with an enrolled template (from verification)",
                 small["timing_ms"]["comparison"])]
        for config, crop in PAIR_CONFIGS:
            t = s["pairs"][config]["engine_timing_ms"]
            if t:
                rows.append(("%s: one extraction (%d x %d, engine call)" % (config, crop, crop), t["extract"]))
                rows.append(("%s: one comparison of two templates (engine call)" % config, t["compare"]))
        rows = [(label, resolved(t)) for label, t in rows]
        if s["yardstick"]["available"]:
            rows.append(("libfprint: one verification (capture, detection, match)",
                         {"wall": s["yardstick"]["timing_ms"]["verification_wall"]}))
        s["timing_rows"] = rows
        for src in ("small", "pairs-ehmsq-xl"):
            shutil.copyfile(os.path.join(folder, src, "positions.tsv"),
                            os.path.join(args.out, "positions-%s-%s.tsv" % (name, src)))
        summary["sets"].append(s)
    summary["pooled_grid"] = pooled_grid(summary["sets"])
    with open(os.path.join(args.out, "summary.json"), "w") as f:
        json.dump(summary, f, indent=1)
    with open(os.path.join(args.out, "index.html"), "w") as f:
        f.write(render(summary))
    for s in summary["sets"]:
        sm = s["small"]
        line = "; ".join("update %s FAR %d: FRR %s FAR %s" % ("on" if r["update"] else "off", r["far_index"],
                                                               pct(r["frr"]["rate"]), pct(r["far"]["rate"], 3))
                         for r in sm["runs"])
        print("%s: FTE %s; %s" % (s["name"], pct(sm["fte"]["rate"]), line))
        for config, d in s["pairs"].items():
            print("%s: %s EER %s, FNMR@0FMR %s" % (s["name"], config, pct(d["eer"]),
                                                   pct(d["fnmr_at_zero_fmr"]["rate"])))
        if s["grid"]:
            print("%s: impostor grid: %s" % (s["name"], "; ".join(
                "FAR %d: %d/%d accepted (%.1e, %s), FRR %s" % (
                    lv["far_index"], lv["far"]["k"], lv["far"]["n"], lv["far"]["rate"] or 0,
                    lv["far"]["calibration"]["verdict"], pct(lv["frr"]["rate"]))
                for lv in s["grid"]["levels"])))
        if s.get("moved") and s["moved"].get("all_moved_accepted"):
            a = s["moved"]["all_moved_accepted"]
            print("%s: itself accepted at FAR %d: %d/%d; every moved window accepted: %d/%d" % (
                s["name"], a["far_index"], s["moved"]["offsets"][0]["accepted"][str(a["far_index"])],
                s["moved"]["offsets"][0]["n"], a["k"], a["n"]))
        if s["yardstick"]["available"]:
            print("%s: libfprint EER %s, FNMR@0FMR %s" % (s["name"], pct(s["yardstick"]["eer"]),
                                                         pct(s["yardstick"]["fnmr_at_zero_fmr"]["rate"])))
    print("report: %s" % os.path.join(args.out, "index.html"))


if __name__ == "__main__":
    main()
