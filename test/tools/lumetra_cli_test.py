#!/usr/bin/env python3
"""End-to-end checks of the lumetra command on generated bitmaps and on
PNG, TIFF and PGM copies of them (written with PIL, independently of the
command's own readers).

Arguments: the lumetra program, the fpsynth program, a scratch directory.
Every subcommand runs in its text and --json forms; the JSON is parsed and
its values checked, and the error paths must give exit status 2 with one
line on standard error that names the file, never a crash."""
import json
import os
import struct
import subprocess
import sys
import unittest

from PIL import Image

LUMETRA, FPSYNTH, WORK = sys.argv[1], sys.argv[2], sys.argv[3]
# The C example host (examples/enroll_verify), when it was built.
EXAMPLE = sys.argv[4] if len(sys.argv) > 4 else None
SET = os.path.join(WORK, "set")
# Captures for enrollment: 32 of each finger, and a 33rd to verify, as the
# example host's own test makes them.
ENROLL_SET = os.path.join(WORK, "enroll_set")


def run(*args):
    return subprocess.run([LUMETRA, *args], capture_output=True, text=True, timeout=120)


def img(finger, impression):
    return os.path.join(SET, "f%04d_%02d.bmp" % (finger, impression))


def setUpModule():
    os.makedirs(WORK, exist_ok=True)
    subprocess.run([FPSYNTH, "set", "--out", SET, "--fingers", "2", "--impressions", "2",
                    "--seed", "18", "--rotation", "8"], check=True, capture_output=True)
    subprocess.run([FPSYNTH, "set", "--out", ENROLL_SET, "--fingers", "2", "--impressions", "33",
                    "--seed", "23"], check=True, capture_output=True)


def capture(finger, impression):
    return os.path.join(ENROLL_SET, "f%04d_%02d.bmp" % (finger, impression))


def captures(finger, count=32):
    return [capture(finger, i) for i in range(1, count + 1)]


def ok_json(*args):
    r = run(*args, "--json")
    if r.returncode != 0:
        raise AssertionError("%s: exit %d: %s" % (args, r.returncode, r.stderr))
    return json.loads(r.stdout)


def enrolled(name, finger=1, files=None):
    """Enrols a finger into WORK/name; returns (path, report)."""
    path = work(name)
    return path, ok_json("enroll", "-o", path, *(files or captures(finger)))


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def record_header(path):
    """(type, length, file size) of a template file."""
    with open(path, "rb") as f:
        data = f.read()
    return data[0], struct.unpack_from("<I", data, 4)[0], len(data)


def work(name):
    return os.path.join(WORK, name)


def copy_as(name, source=None, mode=None, scale16=False, size=None, **save):
    """Writes img(1, 1) (or `source`) as WORK/name with PIL."""
    im = Image.open(source or img(1, 1))
    if size:
        im = im.resize(size, Image.BILINEAR)
    if scale16:
        wide = Image.new("I;16" if name.endswith(".tif") else "I", im.size)
        wide.putdata([v * 257 for v in im.getdata()])
        im = wide
    elif mode:
        im = im.convert(mode)
    path = work(name)
    im.save(path, **save)
    return path


def quality(path, *options):
    r = run("quality", "--json", *options, path)
    if r.returncode != 0:
        raise AssertionError("%s: %s" % (path, r.stderr))
    return json.loads(r.stdout)[0]


def assert_error(case, result, name):
    case.assertEqual(result.returncode, 2, result.stdout + result.stderr)
    lines = result.stderr.splitlines()
    case.assertEqual(len(lines), 1, result.stderr)
    case.assertTrue(lines[0].startswith("lumetra: "), lines[0])
    case.assertIn(name, lines[0])


class EnhanceAndOverlay(unittest.TestCase):
    def test_enhance_writes_every_output_format(self):
        source = list(Image.open(img(1, 1)).getdata())
        outputs = {}
        for ext in ("png", "tif", "pgm", "bmp"):
            out = work("enhanced." + ext)
            report = ok_json("enhance", img(1, 1), "-o", out)
            self.assertEqual((report["width"], report["height"], report["output"]), (88, 88, out))
            im = Image.open(out)
            self.assertEqual((im.mode, im.size), ("L", (88, 88)))
            # The output states the library's 500 dpi where its format can.
            if ext != "pgm":
                self.assertAlmostEqual(im.info["dpi"][0], 500, delta=0.5)
            outputs[ext] = list(im.getdata())
        # The same enhanced pixels whatever the format, and not the input.
        self.assertEqual(len({tuple(v) for v in outputs.values()}), 1)
        self.assertNotEqual(outputs["png"], source)
        # A TIFF copy of the input enhances to the same pixels.
        ok_json("enhance", copy_as("enhance_in.tif"), "-o", work("from_tif.png"))
        self.assertEqual(list(Image.open(work("from_tif.png")).getdata()), outputs["png"])
        text = run("enhance", img(1, 1), "-o", work("e.png"))
        self.assertEqual(text.stdout, "%s: enhanced image of 88 x 88 pixels written to %s\n"
                         % (img(1, 1), work("e.png")))

    def test_enhance_errors(self):
        assert_error(self, run("enhance", img(1, 1)), "-o")
        assert_error(self, run("enhance", img(1, 1), "-o", work("out.jpg")), "out.jpg")
        assert_error(self, run("enhance", img(1, 1), "-o", work("no/dir.png")), "dir.png")
        assert_error(self, run("enhance", work("missing.png"), "-o", work("x.png")),
                     "missing.png")
        assert_error(self, run("enhance", "-o", work("x.png")), "enhance")
        self.assertFalse(os.path.exists(work("out.jpg")))

    def test_overlay_draws_the_minutiae_over_the_image(self):
        out = work("overlay.png")
        report = ok_json("extract", img(1, 1), "--overlay", out)
        self.assertEqual(report["overlay"], out)
        self.assertGreater(report["minutiae"], 0)
        im = Image.open(out)
        # 88 pixels enlarged four times (to about 512), in colour.
        self.assertEqual((im.mode, im.size), ("RGB", (352, 352)))
        coloured = sum(1 for r, g, b in im.getdata() if not r == g == b)
        self.assertGreater(coloured, 10 * report["minutiae"])
        # The template and the overlay of one run agree with a plain run.
        plain = ok_json("extract", img(1, 1))
        self.assertEqual(plain["bytes"], report["bytes"])
        self.assertIsNone(plain["overlay"])
        assert_error(self, run("extract", img(1, 1), "--overlay", work("no/dir.png")), "dir.png")


class EnrollAndVerify(unittest.TestCase):
    def test_enroll_reports_every_capture_and_writes_a_record(self):
        path, report = enrolled("f1.tpl")
        self.assertEqual(report["output"], path)
        self.assertEqual(report["type"], 80)
        self.assertEqual(len(report["captures"]), 32)
        self.assertEqual(report["accepted"] + report["refused"] + report["unused"], 32)
        self.assertGreater(report["accepted"], 1)
        self.assertEqual([c["file"] for c in report["captures"]], captures(1))
        for c in report["captures"]:
            self.assertIn(c["outcome"], ("accepted", "duplicate", "no-template", "full"))
            # The library's events: 11 recorded, 1 / 7 duplicates, 8 no match.
            self.assertIn(c["event"], (11, 1, 7, 8) if c["outcome"] != "no-template" else (0,))
            self.assertTrue(0 <= c["progress"] <= 100)
        progress = [c["progress"] for c in report["captures"]]
        self.assertEqual(progress, sorted(progress))
        self.assertEqual(report["progress"], progress[-1])
        self.assertEqual(record_header(path), (80, report["bytes"], 8 + report["bytes"]))

    def test_the_same_capture_twice_is_refused_as_a_duplicate(self):
        files = [capture(1, 1), capture(1, 1), capture(1, 2)]
        _, report = enrolled("twice.tpl", files=files)
        outcomes = [c["outcome"] for c in report["captures"]]
        self.assertEqual(outcomes[:2], ["accepted", "duplicate"])
        self.assertIn(report["captures"][1]["event"], (1, 7))
        self.assertGreaterEqual(report["refused"], 1)
        text = run("enroll", "-o", work("twice_text.tpl"), *files)
        self.assertEqual(text.returncode, 0, text.stderr)
        lines = text.stdout.splitlines()
        self.assertEqual(len(lines), 4)
        self.assertTrue(lines[1].startswith(capture(1, 1) + ": refused as a duplicate"), lines[1])
        self.assertTrue(lines[3].startswith(work("twice_text.tpl") + ": template of type 80"))

    def test_progress_bar_on_a_terminal(self):
        import pty
        master, slave = pty.openpty()
        proc = subprocess.Popen([LUMETRA, "enroll", "-o", work("tty.tpl"), *captures(1, 8)],
                                stdout=slave, stderr=subprocess.PIPE)
        os.close(slave)
        out = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        os.close(master)
        self.assertEqual(proc.wait(timeout=120), 0)
        proc.stderr.close()
        text = out.decode()
        self.assertIn("\r\x1b[K[", text)
        self.assertIn("8/8", text)
        self.assertRegex(text, r"\] +\d+%  1/8")

    def test_files_reproduce_the_example_host(self):
        if EXAMPLE is None:
            self.skipTest("the example host was not built")
        path, _ = enrolled("cmd.tpl")
        record = work("example.record")
        host = subprocess.run([EXAMPLE, "enroll", ENROLL_SET, record], capture_output=True,
                              text=True, timeout=300)
        self.assertEqual(host.returncode, 0, host.stderr)
        with open(path, "rb") as a, open(record, "rb") as b:
            self.assertEqual(a.read(), b.read())
        host = subprocess.run([EXAMPLE, "verify", ENROLL_SET, record], capture_output=True,
                              text=True, timeout=300)
        self.assertEqual(host.returncode, 0, host.stderr)
        same = "same finger: accepted" in host.stdout
        other = "other finger: accepted" in host.stdout
        # Both read each other's files; the decisions are the host's.
        for tpl in (path, record):
            r = run("verify", "--json", tpl, capture(1, 33))
            self.assertEqual(json.loads(r.stdout)["match"], same)
            self.assertEqual(r.returncode, 0 if same else 1)
            r = run("verify", "--json", tpl, capture(2, 1))
            self.assertEqual(json.loads(r.stdout)["match"], other)

    def test_png_and_tiff_captures_enrol_the_same_template(self):
        path, report = enrolled("bmp.tpl", files=captures(1, 6))
        for ext in ("png", "tif"):
            files = [copy_as("cap%02d.%s" % (i, ext), source=f)
                     for i, f in enumerate(captures(1, 6))]
            other, again = enrolled("copy_%s.tpl" % ext, files=files)
            with open(path, "rb") as a, open(other, "rb") as b:
                self.assertEqual(a.read(), b.read())
            self.assertEqual([c["outcome"] for c in again["captures"]],
                             [c["outcome"] for c in report["captures"]])

    def test_verify_names_the_template_that_matched(self):
        f1, _ = enrolled("v1.tpl")
        f2, _ = enrolled("v2.tpl", finger=2)
        genuine = ok_json("verify", f2, f1, capture(1, 33))
        self.assertTrue(genuine["match"])
        self.assertEqual((genuine["template"], genuine["slot"]), (f1, 1))
        self.assertEqual(genuine["score"], genuine["scores"][1]["score"])
        self.assertEqual([s["template"] for s in genuine["scores"]], [f2, f1])
        self.assertGreater(genuine["scores"][1]["score"], genuine["scores"][0]["score"])
        self.assertFalse(genuine["written"])
        impostor = run("verify", "--json", f1, capture(2, 33))
        self.assertEqual(impostor.returncode, 1)
        report = json.loads(impostor.stdout)
        self.assertFalse(report["match"])
        self.assertIsNone(report["template"])
        self.assertFalse(report["updated"])
        text = run("verify", f2, f1, capture(1, 33))
        self.assertTrue(text.stdout.startswith(
            "%s: match with %s (slot 1), score %d at false-accept level 12\n"
            % (capture(1, 33), f1, genuine["score"])), text.stdout)

    def test_update_writes_the_template_back_only_when_asked(self):
        path, _ = enrolled("u.tpl")
        with open(path, "rb") as f:
            before = f.read()
        probe = capture(1, 33)
        plain = ok_json("verify", path, probe)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), before)
        if not plain["updated"]:
            self.skipTest("the library did not update this template")
        updated = ok_json("verify", "--update", path, probe)
        self.assertTrue(updated["written"])
        # The whole stored area comes back (32760 bytes), and it still verifies.
        self.assertEqual(record_header(path), (80, 32760, 8 + 32760))
        self.assertTrue(ok_json("verify", path, probe)["match"])
        self.assertFalse(os.path.exists(path + ".part"))

    def test_enroll_and_verify_errors(self):
        good, _ = enrolled("e.tpl", files=captures(1, 4))
        with open(good, "rb") as f:
            data = f.read()
        bad = {
            "empty.tpl": b"",
            "short.tpl": data[:5],
            "cut.tpl": data[:-1],
            "long.tpl": data + b"\0",
            "huge.tpl": data[:4] + struct.pack("<I", 40000) + data[8:],
        }
        for name, content in bad.items():
            path = work(name)
            with open(path, "wb") as f:
                f.write(content)
            assert_error(self, run("verify", path, capture(1, 33)), path)
        # A record the library cannot read as a template.
        junk = work("junk.tpl")
        with open(junk, "wb") as f:
            f.write(bytes([80, 0, 0, 0]) + struct.pack("<I", 16) + b"\x55" * 16)
        r = run("verify", junk, capture(1, 33))
        self.assertIn(r.returncode, (1, 2), r.stderr)
        if r.returncode == 2:
            assert_error(self, r, junk)
        assert_error(self, run("verify", *([good] * 6), capture(1, 33)), "at most 5")
        assert_error(self, run("verify", good), "verify")
        assert_error(self, run("verify", good, work("missing.bmp")), "missing.bmp")
        assert_error(self, run("verify", work("missing.tpl"), capture(1, 1)), "missing.tpl")
        assert_error(self, run("verify", good, capture(1, 1), "--far", "99"), "99")
        # A blank image matches nothing.
        blank = work("blank_probe.png")
        Image.new("L", (88, 88), 255).save(blank)
        r = run("verify", "--json", good, blank)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertFalse(json.loads(r.stdout)["match"])

        assert_error(self, run("enroll", capture(1, 1)), "-o")
        assert_error(self, run("enroll", "-o", work("none.tpl")), "enroll")
        other_size = copy_as("small.png", source=capture(1, 2), size=(80, 80))
        r = run("enroll", "-o", work("mixed.tpl"), capture(1, 1), other_size)
        assert_error(self, r, other_size)
        r = run("enroll", "-o", work("gap.tpl"), capture(1, 1), work("missing.bmp"))
        assert_error(self, r, "missing.bmp")
        for name in ("mixed.tpl", "gap.tpl"):
            self.assertFalse(os.path.exists(work(name)), name)
        assert_error(self, run("enroll", "-o", work("no/dir.tpl"), capture(1, 1)), "dir.tpl")


class Convert(unittest.TestCase):
    def test_between_records_and_bytes(self):
        raw = work("h.bin")
        ok_json("extract", img(1, 1), "--format", "hybrid", "-o", raw)
        wrapped = ok_json("convert", raw, "-o", work("h.tpl"))
        self.assertEqual((wrapped["input_form"], wrapped["output_form"]), ("raw", "record"))
        self.assertEqual(wrapped["output_type"], 67)
        back = ok_json("convert", work("h.tpl"), "-o", work("h2.bin"))
        self.assertEqual((back["input_type"], back["output_form"]), (67, "raw"))
        with open(raw, "rb") as a, open(work("h2.bin"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        self.assertEqual(record_header(work("h.tpl")), (67, back["bytes"], wrapped["bytes"]))
        # The card and spectral pieces of the hybrid template, in the form it came in.
        card = ok_json("convert", work("h.tpl"), "-o", work("h.card"), "--to", "card")
        self.assertEqual((card["output_type"], card["output_form"]), (2, "record"))
        spectral = ok_json("convert", raw, "-o", work("h.spectral"), "--to", "spectral")
        self.assertEqual((spectral["output_type"], spectral["output_form"]), (66, "raw"))
        with open(work("h.card"), "rb") as f:
            self.assertEqual(f.read()[8:10], b"\x7f\x2e")
        # ISO records are recognised; a compact card too.
        iso = work("i.iso")
        ok_json("extract", img(1, 1), "-o", iso)
        self.assertEqual(ok_json("convert", iso, "-o", work("i.tpl"))["output_type"], 1)
        ok_json("extract", img(1, 1), "--format", "card", "-o", work("c.bin"))
        self.assertEqual(ok_json("convert", work("c.bin"), "-o", work("c.tpl"))["output_type"], 2)
        # An enrolled template round-trips through its bytes.
        tpl, report = enrolled("conv.tpl", files=captures(1, 4))
        ok_json("convert", tpl, "-o", work("conv.raw"), "--to", "raw")
        again = ok_json("convert", work("conv.raw"), "-o", work("conv2.tpl"), "--type", "80")
        self.assertEqual(again["output_type"], 80)
        with open(tpl, "rb") as a, open(work("conv2.tpl"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_convert_errors(self):
        tpl, _ = enrolled("ce.tpl", files=captures(1, 4))
        assert_error(self, run("convert", tpl, "-o", work("x"), "--to", "card"), "type 80")
        note = work("note.bin")
        with open(note, "wb") as f:
            f.write(b"just some bytes")
        assert_error(self, run("convert", note, "-o", work("x")), note)
        assert_error(self, run("convert", tpl, "-o", work("x"), "--to", "jpeg"), "jpeg")
        assert_error(self, run("convert", tpl), "-o")
        assert_error(self, run("convert", tpl, "-o", work("x"), "--type", "300"), "300")
        assert_error(self, run("convert", work("missing.tpl"), "-o", work("x")), "missing.tpl")
        self.assertFalse(os.path.exists(work("x")))


class Formats(unittest.TestCase):
    """The same print in every format and layout reads as the same pixels."""

    def test_every_format_reads_the_same_pixels(self):
        reference = quality(img(1, 1))
        del reference["file"]
        copies = [copy_as("grey.png"), copy_as("grey.tif"), copy_as("grey.pgm"),
                  copy_as("grey_lzw.tif", compression="tiff_lzw"),
                  copy_as("interlaced.png", interlace=1),
                  copy_as("rgb.png", mode="RGB"), copy_as("rgb.tif", mode="RGB"),
                  copy_as("palette.png", mode="P"), copy_as("rgba.png", mode="RGBA"),
                  copy_as("wide.png", scale16=True), copy_as("wide.tif", scale16=True)]
        # A 16-bit PGM, written by hand (maxval 65535, big-endian samples).
        grey = list(Image.open(img(1, 1)).getdata())
        wide_pgm = work("wide.pgm")
        with open(wide_pgm, "wb") as f:
            f.write(b"P5\n88 88\n65535\n")
            f.write(b"".join(struct.pack(">H", v * 257) for v in grey))
        copies.append(wide_pgm)
        for path in copies:
            with self.subTest(path=path):
                graded = quality(path)
                del graded["file"]
                self.assertEqual(graded, reference)
                # Identical pixels compare as identical to the bitmap itself.
                same = json.loads(run("compare", "--json", img(1, 1), path).stdout)
                self.assertTrue(same["match"])
                self.assertEqual(same["alignment"], {"dx": 0, "dy": 0, "rotation": 0})

    def test_resolution_from_the_file_or_from_dpi(self):
        # The print at 1000 dpi (twice the size) is brought back to 500 dpi.
        reference = quality(img(1, 1))
        stated = [copy_as("r1000.png", size=(176, 176), dpi=(1000, 1000)),
                  copy_as("r1000.tif", size=(176, 176), dpi=(1000, 1000)),
                  copy_as("r1000.bmp", size=(176, 176), dpi=(1000, 1000))]
        for path in stated:
            with self.subTest(path=path):
                graded = quality(path)
                self.assertEqual((graded["width"], graded["height"]), (88, 88))
                self.assertEqual(quality(path, "--dpi", "250")["width"], 88)
                # --force-dpi believes --dpi over the file.
                self.assertEqual(quality(path, "--dpi", "250", "--force-dpi")["width"], 352)
                self.assertEqual(quality(path, "--dpi", "500", "--force-dpi")["width"], 176)
                r = run("compare", "--json", img(1, 1), path, "--far", "3")
                self.assertEqual(r.returncode, 0, r.stderr)
        # A PGM (or a PNG without pHYs) states no resolution: 500 dpi unless --dpi.
        for name in ("r_none.pgm", "r_none.png"):
            path = copy_as(name, size=(176, 176))
            self.assertEqual(quality(path)["width"], 176)
            self.assertEqual(quality(path, "--dpi", "1000")["width"], 88)
        self.assertEqual(quality(img(1, 1))["quality"], reference["quality"])

    def test_unreadable_images_are_named_and_explained(self):
        png, tif, pgm = (read_bytes(copy_as("whole." + ext)) for ext in ("png", "tif", "pgm"))
        cases = {
            "cut.png": (png[: len(png) // 2], "PNG"),
            "crc.png": (png[:40] + bytes([png[40] ^ 0xFF]) + png[41:], "PNG"),
            "cut.tif": (tif[:16], "TIFF"),
            "cut.pgm": (pgm[: len(pgm) // 2], "PGM"),
            "zero.pgm": (b"P5\n0 5\n255\n", "no pixels"),
            "huge.pgm": (b"P5\n60000 60000\n255\n\0\0", "too large"),
            "note.txt": (b"hello\n", "not a BMP, PNG, TIFF or PGM image"),
        }
        copy_as("colour.ppm", mode="RGB")
        copy_as("colour24.bmp", mode="RGB")
        paths = {work("colour.ppm"): "PPM", work("colour24.bmp"): "24-bit"}
        for name, (data, why) in cases.items():
            path = work(name)
            with open(path, "wb") as f:
                f.write(data)
            paths[path] = why
        for path, why in paths.items():
            for cmd in (["quality", path], ["compare", img(1, 1), path], ["extract", path]):
                with self.subTest(cmd=cmd):
                    r = run(*cmd)
                    self.assertEqual(r.returncode, 2, r.stderr)
                    lines = r.stderr.splitlines()
                    self.assertEqual(len(lines), 1, r.stderr)
                    self.assertTrue(lines[0].startswith("lumetra: %s: " % path), lines[0])
                    self.assertIn(why, lines[0])
        self.assertEqual(run("quality", "--dpi", "0", img(1, 1)).returncode, 2)
        self.assertEqual(run("quality", "--dpi", img(1, 1)).returncode, 2)


class Errors(unittest.TestCase):
    def assertError(self, result, name, stdout=""):
        self.assertEqual(result.returncode, 2, result.stderr)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertIn(name, lines[0])
        self.assertEqual(result.stdout, stdout)

    def write(self, name, data):
        path = os.path.join(WORK, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_bad_files_name_the_file(self):
        missing = os.path.join(WORK, "missing.bmp")
        text = self.write("text.bmp", b"not a bitmap at all\n")
        empty = self.write("empty.bmp", b"")
        with open(img(1, 1), "rb") as f:
            good = f.read()
        truncated = self.write("truncated.bmp", good[: len(good) // 2])
        # A header that claims a huge image over a few bytes of pixels.
        huge = bytearray(good[:1078 + 16])
        struct.pack_into("<ii", huge, 18, 60000, 60000)
        huge = self.write("huge.bmp", bytes(huge))
        for path in (missing, text, empty, truncated, huge):
            for cmd in (["quality", path], ["extract", path], ["compare", path, img(1, 1)],
                        ["compare", img(1, 1), path]):
                with self.subTest(cmd=cmd):
                    self.assertError(run(*cmd), path)
            # The JSON form still prints a (here empty) list of the graded files.
            self.assertError(run("quality", "--json", path), path, "[]\n")

    def test_quality_goes_on_after_a_bad_file_and_still_fails(self):
        missing = os.path.join(WORK, "missing.bmp")
        r = run("quality", "--json", img(1, 1), missing, img(2, 1))
        self.assertEqual(r.returncode, 2)
        self.assertIn(missing, r.stderr)
        self.assertEqual([e["file"] for e in json.loads(r.stdout)], [img(1, 1), img(2, 1)])

    def test_bad_arguments(self):
        self.assertError(run("frobnicate"), "frobnicate")
        self.assertEqual(run().returncode, 2)
        self.assertError(run("compare", img(1, 1)), "compare")
        self.assertError(run("compare", img(1, 1), img(1, 2), "--far"), "--far")
        self.assertError(run("compare", img(1, 1), img(1, 2), "--far", "x"), "x")
        self.assertError(run("compare", img(1, 1), img(1, 2), "--far", "-1"), "-1")
        # Levels past the verifier's threshold tables are refused up front.
        self.assertError(run("compare", img(1, 1), img(1, 2), "--far", "28"), "28")
        self.assertError(run("extract", img(1, 1), "--format", "iso-v9"), "iso-v9")
        self.assertError(run("extract", img(1, 1), "-o", os.path.join(WORK, "no", "dir.bin")),
                         "dir.bin")
        self.assertError(run("quality"), "quality")
        self.assertError(run("info", "--bogus"), "--bogus")
        self.assertError(run("info", "--sensor", "88"), "88")
        self.assertError(run("info", "--sensor", "0x88"), "0x88")


class Commands(unittest.TestCase):
    def test_info(self):
        r = run("info", "--json")
        self.assertEqual(r.returncode, 0, r.stderr)
        info = json.loads(r.stdout)
        self.assertEqual(len(info["version"]), 23)
        self.assertEqual((info["sensor"]["cols"], info["sensor"]["rows"]), (88, 88))
        self.assertTrue(info["configuration"]["available"])
        # Another sensor size: reported, and a size with no configuration
        # is said so rather than failing.
        wide = json.loads(run("info", "--json", "--sensor", "112x96").stdout)
        self.assertEqual((wide["sensor"]["cols"], wide["sensor"]["rows"]), (112, 96))
        tiny = run("info", "--json", "--sensor", "3x3")
        self.assertEqual(tiny.returncode, 0, tiny.stderr)
        self.assertFalse(json.loads(tiny.stdout)["configuration"]["available"])
        text = run("info")
        self.assertEqual(text.returncode, 0)
        self.assertIn(info["version"], text.stdout)

    def test_quality_of_prints_and_of_a_blank_image(self):
        r = run("quality", "--json", img(1, 1), img(2, 2))
        self.assertEqual(r.returncode, 0, r.stderr)
        grades = json.loads(r.stdout)
        self.assertEqual(len(grades), 2)
        for g in grades:
            self.assertEqual((g["width"], g["height"]), (88, 88))
            self.assertGreater(g["quality"], 0)
            self.assertLessEqual(g["quality"], 100)
            self.assertGreater(g["area"], 0)
        # An all-white bitmap of the same size grades lower than a print.
        with open(img(1, 1), "rb") as f:
            data = bytearray(f.read())
        offset = struct.unpack_from("<I", data, 10)[0]
        data[offset:] = b"\xff" * (len(data) - offset)
        blank = os.path.join(WORK, "blank.bmp")
        with open(blank, "wb") as f:
            f.write(data)
        b = run("quality", "--json", blank)
        if b.returncode == 0:
            self.assertLess(json.loads(b.stdout)[0]["quality"], grades[0]["quality"])
        else:
            self.assertEqual(b.returncode, 2)
            self.assertIn(blank, b.stderr)

    def test_extract_formats(self):
        sizes = {}
        for fmt in ("iso-v2", "iso-v3", "card", "hybrid"):
            out = os.path.join(WORK, "t." + fmt)
            r = run("extract", "--json", img(1, 1), "--format", fmt, "-o", out)
            self.assertEqual(r.returncode, 0, r.stderr)
            report = json.loads(r.stdout)
            self.assertEqual(report["format"], fmt)
            with open(out, "rb") as f:
                data = f.read()
            self.assertEqual(len(data), report["bytes"])
            sizes[fmt] = data
        # ISO records start "FMR\0" with the version text of their edition.
        self.assertEqual(sizes["iso-v2"][:8], b"FMR\x00 20\x00")
        self.assertEqual(sizes["iso-v3"][:8], b"FMR\x00030\x00")
        self.assertNotEqual(sizes["card"], sizes["hybrid"])
        # A symbolic link is written through, not replaced.
        link, target = work("t.link"), work("t.target")
        for path in (link, target):
            if os.path.lexists(path):
                os.remove(path)
        os.symlink(target, link)
        self.assertEqual(run("extract", img(1, 1), "-o", link).returncode, 0)
        self.assertTrue(os.path.islink(link))
        self.assertEqual(read_bytes(target), sizes["iso-v2"])
        # Without -o nothing is written; the default format is iso-v2.
        r = run("extract", "--json", img(1, 1))
        self.assertEqual(json.loads(r.stdout)["bytes"], len(sizes["iso-v2"]))
        self.assertIsNone(json.loads(r.stdout)["output"])

    def test_compare_same_and_other_finger(self):
        # One 88 x 88 capture against another of the same finger does not
        # always clear the strict default level (1 in 10 000), so the decision
        # is asked at level 3 (1 in 10); the default level is checked below.
        same = run("compare", "--json", img(1, 1), img(1, 2), "--far", "3")
        other = run("compare", "--json", img(1, 2), img(2, 2), "--far", "3")
        self.assertEqual(same.returncode, 0, same.stderr)
        self.assertEqual(other.returncode, 1, other.stderr)
        s, o = json.loads(same.stdout), json.loads(other.stdout)
        self.assertTrue(s["match"])
        self.assertFalse(o["match"])
        self.assertGreater(s["score"], o["score"])
        self.assertEqual(s["far"], 3)
        self.assertEqual(json.loads(run("compare", "--json", img(1, 1), img(1, 2)).stdout)["far"], 12)
        self.assertIsNotNone(s["alignment"])
        self.assertEqual(set(s["alignment"]), {"dx", "dy", "rotation"})
        # The text form says the same.
        text = run("compare", img(1, 1), img(1, 2), "--far", "3")
        self.assertIn("score %d at false-accept level 3: match\n" % s["score"], text.stdout)

    def test_far_level_changes_the_decision_not_the_score(self):
        results = []
        for far in range(0, 28, 3):
            r = run("compare", "--json", img(1, 1), img(1, 2), "--far", str(far))
            report = json.loads(r.stdout)
            self.assertEqual(report["far"], far)
            self.assertEqual(r.returncode, 0 if report["match"] else 1)
            results.append(report)
        self.assertEqual(len({r["score"] for r in results}), 1)
        # A stricter level never accepts what a looser one refused, and the
        # loosest accepts this pair while the strictest refuses it.
        decisions = [r["match"] for r in results]
        self.assertEqual(decisions, sorted(decisions, reverse=True))
        self.assertTrue(decisions[0])
        self.assertFalse(decisions[-1])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
