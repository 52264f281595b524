"""Verification models in the engine's integer form.

A model is one coefficient record per feature score: clamps, a 16.16 mean, a
scale and a signed 16-bit weight (and a quadratic weight in quadratic
models).  `predict` computes exactly what the engine's
qx_ml_predict_linear_score computes, with the same truncations, so that the
thresholds estimated here hold for the scores the library will produce.
"""

from dataclasses import dataclass

CENTRE = 4096
MAX_SCORE = 65535


def tdiv(a, b):
    """Integer division truncating toward zero, as C does."""
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


@dataclass
class Record:
    lower: int
    upper: int
    mean: int        # 16.16 fixed point
    scale: int       # unsigned 32-bit
    weight: int      # signed 16-bit
    quadratic_weight: int = 0


def predict(vector, records, quadratic, normalisation):
    total = 0
    acc = 0
    for x, r in zip(vector, records):
        x = min(max(int(x), r.lower), r.upper)
        v = x << 16
        m = r.mean
        d = abs(v - m)
        t = tdiv(r.weight * d, r.scale) if r.scale else 0
        acc += -t if m > v else t
        total += abs(r.weight) if normalisation else r.weight
        if quadratic:
            if r.scale:
                acc += tdiv((d * d // r.scale) * r.quadratic_weight, r.scale)
            total += abs(r.quadratic_weight) if normalisation else r.quadratic_weight
    if normalisation:
        total = tdiv(total, 8)
        if normalisation == 2:
            total = -total
    if total == 0:
        return 0
    q = tdiv(acc * CENTRE, total) + CENTRE
    return max(0, min(MAX_SCORE, q))


def predict_many(rows, records, quadratic, normalisation):
    return [predict(r, records, quadratic, normalisation) for r in rows]
