"""Verification models in the engine's integer form.

A model is one coefficient record per feature score: clamps, a 16.16 mean, a
scale and a signed 16-bit weight (and a quadratic weight in quadratic
models).  `predict` computes exactly what the engine's
qx_ml_predict_linear_score computes, with the same truncations, so that the
thresholds estimated here hold for the scores the library will produce.
"""

import math
from dataclasses import dataclass

import numpy as np

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


class Discriminant:
    """The fitted discriminant on clamped scores standardised by (mu, sigma):
    beta . z (+ gamma . z^2 for quadratic models); scores not used are 0."""

    def _design(self, clamped):
        z = (clamped - self.mu) / self.sigma
        z[:, ~self.used] = 0.0
        return np.hstack([z, z * z]) if self.quadratic else z

    def decision(self, x):
        c = np.clip(x, self.lower, self.upper).astype(float)
        z = (c - self.mu) / self.sigma
        z[:, ~self.used] = 0.0
        return z @ self.beta + (z * z) @ self.gamma

    def scaled_records(self, k):
        """One record per score: the clamps, mean and deviation in 16.16
        (scale = deviation * 65536, so a record adds weight * z) and the
        weights K * beta, K * gamma; unused scores get no weight."""
        return [Record(
            lower=int(self.lower[i]), upper=int(self.upper[i]),
            mean=int(round(self.mu[i] * 65536.0)),
            scale=max(1, int(round(self.sigma[i] * 65536.0))),
            weight=int(round(self.beta[i] * k)) if self.used[i] else 0,
            quadratic_weight=int(round(self.gamma[i] * k)) if (self.used[i] and self.quadratic) else 0)
            for i in range(len(self.lower))]


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


def tail_thresholds(samples, cols, tail_fraction, min_exceeding):
    """Column i: the score impostors exceed with probability 10^(-i/3): the
    empirical quantile while at least min_exceeding scores lie above it,
    beyond that an exponential tail fitted to the top tail_fraction of the
    scores (P(s > u + x) = p_u exp(-x / beta)).  Also returns the tail."""
    x = np.sort(np.asarray(samples))[::-1]
    n = len(x)
    top = max(20, int(n * tail_fraction))
    u = x[top - 1]
    p_u = top / n
    beta = max(1.0, float(np.mean(x[:top] - u)))
    out = [0]
    for i in range(1, cols):
        p = 10.0 ** (-i / 3.0)
        if n * p >= min_exceeding:
            t = int(x[int(math.floor(p * n))])
        else:
            t = int(round(u + beta * math.log(p_u / p)))
        out.append(t)
    return out, (n, int(u), p_u, beta)


def enforce_table_shape(table):
    """The shape the decision relies on: column 0 is 0 (index 0 accepts
    everything), thresholds rise strictly along a row and never fall down a
    column, and none reaches 65535, which would mean "missing"."""
    for r in range(len(table)):
        table[r][0] = 0
        for i in range(1, len(table[r])):
            lo = table[r][i - 1] + 1
            if r > 0:
                lo = max(lo, table[r - 1][i])
            table[r][i] = min(65534, max(table[r][i], lo))
    return table
