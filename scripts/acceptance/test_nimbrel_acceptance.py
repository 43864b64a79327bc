"""Tests of the acceptance module: its analysis on synthetic signals, and
its on-device checks run against the programs on the simulated platform.
NIMBREL_TAP and NIMBREL_PROBE name the programs (set by ctest)."""

import array
import io
import json
import math
import os
import tempfile
import unittest
from contextlib import redirect_stdout

import nimbrel_acceptance as acceptance


def sine(frequency, rate, seconds=0.1, amplitude=8000):
    return array.array("h", (int(amplitude * math.sin(2 * math.pi * frequency * n / rate))
                             for n in range(int(rate * seconds))))


class Analysis(unittest.TestCase):
    def test_strongest_frequency_of_sines_and_silence(self):
        for frequency, rate in [(1000, 48000), (1000, 44100), (440, 16000), (3000, 96000)]:
            with self.subTest(frequency=frequency, rate=rate):
                found = acceptance.strongest_frequency(sine(frequency, rate), rate)
                self.assertLessEqual(abs(found - frequency), 25)
        self.assertIsNone(acceptance.strongest_frequency(array.array("h", [0] * 4800), 48000))

    def test_loudest_part_decides(self):
        quiet_then_tone = array.array("h", [0] * 48000) + sine(1000, 48000)
        self.assertEqual(acceptance.strongest_frequency(quiet_then_tone, 48000), 1000)

    def test_permission_words(self):
        self.assertIn("denied", acceptance.permission_state(array.array("h", [0] * 100)))
        self.assertIn("granted", acceptance.permission_state(array.array("h", [0, 5, 0])))
        self.assertIn("unknown", acceptance.permission_state(array.array("h")))

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


PLAYER = 4242
# A 1 kHz square wave at 48 kHz, played by PLAYER.
WORLD = {"processes": [{"object": 100, "pid": PLAYER, "output": True,
                        "signal": {"kind": "square", "value": 0.5, "period": 48}}]}


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

    def test_tap_checks_pass_when_the_tone_is_heard(self):
        results, printed = self.run_checks(WORLD, lambda results, env: acceptance.tap_checks(
            results, os.environ["NIMBREL_TAP"], PLAYER, env, seconds=0.3))
        self.assertEqual(results, [True, True, True], printed)
        self.assertIn("strongest frequency 1000 Hz at 48000 Hz", printed)
        self.assertIn("permission: granted", printed)

    def test_tap_checks_fail_on_a_tapped_silence(self):
        quiet = {"processes": [{"object": 100, "pid": PLAYER, "output": True}]}
        results, printed = self.run_checks(quiet, lambda results, env: acceptance.tap_checks(
            results, os.environ["NIMBREL_TAP"], PLAYER, env, seconds=0.3))
        self.assertEqual(results, [False, True, True], printed)
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
