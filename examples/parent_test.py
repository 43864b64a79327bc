#!/usr/bin/env python3
"""Runs examples/parent.py on the simulated platform, one world at a time,
and checks what it printed and the WAV file it wrote.

usage: parent_test.py PROBE TAP [unittest options]
"""
import array
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
PROBE = TAP = ""
SECONDS = 3.0


class Parent(unittest.TestCase):

    def folder(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        return folder

    def run_parent(self, world):
        folder = self.folder()
        wav = os.path.join(folder, "out.wav")
        env = dict(os.environ, NIMBREL_SIM_WORLD=world)
        result = subprocess.run(
            [sys.executable, os.path.join(HERE, "parent.py"), "--probe", PROBE,
             "--tap", TAP, "--seconds", str(SECONDS), "--wav", wav],
            env=env, capture_output=True, text=True, timeout=120)
        return result, wav

    def test_worlds(self):
        failing = os.path.join(self.folder(), "no-tap.json")
        with open(failing, "w") as f:
            json.dump({"failures": [{"op": "createProcessTap",
                                     "status": -50}]}, f)
        cases = [
            # world, exit status, WAV rate (None: no file), every sample
            # (None: any), lines that must be printed
            (os.path.join(HERE, "worlds", "call.json"), 0, 48000, None, [
                "probe: hello, protocol 1, sampling every 200 ms",
                "probe: mic hot, audio playing: corespeechd (pid 312, input, "
                "ignored); Talker (pid 4242, input+output)\n",
                "chime (pid 5150, output)",
                "probe: mic idle, audio playing: corespeechd",
                "tap: format: 48000 Hz mono s16le, from 2 source channel(s) "
                "(float) on BuiltInSpeakerDevice",
                "tap: started",
                "probe: exited with status 0", "tap: exited with status 0"]),
            (os.path.join(HERE, "worlds", "headset-unplugged.json"), 0, 44100,
             8191, [
                 "probe: mic idle, audio playing: Tunes (pid 7001, output)\n",
                 "probe: mic hot, audio playing: Browser (pid 7002, input); "
                 "Tunes (pid 7001, output)\n",
                 "tap: format: 44100 Hz mono s16le, from 1 source channel(s) "
                 "(int16) on USBHeadsetUID",
                 "tap: device changed (default-output-changed): USBHeadsetUID "
                 "-> BuiltInSpeakerDevice",
                 "tap: exited with status 0"]),
            (failing, 1, None, None, [
                "tap: error TAP_CREATE_FAILED (status -50)",
                "tap: what to do: ", "tap: exited with status 1",
                "probe: exited with status 0"]),
        ]
        for world, status, rate, sample, lines in cases:
            with self.subTest(os.path.basename(world)):
                result, path = self.run_parent(world)
                self.assertEqual(result.returncode, status, result.stdout +
                                 result.stderr)
                for line in lines:
                    self.assertIn(line, result.stdout)
                # Each state is printed once however many heartbeats come.
                states = [l for l in result.stdout.splitlines()
                          if l.startswith("probe: mic")]
                self.assertEqual(len(states), len(set(states)), states)
                if rate is None:
                    self.assertFalse(os.path.exists(path))
                    continue
                self.check_wav(path, rate, sample, result.stdout)

    def check_wav(self, path, rate, sample, output):
        with wave.open(path, "rb") as wav:
            self.assertEqual(wav.getframerate(), rate)
            self.assertEqual(wav.getnchannels(), 1)
            self.assertEqual(wav.getsampwidth(), 2)
            frames = wav.getnframes()
            data = wav.readframes(frames + 1)
        self.assertEqual(len(data), 2 * frames)  # header and data agree
        self.assertEqual(os.path.getsize(path), 44 + len(data))
        # Start-up and the stop take some of the run; capture never runs
        # longer than the run plus the write-out.
        self.assertGreater(frames / rate, SECONDS / 3)
        self.assertLess(frames / rate, SECONDS + 1.5)
        self.assertIn(f"{frames} samples, {frames / rate:.2f} s", output)
        samples = array.array("h")
        samples.frombytes(data)
        if sys.byteorder != "little":
            samples.byteswap()
        if sample is None:
            self.assertGreater(max(abs(s) for s in samples), 1000)
        else:
            self.assertEqual(set(samples), {sample})


if __name__ == "__main__":
    PROBE, TAP = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])
