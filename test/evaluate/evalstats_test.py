#!/usr/bin/env python3
"""The evaluation report's statistics against values worked out by hand."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "evaluate"))
import coverage  # noqa: E402
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


class Calibration(unittest.TestCase):
    """The factor-of-2 verdict on 18 000 impostor attempts, the grid's
    count per 10-finger folder: it resolves indexes 9 and 10 only."""
    N = 18000

    @staticmethod
    def target(i):
        return 10 ** (-i / 3)

    def test_which_indexes_the_counts_resolve(self):
        # No impostor accepted: upper bound z^2 / (n + z^2) = 2.13e-4, under
        # half of 1e-3 (index 9) and of 4.64e-4 (index 10), not of 2.15e-4.
        for i, resolved in ((9, True), (10, True), (11, False), (14, False)):
            c = evalstats.calibration(0, self.N, self.target(i))
            self.assertEqual(c["resolved"], resolved, i)
            self.assertEqual(c["verdict"], "under" if resolved else "not resolved", i)

    def test_verdict_follows_the_point_estimate_with_the_interval_beside_it(self):
        t = self.target(9)  # 18 impostors expected
        within = evalstats.calibration(18, self.N, t)
        self.assertEqual((within["verdict"], within["interval_reaches_band"]), ("within", True))
        # 8 of 18 000 is 0.44 of the target: under half, but its interval
        # (2.3e-4 .. 8.8e-4) still reaches the band from 5e-4.
        under = evalstats.calibration(8, self.N, t)
        self.assertEqual((under["verdict"], under["interval_reaches_band"]), ("under", True))
        self.assertEqual(evalstats.calibration(1, self.N, t)["interval_reaches_band"], False)
        # 40 of 18 000 (2.2 times the target): over, and the interval reaches down into the band.
        over = evalstats.calibration(40, self.N, t)
        self.assertEqual((over["verdict"], over["interval_reaches_band"]), ("over", True))
        # 27 at index 14 (target 2.15e-5, 0.39 expected) show more than
        # twice the target by the count alone, though 0 there would not
        # resolve the index.
        loud = evalstats.calibration(27, self.N, self.target(14))
        self.assertEqual((loud["resolved"], loud["verdict"], loud["interval_reaches_band"]), (True, "over", False))
        # A count whose interval reaches above 2 target stays "not resolved".
        self.assertEqual(evalstats.calibration(2, self.N, self.target(14))["verdict"], "not resolved")
        self.assertEqual(evalstats.calibration(0, 0, t)["verdict"], "not resolved")

    def test_report_words(self):
        self.assertEqual(report.calibration_text({"calibration": evalstats.calibration(8, self.N, 1e-3)}),
                         "under half the target (interval reaches the band)")
        self.assertEqual(report.calibration_text({"calibration": evalstats.calibration(18, self.N, 1e-3)}),
                         "within a factor of 2")
        self.assertEqual(report.calibration_text({"calibration": evalstats.calibration(0, 100, 1e-3)}),
                         "not resolved by the counts")
        self.assertEqual(report.calibration_text({}), "n/a")


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

    def test_zero_fnmr(self):
        # The lowest genuine score is 2: thresholds up to 1 reject no
        # genuine pair; impostors 3 and 8 are above 1: FMR 2/3.
        self.assertAlmostEqual(evalstats.zero_fnmr(self.GEN, self.IMP), 2 / 3)
        # An impostor at exactly the lowest genuine score is accepted too.
        self.assertEqual(evalstats.zero_fnmr([5, 9], [5, 1]), 0.5)
        self.assertEqual(evalstats.zero_fnmr([10, 11], [1, 2]), 0.0)
        self.assertIsNone(evalstats.zero_fnmr([], [1]))

    def test_rates_at_the_lowest_accepted_score(self):
        # Accepted from 7 on: genuine 2 and 6 rejected, impostor 8 accepted.
        r = evalstats.at_lowest_accepted(self.GEN, self.IMP, 7)
        self.assertEqual((r["fnmr"]["k"], r["fnmr"]["n"], r["fmr"]["k"], r["fmr"]["n"]), (2, 4, 1, 3))
        # A threshold no score reaches accepts nothing.
        r = evalstats.at_lowest_accepted(self.GEN, self.IMP, 65536)
        self.assertEqual((r["fnmr"]["k"], r["fmr"]["k"]), (4, 0))

    def test_histogram_bins(self):
        h = evalstats.histogram([0, 2047, 2048, 65535, 65535], bins=32)
        self.assertEqual(len(h["counts"]), 32)
        self.assertEqual(h["edges"][:2] + h["edges"][-1:], [0, 2048, 65536])
        self.assertEqual((h["counts"][0], h["counts"][1], h["counts"][31], sum(h["counts"])), (2, 1, 2, 5))

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


class Coverage(unittest.TestCase):
    IDENTITY = ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0))

    def test_fraction_of_the_probe_inside_the_enrolment_windows(self):
        maps = {("7", 5): {1: self.IDENTITY}}
        windows = {("7", 1): [(100, 100)]}
        self.assertEqual(coverage.probe_coverage(maps, windows, ("7", 5, 100, 100), 88), 1.0)
        # Half the window to the right: the left half of the grid is inside.
        self.assertEqual(coverage.probe_coverage(maps, windows, ("7", 5, 100, 144), 88), 0.5)
        # A second enrolment window over the other half covers the rest.
        windows[("7", 1)].append((100, 188))
        self.assertEqual(coverage.probe_coverage(maps, windows, ("7", 5, 100, 144), 88), 1.0)
        # No enrolled impression related to the probe's: no coverage at all.
        self.assertIsNone(coverage.probe_coverage(maps, windows, ("7", 6, 100, 100), 88))
        self.assertEqual([coverage.coverage_class(f) for f in (None, 0.74, 0.75)],
                         ["unknown", "uncovered", "covered"])

    def test_maps_follow_the_probe_through_the_master_print(self):
        import math
        import tempfile
        # Impression 1 is the master shifted by (+10, +5); impression 5 the
        # master turned by 90 degrees (x' = -y, y' = x) and shifted by (200, 0).
        head = "finger,impression,file,a,b,c,d,e,f\n"
        rows = "3,1,f0003_01.bmp,1,0,10,0,1,5\n3,5,f0003_05.bmp,0,-1,200,1,0,0\n"
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "manifest.csv")
            with open(path, "w") as f:
                f.write(head + rows)
            maps = coverage.maps_from_manifest(path, (5,), (1,))
        m = maps[("f0003", 5)][1]
        # Probe pixel (150, 40) is master (40, 50), which impression 1 shows at (50, 55).
        x, y = coverage.apply(m, 150, 40)
        self.assertAlmostEqual(x, 50)
        self.assertAlmostEqual(y, 55)
        self.assertAlmostEqual(coverage.rotation_degrees(m), -90)
        self.assertTrue(math.isclose(abs(m[0][0]) + abs(m[1][1]), 0, abs_tol=1e-12))

    def test_alignment_table_keeps_accepted_pairs_only(self):
        import tempfile
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "align.tsv")
            with open(path, "w") as f:
                f.write("finger\tprobe\tenrol\tfar\tscore\tdecision\ta\tb\tc\td\te\tf\n"
                        "101\t5\t1\t12\t40000\t1\t1\t0\t-3\t0\t1\t4\n"
                        "101\t5\t2\t12\t900\t0\t1\t0\t70\t0\t1\t0\n"
                        "101\t6\t1\t12\t0\t0\t\t\t\t\t\t\n")
            maps, tried, far = coverage.maps_from_alignment(path)
        self.assertEqual((tried, far), (3, 12))
        self.assertEqual(list(maps), [("101", 5)])
        self.assertEqual(coverage.apply(maps[("101", 5)][1], 10, 10), (7.0, 14.0))


class CoverageSplit(unittest.TestCase):
    def test_frr_by_class_and_by_impression(self):
        ident = ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0))
        maps = {("a", 5): {1: ident}, ("a", 6): {1: ident}}
        positions = [("enrol", "a", 1, 0, 0, 0),
                     ("probe", "a", 5, 0, 0, 0),      # covered
                     ("probe", "a", 6, 0, 0, 80),     # 1/8 inside: uncovered
                     ("probe", "a", 7, 0, 0, 0)]      # impression 7 related to nothing
        genuine = {12: {("a", 5, 0): True, ("a", 6, 0): False, ("a", 7, 0): False},
                   14: {("a", 5, 0): False, ("a", 6, 0): False, ("a", 7, 0): True}}
        split = report.coverage_split(maps, positions, genuine)
        c = split["classes"]
        self.assertEqual([c[k]["probes"] for k in ("covered", "uncovered", "unknown")], [1, 1, 1])
        self.assertEqual([(r["far_index"], r["k"], r["n"]) for r in c["covered"]["frr"]], [(12, 0, 1), (14, 1, 1)])
        self.assertEqual([r["k"] for r in c["unknown"]["frr"]], [1, 0])
        self.assertEqual([b["impression"] for b in split["by_impression"]], [5, 6, 7])
        self.assertEqual(split["probes"][1], ["a", 6, 0, 0.125])


if __name__ == "__main__":
    unittest.main()
