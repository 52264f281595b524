#!/usr/bin/env python3
"""The evaluation report's statistics against values worked out by hand."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "evaluate"))
import evalstats  # noqa: E402
import report  # noqa: E402

Z2 = evalstats.Z95 ** 2


class Wilson(unittest.TestCase):
    def test_no_event_and_every_event(self):
        # k = 0: [0, z^2 / (n + z^2)]; k = n: [n / (n + z^2), 1], exactly.
        self.assertEqual(evalstats.wilson(0, 10), (0.0, Z2 / (10 + Z2)))
        self.assertAlmostEqual(evalstats.wilson(0, 10)[1], 0.27753, places=5)
        low, high = evalstats.wilson(10, 10)
        self.assertAlmostEqual(low, 0.72247, places=5)
        self.assertEqual(high, 1.0)
        # 0 of 3000 still gives a real upper bound (about 3.84 / n), where
        # p +- 1.96 sigma would give the empty interval [0, 0].
        self.assertAlmostEqual(evalstats.wilson(0, 3000)[1], 0.0012788, places=6)

    def test_middle_and_empty(self):
        low, high = evalstats.wilson(5, 10)
        self.assertAlmostEqual(low, 0.23659, places=5)
        self.assertAlmostEqual(high, 0.76341, places=5)
        self.assertIsNone(evalstats.wilson(0, 0))


class Clustered(unittest.TestCase):
    def test_independent_looking_groups_keep_every_trial(self):
        # Equal groups have no spread between them: deff 1, plain Wilson.
        self.assertEqual(evalstats.clustered_interval([(1, 4)] * 4), evalstats.wilson(4, 16))

    def test_groups_that_fail_together_count_once(self):
        # [(4,4),(0,4)]: p = 0.5, v_cluster = 2 * 8 / 64 = 0.25, v_simple =
        # 0.25 / 8, deff = 8: one effective trial, half an event:
        # 0.5 -+ z / (1 + z^2) * sqrt(1/4 + z^2/4) = 0.5 -+ 0.44538.
        low, high = evalstats.clustered_interval([(4, 4), (0, 4)])
        self.assertAlmostEqual(low, 0.05462, places=5)
        self.assertAlmostEqual(high, 0.94538, places=5)

    def test_no_event_counts_each_group_once(self):
        # 16 windows in 4 impressions, none failing: n_eff = 4.
        self.assertEqual(evalstats.clustered_interval([(0, 4)] * 4), evalstats.wilson(0, 4))
        self.assertAlmostEqual(evalstats.clustered_interval([(0, 4)] * 4)[1], Z2 / (4 + Z2))
        self.assertEqual(evalstats.clustered_interval([(4, 4)] * 4)[1], 1.0)
        self.assertIsNone(evalstats.clustered_interval([]))


class ErrorRates(unittest.TestCase):
    # Accepted when score > threshold.  Thresholds 1, 2, 3, 6, ...:
    #   t=3: FMR 1/3 (8), FNMR 1/4 (2);  t=6: FMR 1/3, FNMR 2/4 (2, 6).
    # FNMR - FMR goes from -1/12 to +1/6: a third of the way, FMR = FNMR = 1/3.
    GEN = [2, 6, 7, 9]
    IMP = [1, 3, 8]

    def test_eer_is_interpolated_between_the_det_points(self):
        self.assertAlmostEqual(evalstats.eer(self.GEN, self.IMP), 1 / 3)
        # Fully separated scores: EER 0.
        self.assertEqual(evalstats.eer([10, 11], [1, 2]), 0.0)

    def test_eer_of_a_symmetric_crossing(self):
        # gen [1, 4], imp [2, 3]: t=1 FMR 1, FNMR 1/2 (d = -1/2); t=2 FMR 1/2,
        # FNMR 1/2 (d = 0): crossing exactly at a point, EER 1/2.
        self.assertAlmostEqual(evalstats.eer([1, 4], [2, 3]), 0.5)

    def test_fnmr_at_zero_and_resolvable_targets(self):
        value, _ = evalstats.fnmr_at(self.GEN, self.IMP, 0.0)
        self.assertEqual(value, 0.75)  # above 8: only 9 is accepted
        value, resolvable = evalstats.fnmr_at(self.GEN, self.IMP, 0.01)
        self.assertEqual(value, 0.75)
        self.assertFalse(resolvable)  # 3 impostors cannot show 1 %
        value, resolvable = evalstats.fnmr_at(self.GEN, self.IMP, 0.34)
        self.assertEqual(value, 0.25)
        self.assertTrue(resolvable)

    def test_rate_record(self):
        r = evalstats.rate(0, 45)
        self.assertEqual((r["k"], r["n"], r["rate"]), (0, 45, 0.0))
        self.assertEqual(r["ci95"][0], 0.0)
        self.assertIsNone(evalstats.rate(0, 0)["rate"])


class Yardstick(unittest.TestCase):
    HEAD = "kind\tfinger_a\timpression_a\tfinger_b\timpression_b\tscore\tmatch\tstatus\twall_ms\tthreshold\n"

    def summary_of(self, lines):
        import tempfile
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "fprint.tsv"), "w") as f:
                f.write(self.HEAD + "".join(lines))
            return report.yardstick_summary(d)

    def test_no_score_seen_is_no_yardstick_rather_than_a_flat_curve(self):
        s, scores = self.summary_of(["genuine\t1\t1\t1\t2\t-1\t1\tok\t5.0\t-1\n"])
        self.assertFalse(s["available"])
        self.assertIn("no matcher score", s["reason"])
        self.assertIsNone(scores)

    def test_refused_captures_count_as_rejections(self):
        s, (gen, imp) = self.summary_of(["genuine\t1\t1\t1\t2\t55\t1\tok\t5.0\t40\n",
                                         "genuine\t1\t1\t1\t3\t-1\t0\tretry\t5.0\t40\n",
                                         "impostor\t1\t1\t2\t1\t3\t0\tok\t5.0\t40\n"])
        self.assertTrue(s["available"])
        self.assertEqual((gen, imp), ([55, 0], [3]))
        self.assertEqual(s["own_threshold"]["fnmr"]["k"], 1)
        self.assertEqual(s["statuses"], {"ok": 2, "retry": 1})


if __name__ == "__main__":
    unittest.main()
