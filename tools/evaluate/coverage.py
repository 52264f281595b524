"""Coverage of the genuine probes of the small-sensor protocols: does the
region a probe window shows lie inside what enrolment captured?

Each probe impression is related to each enrolled impression of its finger
by a rigid map of full-image pixel coordinates (probe -> enrolled): from the
generator's ground truth for generated prints (fpsynth's manifest.csv gives
each impression's map from the master print), otherwise from
lumetra-evaluate-align, which compares large crops of the two impressions
with the "ehmsq-xl" configuration and keeps the alignment of the pairs it
accepts.  A grid of points over the probe window is mapped onto every
enrolled impression; a point is covered when it falls inside one of the
enrolment windows cut from that impression.  The probe's coverage is the
fraction of its points covered by any enrolled impression.

An enrolled impression the aligner does not accept is taken as showing too
little of the probe's region to cover it (the large crops of one finger
match unless they barely overlap); a probe none of whose enrolled
impressions is aligned has no coverage ("unknown").
"""
import csv
import math
import os

COVERED_FRACTION = 0.75   # a probe is "covered" from this fraction of its area on
POINTS = 8                # points per side of the grid laid over a probe window


def _matrix(a, b, c, d, e, f):
    return ((a, b, c), (d, e, f))


def _compose(m2, m1):
    """m2 after m1 (both 2 x 3 affine maps)."""
    (a2, b2, c2), (d2, e2, f2) = m2
    (a1, b1, c1), (d1, e1, f1) = m1
    return ((a2 * a1 + b2 * d1, a2 * b1 + b2 * e1, a2 * c1 + b2 * f1 + c2),
            (d2 * a1 + e2 * d1, d2 * b1 + e2 * e1, d2 * c1 + e2 * f1 + f2))


def _invert(m):
    (a, b, c), (d, e, f) = m
    det = a * e - b * d
    ia, ib, id_, ie = e / det, -b / det, -d / det, a / det
    return ((ia, ib, -(ia * c + ib * f)), (id_, ie, -(id_ * c + ie * f)))


def apply(m, x, y):
    (a, b, c), (d, e, f) = m
    return a * x + b * y + c, d * x + e * y + f


def _finger_and_impression(file_name):
    """`<finger>_<impression>.<ext>` -> (finger, impression) as the
    evaluation names them (the impression without leading zeros)."""
    stem = os.path.splitext(os.path.basename(file_name))[0]
    finger, _, number = stem.rpartition("_")
    return finger, int(number)


def maps_from_manifest(path, probe_impressions, enrol_impressions):
    """{(finger, probe): {enrol: map}} from fpsynth's manifest (each row's
    a..f map the master print onto the impression)."""
    to_imp = {}
    with open(path, newline="") as f:
        for r in csv.DictReader(f):
            key = _finger_and_impression(r["file"])
            to_imp[key] = _matrix(*(float(r[k]) for k in "abcdef"))
    maps = {}
    for (finger, p), mp in to_imp.items():
        if p not in probe_impressions:
            continue
        back = _invert(mp)
        for e in enrol_impressions:
            if (finger, e) in to_imp:
                maps.setdefault((finger, p), {})[e] = _compose(to_imp[(finger, e)], back)
    return maps


def maps_from_alignment(path):
    """{(finger, probe): {enrol: map}} from lumetra-evaluate-align's table,
    the pairs it accepted only; the number of pairs it tried and the FAR
    index it accepted them at."""
    maps, tried, far = {}, 0, None
    with open(path, newline="") as f:
        for r in csv.DictReader(f, delimiter="\t"):
            tried += 1
            far = int(r["far"])
            if r["decision"] != "1" or not r["a"]:
                continue
            maps.setdefault((r["finger"], int(r["probe"])), {})[int(r["enrol"])] = \
                _matrix(*(float(r[k]) for k in "abcdef"))
    return maps, tried, far


def probe_coverage(maps, enrol_windows, probe, size):
    """Fraction of the probe window (finger, impression, y0, x0) inside the
    enrolment windows {(finger, impression): [(y0, x0), ...]}, or None when
    no enrolled impression is aligned with the probe's."""
    finger, impression, y0, x0 = probe
    aligned = maps.get((finger, impression), {})
    aligned = {e: m for e, m in aligned.items() if enrol_windows.get((finger, e))}
    if not aligned:
        return None
    covered = 0
    step = size / POINTS
    for i in range(POINTS):
        for j in range(POINTS):
            x, y = x0 + (j + 0.5) * step, y0 + (i + 0.5) * step
            for e, m in aligned.items():
                xe, ye = apply(m, x, y)
                if any(wx <= xe < wx + size and wy <= ye < wy + size for wy, wx in enrol_windows[(finger, e)]):
                    covered += 1
                    break
    return covered / (POINTS * POINTS)


def coverage_class(fraction):
    if fraction is None:
        return "unknown"
    return "covered" if fraction >= COVERED_FRACTION else "uncovered"


def rotation_degrees(m):
    return math.degrees(math.atan2(m[1][0], m[0][0]))
