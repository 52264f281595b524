"""Monotone score models for the hybrid verifier.

Each feature score enters the model through a clamp, a standardisation
z = (x - mu) / sigma and a term w z + q z^2 (the engine's coefficient
record).  A model is only trusted when stronger evidence never lowers the
score: every term must be monotone over its clamped range, in the direction
the evidence points (a similarity rising, a disagreement falling).  The fit
writes each term as a non-negative mix of two shapes that are monotone on
[zl, zu] by construction,

    s * (z - zl)^2       and      -s * (zu - z)^2      (s = +1 or -1),

whose derivatives are the two ramps 2(z - zl) and 2(zu - z): every linear
derivative that is non-negative over the range is a non-negative sum of
them, so the constraint loses nothing a monotone quadratic could do.  The
logistic loss with a ridge penalty is minimised under those bounds
(L-BFGS-B).  The directions come from the data (the sign of the genuine
minus impostor mean, in impostor deviations); a feature whose evidence is
too weak either way is left out.

Which subtemplate a verification attempt is decided by is not known in
advance (multiple-instance data): the genuine side of the fit is each
genuine attempt's best subtemplate and the impostor side each impostor
attempt's best two (the combination of the best two is what the
threshold sees), re-selected with the model of the previous round.
"""

import numpy as np
from scipy.optimize import minimize

NSCORES = 30
EVIDENCE = 0.08   # |genuine - impostor mean| in impostor deviations needed to use a score
RIDGE = 0.3


def directions(clamped, y, mu, sigma, usable=None, evidence=EVIDENCE):
    """Per score +1, -1 or 0: the sign of the genuine-minus-impostor mean of
    the clamped scores, in impostor deviations; 0 where it is weaker than
    `evidence` either way, or the score is not usable."""
    effect = (clamped[y == 1].mean(axis=0) - mu) / sigma
    ok = np.abs(effect) >= evidence
    if usable is not None:
        ok = usable & ok
    return np.where(ok, np.sign(effect), 0)


def balanced_weights(y):
    """Row weights under which both classes weigh the same (half each)."""
    return np.where(y == 1, 0.5 / max(1, (y == 1).sum()), 0.5 / max(1, (y == 0).sum()))


def fit_monotone(x, y, lower, upper, mu, sigma, usable, quadratic=True, ridge=RIDGE):
    """The monotone model of rows x (labels y), both classes weighing the
    same, each usable score in the direction its evidence points."""
    c = np.clip(x, lower, upper).astype(float)
    direction = directions(c, y, mu, sigma, usable)
    m = MonotoneModel(lower, upper, mu, sigma, direction, quadratic)
    m.fit(x, y, balanced_weights(y), ridge=ridge)
    assert m.monotone_ok()
    return m


class MonotoneModel:
    def __init__(self, lower, upper, mu, sigma, direction, quadratic=True):
        self.lower = np.asarray(lower, np.int64)
        self.upper = np.asarray(upper, np.int64)
        self.mu = np.asarray(mu, float)
        self.sigma = np.asarray(sigma, float)
        self.direction = np.asarray(direction, float)   # +1, -1, 0 (unused)
        self.quadratic = quadratic
        self.zl = (self.lower - self.mu) / self.sigma
        self.zu = (self.upper - self.mu) / self.sigma
        self.w = np.zeros(len(self.lower))
        self.q = np.zeros(len(self.lower))

    @property
    def used(self):
        return self.direction != 0

    def z(self, x):
        c = np.clip(x, self.lower, self.upper).astype(float)
        return (c - self.mu) / self.sigma

    def basis(self, x):
        z = self.z(x)[:, self.used]
        s = self.direction[self.used]
        zl, zu = self.zl[self.used], self.zu[self.used]
        if self.quadratic:
            return np.hstack([s * (z - zl) ** 2, -s * (zu - z) ** 2])
        return s * (z - zl)

    def fit(self, x, y, weight, ridge=1.0):
        B = self.basis(x)
        k = B.shape[1]
        # scale columns for conditioning
        scale = B.std(axis=0) + 1e-9
        Bs = B / scale
        wsum = weight.sum()

        def loss(theta):
            a, b = theta[:k], theta[k]
            t = Bs @ a + b
            # log(1 + exp(-y' t)) with y' = 2y - 1
            yy = 2 * y - 1
            m = -yy * t
            l = np.logaddexp(0, m)
            g = weight * (-yy) / (1 + np.exp(-m))
            val = (weight * l).sum() / wsum + 0.5 * ridge * (a @ a) / len(a)
            grad_a = Bs.T @ g / wsum + ridge * a / len(a)
            grad_b = g.sum() / wsum
            return val, np.concatenate([grad_a, [grad_b]])

        theta0 = np.concatenate([np.full(k, 0.01), [0.0]])
        bounds = [(0, None)] * k + [(None, None)]
        res = minimize(loss, theta0, jac=True, method="L-BFGS-B", bounds=bounds,
                       options={"maxiter": 400, "ftol": 1e-10})
        a = res.x[:k] / scale
        self.bias = res.x[k]
        # back to w z + q z^2 per feature (constants dropped: the thresholds
        # absorb them)
        idx = np.flatnonzero(self.used)
        s = self.direction[idx]
        zl, zu = self.zl[idx], self.zu[idx]
        self.w[:] = 0
        self.q[:] = 0
        if self.quadratic:
            a2, a3 = a[:len(idx)], a[len(idx):]
            self.q[idx] = s * (a2 - a3)
            self.w[idx] = s * 2 * (a3 * zu - a2 * zl)
        else:
            self.w[idx] = s * a
        return self

    def decision(self, x):
        z = self.z(x)
        return z @ self.w + (z * z) @ self.q

    def monotone_ok(self):
        """Derivative of every term non-negative (times its direction) at both
        ends of its clamped range."""
        for i in np.flatnonzero(self.used):
            s = self.direction[i]
            for zz in (self.zl[i], self.zu[i]):
                if s * (self.w[i] + 2 * self.q[i] * zz) < -1e-9:
                    return False
        return True

    def records(self, spread_target, impostor_x, ballast):
        """Integer coefficient records (normalisation mode 0): score = 4096 +
        G * decision, one impostor deviation worth spread_target units.  The
        ballast feature is clamped to one value and its weight sets the signed
        weight total to 4096 K / G."""
        spread = float(np.std(self.decision(impostor_x))) or 1.0
        g = spread_target / spread
        biggest = max(float(np.abs(self.w).max()), float(np.abs(self.q).max()), 1e-12)
        need = 4096.0 / g - float(self.w.sum()) - float(self.q.sum())
        k = min(30000.0 / biggest, 30000.0 / max(abs(need), 1e-12))
        recs = []
        for i in range(NSCORES):
            recs.append({
                "lower": int(self.lower[i]), "upper": int(self.upper[i]),
                "mean": int(round(self.mu[i] * 65536.0)),
                "scale": max(1, int(round(self.sigma[i] * 65536.0))),
                "weight": int(round(self.w[i] * k)) if self.used[i] else 0,
                "quadratic_weight": int(round(self.q[i] * k)) if (self.used[i] and self.quadratic) else 0})
        b = recs[ballast]
        b["upper"] = b["lower"]
        b["mean"] = b["lower"] << 16
        b["quadratic_weight"] = 0
        total = int(round(4096.0 * k / g))
        rest = sum(r["weight"] + r["quadratic_weight"] for j, r in enumerate(recs) if j != ballast)
        b["weight"] = max(-32768, min(32767, total - rest))
        return recs
