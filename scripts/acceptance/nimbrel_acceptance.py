"""On-device acceptance of the two sidecars: runs them, reads what they
write, and judges it (strongest frequency of the PCM, owners in the probe's
lines, exit statuses). Pure Python 3, standard library only, so that a fresh
Mac needs nothing installed; the same functions are tested on the simulated
platform (test_nimbrel_acceptance.py).

    python3 nimbrel_acceptance.py BUILD_DIR   # what scripts/mac-acceptance runs
"""

import array
import json
import math
import os
import subprocess
import sys
import tempfile
import threading
import time
import wave

TONE_HZ = 1000


# ---- Reading what the programs write --------------------------------------

def samples_from_s16le(pcm):
    """The signed 16-bit little-endian samples of `pcm` (a trailing odd byte
    is dropped)."""
    samples = array.array("h")
    samples.frombytes(pcm[: len(pcm) // 2 * 2])
    if sys.byteorder == "big":
        samples.byteswap()
    return samples


def goertzel_power(samples, rate, frequency):
    """The power of `frequency` in `samples` (one DFT bin, Goertzel's way)."""
    coefficient = 2 * math.cos(2 * math.pi * frequency / rate)
    previous = before = 0.0
    for sample in samples:
        previous, before = sample + coefficient * previous - before, previous
    return previous * previous + before * before - coefficient * previous * before


def strongest_frequency(samples, rate, low=50, high=8000, step=25):
    """The candidate frequency (every `step` Hz from `low` to `high`) with the
    most power, or None for silence. Looks at the loudest 0.1 s, at most."""
    window = int(rate // 10)
    if len(samples) > window:
        loudest = max(range(0, len(samples) - window + 1, window),
                      key=lambda at: sum(abs(s) for s in samples[at:at + window]))
        samples = samples[loudest:loudest + window]
    if not any(samples):
        return None
    high = min(high, rate / 2 - step)
    candidates = range(low, int(high) + 1, step)
    return max(candidates, key=lambda f: goertzel_power(samples, rate, f))


def is_silent(samples, threshold=32):
    """No sample further from 0 than `threshold` (about -60 dBFS)."""
    return all(-threshold <= s <= threshold for s in samples)


def permission_state(samples_while_playing):
    """What the PCM says about the system-audio permission, in plain words:
    a denied permission (or a missing usage description) gives exact zeros
    while something plays."""
    if len(samples_while_playing) == 0:
        return "unknown: the tap wrote no audio"
    if not any(samples_while_playing):
        return ("denied, or the usage description is missing: only zeros while "
                "a tone plays (System Settings > Privacy & Security > "
                "Screen & System Audio Recording)")
    return "granted: the tap hears what plays"


def json_lines(text):
    """The JSON objects of `text`, one per line; other lines are skipped."""
    objects = []
    for line in text.splitlines():
        try:
            value = json.loads(line)
        except ValueError:
            continue
        if isinstance(value, dict):
            objects.append(value)
    return objects


def plays_output(probe_lines, pid):
    """True when a probe "state" report lists `pid` with output true."""
    for report in probe_lines:
        if report.get("type") != "state":
            continue
        for owner in report.get("owners", []):
            if owner.get("pid") == pid and owner.get("output") is True:
                return True
    return False


# ---- Running the programs ---------------------------------------------------

class Run:
    """One finished run: its exit status, standard output and standard error."""

    def __init__(self, status, stdout, stderr):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr

    def events(self):
        return json_lines(self.stderr.decode("utf-8", "replace"))

    def sample_rate(self):
        for event in self.events():
            if event.get("type") == "format":
                return event.get("sampleRate")
        return None


def _drain(stream, into):
    for chunk in iter(lambda: stream.read1(65536), b""):
        into.extend(chunk)


def run_until_stdin_closed(command, seconds, env=None, ready=None):
    """Starts `command` with pipes, lets it run `seconds` once `ready` (bytes
    expected on standard output or error, such as b'"started"') has come, then
    closes its standard input and waits at most 10 s for the exit. Status
    None: it did not end and was killed."""
    child = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=env)
    out, err = bytearray(), bytearray()
    readers = [threading.Thread(target=_drain, args=(child.stdout, out)),
               threading.Thread(target=_drain, args=(child.stderr, err))]
    for reader in readers:
        reader.start()
    deadline = time.monotonic() + 20
    while (ready and ready not in err and ready not in out and child.poll() is None
           and time.monotonic() < deadline):
        time.sleep(0.02)
    time.sleep(seconds)
    child.stdin.close()
    try:
        status = child.wait(timeout=10)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
        status = None
    for reader in readers:
        reader.join()
    child.stdout.close()
    child.stderr.close()
    return Run(status, bytes(out), bytes(err))


def capture(tap, seconds, exclude_pids=(), env=None):
    """Records `seconds` of system audio after "started"; ends by stdin EOF."""
    command = [tap] + [arg for pid in exclude_pids for arg in ("--exclude-pid", str(pid))]
    return run_until_stdin_closed(command, seconds, env, ready=b'"started"')


def probe(probe_path, seconds, env=None):
    """Runs the probe at its shortest interval for `seconds`."""
    return run_until_stdin_closed([probe_path, "--interval-ms", "200"], seconds, env,
                                  ready=b'"hello"')


# ---- On the Mac --------------------------------------------------------------

def write_tone(path, frequency=TONE_HZ, seconds=30, rate=48000):
    """A mono 16-bit WAV file of a sine at half of full scale."""
    frames = array.array("h", (int(16383 * math.sin(2 * math.pi * frequency * n / rate))
                               for n in range(int(seconds * rate))))
    if sys.byteorder == "big":
        frames.byteswap()
    with wave.open(path, "wb") as file:
        file.setnchannels(1)
        file.setsampwidth(2)
        file.setframerate(rate)
        file.writeframes(frames.tobytes())


def check(results, name, ok, detail):
    results.append(ok)
    print(("PASS " if ok else "FAIL ") + name + ": " + detail, flush=True)


def tap_checks(results, tap, player_pid, env=None, seconds=2):
    """The tap's checks while `player_pid` plays the tone."""
    heard = capture(tap, seconds, env=env)
    samples = samples_from_s16le(heard.stdout)
    rate = heard.sample_rate()
    peak = strongest_frequency(samples, rate) if rate else None
    check(results, "tap hears the tone",
          peak is not None and abs(peak - TONE_HZ) <= 25,
          "strongest frequency %s Hz at %s Hz, %d samples" % (peak, rate, len(samples)))
    check(results, "tap stops with status 0 at the end of stdin", heard.status == 0,
          "exit status %s" % heard.status)
    print("INFO system-audio permission: " + permission_state(samples), flush=True)
    without = capture(tap, seconds, exclude_pids=[player_pid], env=env)
    quiet = samples_from_s16le(without.stdout)
    check(results, "tap is silent with the player excluded",
          len(quiet) > 0 and is_silent(quiet),
          "%d samples, largest %d" % (len(quiet), max((abs(s) for s in quiet), default=0)))


def probe_checks(results, probe_path, player_pid, env=None):
    run = probe(probe_path, 1.5, env=env)
    lines = json_lines(run.stdout.decode("utf-8", "replace"))
    check(results, "probe lists the player with output true", plays_output(lines, player_pid),
          "pid %d in %d lines" % (player_pid, len(lines)))
    check(results, "probe stops with status 0 at the end of stdin", run.status == 0,
          "exit status %s" % run.status)


def main(build):
    results = []
    tap = os.path.join(build, "tap", "nimbrel-tap")
    probe_path = os.path.join(build, "probe", "nimbrel-probe")
    with tempfile.TemporaryDirectory() as folder:
        tone = os.path.join(folder, "tone-1khz.wav")
        write_tone(tone)
        player = subprocess.Popen(["afplay", tone])
        try:
            time.sleep(0.5)
            probe_checks(results, probe_path, player.pid)
            tap_checks(results, tap, player.pid)
        finally:
            player.kill()
            player.wait()
    print("%d of %d checks passed" % (sum(results), len(results)), flush=True)
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "build/macos"))
