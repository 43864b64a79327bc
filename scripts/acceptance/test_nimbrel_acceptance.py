"""Tests of the acceptance module: its analysis on synthetic signals, its
verdicts on recorded runs (WAV + JSON lines), and its on-device checks run
against the programs on the simulated platform.
NIMBREL_TAP and NIMBREL_PROBE name the programs (set by ctest)."""

import array
import io
import json
import math
import os
import plistlib
import struct
import tempfile
import time
import unittest
from contextlib import redirect_stdout

import nimbrel_acceptance as acceptance


def sine(frequency, rate, seconds=0.1, amplitude=8000):
    return array.array("h", (int(amplitude * math.sin(2 * math.pi * frequency * n / rate))
                             for n in range(int(rate * seconds))))


class Analysis(unittest.TestCase):
    def test_tone_windows_of_sines_and_silence(self):
        for frequency, rate in [(1000, 48000), (1000, 44100), (1000, 16000), (500, 96000)]:
            with self.subTest(frequency=frequency, rate=rate):
                self.assertEqual(acceptance.tone_windows(sine(frequency, rate), rate, frequency),
                                 [True] * 5)
                self.assertEqual(acceptance.tone_windows(sine(1500, rate), rate, frequency),
                                 [False] * 5)
        self.assertEqual(acceptance.tone_windows(array.array("h", [0] * 4800), 48000, 1000),
                         [False] * 5)

    def test_permission_words(self):
        self.assertIn("denied", acceptance.permission_state(array.array("h", [0] * 100)))
        self.assertIn("granted", acceptance.permission_state(array.array("h", [0, 5, 0])))
        self.assertIn("unknown", acceptance.permission_state(array.array("h")))
        self.assertIn("never wrote \"started\"",
                      acceptance.permission_state(array.array("h"), started=False))

    def test_probe_lines(self):
        text = "\n".join([
            '{"intervalMs":200,"protocolVersion":1,"type":"hello"}',
            'not json',
            '{"audioPlaying":true,"micHot":false,"owners":[{"pid":7,"output":false},'
            '{"pid":9,"output":true}],"type":"state"}'])
        lines = acceptance.json_lines(text)
        self.assertEqual(len(lines), 2)
        self.assertTrue(acceptance.plays_output(lines, 9))
        self.assertFalse(acceptance.plays_output(lines, 7))
        self.assertFalse(acceptance.plays_output(lines, 8))


ENTITLEMENTS = {"com.apple.security.inherit": True}
INFO_PLIST = plistlib.dumps({"CFBundleIdentifier": "app.nimbrel.tap", "CFBundleName": "N"})
DISPLAY = ("Identifier=app.nimbrel.tap\nFormat=Mach-O thin (arm64)\n"
           "CodeDirectory v=20500 size=1 flags=0x10002(adhoc,runtime) hashes=1+7\n"
           "Signature=adhoc\nInfo.plist entries=2\n")


def macho(sections):
    """A thin arm64 Mach-O image with one __TEXT segment of `sections`
    ((name, bytes) pairs), their bytes after the load commands."""
    size = 72 + 80 * len(sections)
    at, headers, payload = 32 + size, b"", b""
    for name, data in sections:
        headers += struct.pack("<16s16sQQIIIIIIII", name.encode(), b"__TEXT", 0, len(data),
                               at + len(payload), 0, 0, 0, 0, 0, 0, 0)
        payload += data
    segment = struct.pack("<II16sQQQQiiII", 0x19, size, b"__TEXT", 0, 0, 0, 0, 5, 5,
                          len(sections), 0)
    header = struct.pack("<IiiIIIII", 0xFEEDFACF, 0x0100000C, 0, 2, 1, size, 0, 0)
    return header + segment + headers + payload


class Signatures(unittest.TestCase):
    def test_section_of_a_macho_image(self):
        image = macho([("__text", b"code"), ("__info_plist", INFO_PLIST)])
        self.assertEqual(acceptance.macho_section(image, "__TEXT", "__info_plist"), INFO_PLIST)
        self.assertIsNone(acceptance.macho_section(image, "__DATA", "__info_plist"))
        self.assertIsNone(acceptance.macho_section(b"\x7fELF" + bytes(60), "__TEXT", "x"))

    def test_verdicts(self):
        signed = plistlib.dumps(ENTITLEMENTS)
        cases = [
            # name, display, entitlements, Info.plist, embedded, passes, words
            ("all there", DISPLAY, signed, INFO_PLIST, INFO_PLIST, True, "runtime"),
            ("no hardened runtime", DISPLAY.replace("(adhoc,runtime)", "(adhoc)"), signed,
             INFO_PLIST, INFO_PLIST, False, "no hardened runtime"),
            ("entitlements missing", DISPLAY, b"", INFO_PLIST, INFO_PLIST, False,
             "entitlements"),
            ("Info.plist not bound", DISPLAY.replace("entries=2", "not bound"), signed,
             INFO_PLIST, INFO_PLIST, False, "not bound"),
            ("embedded list differs", DISPLAY, signed, INFO_PLIST, b"<plist/>", False,
             "differs"),
            ("other identifier", DISPLAY.replace("app.nimbrel.tap", "a.out"), signed,
             INFO_PLIST, INFO_PLIST, False, "identifier a.out"),
            ("probe without a list",
             DISPLAY.replace("app.nimbrel.tap", "app.nimbrel.tap").replace(
                 "Info.plist entries=2", "Info.plist=not bound"), signed, None, None, True,
             "Signature=adhoc"),
        ]
        for name, display, xml, plist, embedded, passes, words in cases:
            with self.subTest(name):
                ok, detail = acceptance.signature_verdict("app.nimbrel.tap", display, xml,
                                                          ENTITLEMENTS, plist, embedded)
                self.assertEqual(ok, passes, detail)
                self.assertIn(words, detail)


FORMAT = b'{"channels":1,"encoding":"s16le","sampleRate":48000,"type":"format"}\n'


class Recordings(unittest.TestCase):
    """Verdicts on runs kept as the Mac run keeps them."""

    def recorded(self, pcm, stderr=FORMAT, marks=None):
        with tempfile.TemporaryDirectory() as folder:
            acceptance.save_recording(acceptance.Run(0, pcm, stderr, marks=marks), folder, "r")
            return acceptance.load_recording(folder, "r")

    def test_tone_in_every_window(self):
        tone = sine(1000, 48000, seconds=1).tobytes()
        gaps = bytearray(tone)
        for window in range(0, 50, 10):  # 3 windows of every 10: 30 %
            at = window * 1920
            gaps[at:at + 3 * 1920] = bytes(3 * 1920)
        ok, detail = acceptance.tone_verdict(self.recorded(tone))
        self.assertTrue(ok, detail)
        ok, detail = acceptance.tone_verdict(self.recorded(bytes(gaps)))
        self.assertFalse(ok, detail)
        self.assertIn("1000 Hz in 35 of 50 20 ms windows", detail)
        self.assertIn("first missing at 0.00 s", detail)

    def test_exclusion(self):
        other = sine(500, 48000, seconds=0.5)
        leak = array.array("h", (a + b // 4 for a, b in zip(other, sine(1000, 48000, 0.5))))
        cases = [("correct", other.tobytes(), True, "the excluded 1000 Hz in 0, "
                  "the other player's 500 Hz in 25"),
                 ("nothing recorded", b"", False, "0 bytes"),
                 ("excluded player heard", leak.tobytes(), False, "1000 Hz in 25")]
        for name, pcm, passes, words in cases:
            with self.subTest(name):
                ok, detail = acceptance.excluded_verdict(self.recorded(pcm))
                self.assertEqual(ok, passes, detail)
                self.assertIn(words, detail)

    def test_switch(self):
        tone = sine(1000, 48000, seconds=0.4).tobytes()
        change = (b'{"from":"speakers","reason":"default-output-changed",'
                  b'"to":"headset","type":"device-changed"}\n')
        cases = [("correct", tone + bytes(100), FORMAT + change, True, "100 samples after"),
                 ("no line", tone, FORMAT, False, "0 device-changed lines"),
                 ("other device", tone, FORMAT + change.replace(b"headset", b"hdmi"), False,
                  "to 'hdmi', not 'headset'"),
                 ("silence before", bytes(len(tone)), FORMAT + change, False,
                  "before the switch 1000 Hz in 0 of 20")]
        for name, pcm, stderr, passes, words in cases:
            with self.subTest(name):
                run = self.recorded(pcm + bytes(200), stderr, {"switch": len(pcm)})
                ok, detail = acceptance.switch_verdict(run, "speakers", "headset")
                self.assertEqual(ok, passes, detail)
                self.assertIn(words, detail)


    def test_late_player(self):
        other = sine(500, 48000, seconds=0.2).tobytes()
        mixed = array.array("h", (a + b for a, b in zip(sine(500, 48000, 0.2),
                                                         sine(1000, 48000, 0.2)))).tobytes()
        for name, after, words in [("heard", mixed, "heard in 10 of 10 windows after"),
                                   ("left out", other, "not heard in 10 windows")]:
            with self.subTest(name):
                run = self.recorded(mixed + after, marks={"late": len(mixed)})
                self.assertIn(words, acceptance.late_exclusion_finding(run))


class OnTheMac(unittest.TestCase):
    """What only a Mac runs, on stand-ins."""

    def test_late_player_keeps_its_pid_and_waits_for_start(self):
        with tempfile.TemporaryDirectory() as folder:
            log = os.path.join(folder, "log")
            with open(os.path.join(folder, "afplay"), "w") as file:
                file.write("#!/bin/sh\necho $$ \"$1\" >%s\nsleep 5\n" % log)
            os.chmod(os.path.join(folder, "afplay"), 0o755)
            path = dict(os.environ)["PATH"]
            os.environ["PATH"] = folder + os.pathsep + path
            try:
                with acceptance.Player("tone.wav", late=True) as late:
                    time.sleep(0.2)
                    self.assertFalse(os.path.exists(log))
                    late.start()
                    written = ""
                    for _ in range(50):
                        time.sleep(0.02)
                        if os.path.exists(log):
                            with open(log) as file:
                                written = file.read()
                        if written.endswith("\n"):
                            break
                    self.assertEqual(written, "%d tone.wav\n" % late.pid)
            finally:
                os.environ["PATH"] = path

    def test_channels_of_a_buffer_list(self):
        devices = acceptance.Devices.__new__(acceptance.Devices)
        lists = {"inpt": struct.pack("<I4xIIQIIQ", 2, 1, 0, 0, 2, 0, 0), "outp": b""}
        devices._read = lambda obj, selector, scope: lists[scope]
        self.assertEqual(devices._channels(50, "inpt"), 3)
        self.assertEqual(devices._channels(50, "outp"), 0)


PLAYER = 4242
# A 1 kHz square wave at 48 kHz, played by PLAYER, and a 500 Hz one 6 dB
# lower by another process.
WORLD = {"processes": [{"object": 100, "pid": PLAYER, "output": True,
                        "signal": {"kind": "square", "value": 0.5, "period": 48}},
                       {"object": 101, "pid": 4343, "output": True,
                        "signal": {"kind": "square", "value": 0.25, "period": 96}}]}


class OnTheSimulatedPlatform(unittest.TestCase):
    def run_checks(self, world, checks):
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as file:
            json.dump(world, file)
        env = dict(os.environ, NIMBREL_SIM_WORLD=file.name)
        results, printed = [], io.StringIO()
        try:
            with redirect_stdout(printed):
                checks(results, env)
        finally:
            os.unlink(file.name)
        return results, printed.getvalue()

    def tap_checks(self, world):
        return self.run_checks(world, lambda results, env: acceptance.tap_checks(
            results, os.environ["NIMBREL_TAP"], PLAYER, env, seconds=0.3, ready_wait=1))

    def test_tap_checks_pass_under_every_auto_start_reading(self):
        for reading in ["immediate", "cyclesWait", "startWaits"]:
            with self.subTest(reading):
                results, printed = self.tap_checks(dict(WORLD, tapAutoStart=reading))
                self.assertEqual(results, [True, True, True, True], printed)
                self.assertIn("permission: granted", printed)
                self.assertRegex(printed, "PASS tap leaves out the excluded player: "
                                 r"(\d+) windows: the excluded 1000 Hz in 0, "
                                 r"the other player's 500 Hz in \1")

    def test_tap_checks_print_the_tap_error_line(self):
        failing = dict(WORLD, failures=[{"op": "createProcessTap", "status": -50}])
        results, printed = self.tap_checks(failing)
        self.assertEqual(results, [False, False, False, False], printed)
        self.assertIn('tap said: {"code":"TAP_CREATE_FAILED"', printed)
        self.assertIn("exit status 1", printed)

    def test_tap_checks_fail_on_a_tapped_silence(self):
        quiet = {"processes": [{"object": 100, "pid": PLAYER, "output": True}]}
        results, printed = self.tap_checks(quiet)
        self.assertEqual(results, [False, True, True, False], printed)
        self.assertIn("permission: denied", printed)

    def test_probe_checks_find_the_player(self):
        results, printed = self.run_checks(WORLD, lambda results, env: acceptance.probe_checks(
            results, os.environ["NIMBREL_PROBE"], PLAYER, env))
        self.assertEqual(results, [True, True], printed)
        results, printed = self.run_checks({}, lambda results, env: acceptance.probe_checks(
            results, os.environ["NIMBREL_PROBE"], PLAYER, env))
        self.assertEqual(results, [False, True], printed)


if __name__ == "__main__":
    unittest.main()
