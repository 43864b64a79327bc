"""On-device acceptance of the two sidecars: runs them, reads what they
write, and judges it (strongest frequency of the PCM, owners in the probe's
lines, exit statuses). Pure Python 3, standard library only, so that a fresh
Mac needs nothing installed; the same functions are tested on the simulated
platform (test_nimbrel_acceptance.py).

    python3 nimbrel_acceptance.py BUILD_DIR   # what scripts/mac-acceptance runs
    python3 nimbrel_acceptance.py --notice    # what it says before it starts
"""

import array
import json
import math
import os
import plistlib
import re
import struct
import subprocess
import sys
import tempfile
import threading
import time
import wave

TONE_HZ = 1000
TONE_SECONDS = 30     # longer than every check together; stopped after them
TONE_LEVEL = 0.5      # of full scale: -6 dBFS
READY_WAIT = 5        # seconds for "started" (or "hello") before going on
EXIT_WAIT = 3         # seconds for the exit after the end of stdin


def notice():
    """What the user needs to know before the script starts."""
    return [
        "NOTE This plays a %d Hz tone at %d dBFS (half of full scale) through the "
        "default output for at most %d s: turn the volume down first if you wear "
        "headphones." % (TONE_HZ, round(20 * math.log10(TONE_LEVEL)), TONE_SECONDS),
        "NOTE macOS may ask whether your terminal may record system audio "
        "(\"System Audio Recording\"): click Allow, then run scripts/mac-acceptance "
        "again. Don't Allow usually leaves the tap recording only zeros.",
        "NOTE Each program gets at most %d s for its first line and %d s to exit "
        "after the end of its input; nothing started here outlives the script."
        % (READY_WAIT, EXIT_WAIT),
    ]


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


def permission_state(samples_while_playing, started=True):
    """What the PCM says about the system-audio permission, in plain words:
    a denied permission (or a missing usage description) gives exact zeros
    while something plays."""
    if len(samples_while_playing) == 0:
        if not started:
            return "unknown: the tap never wrote \"started\" and no audio"
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
    """One finished run: its exit status (None: killed after EXIT_WAIT),
    standard output and standard error, and whether the line it was waited
    for came."""

    def __init__(self, status, stdout, stderr, ready=True, ready_wait=READY_WAIT):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr
        self.ready = ready
        self.ready_wait = ready_wait

    def events(self):
        return json_lines(self.stderr.decode("utf-8", "replace"))

    def error_lines(self):
        """Lines of standard error that report a failure: "error" events and
        anything that is not an event line at all."""
        lines = []
        for line in self.stderr.decode("utf-8", "replace").splitlines():
            parsed = json_lines(line)
            if not parsed or parsed[0].get("type") == "error":
                lines.append(line)
        return lines

    def sample_rate(self):
        for event in self.events():
            if event.get("type") == "format":
                return event.get("sampleRate")
        return None


def _drain(stream, into):
    for chunk in iter(lambda: stream.read1(65536), b""):
        into.extend(chunk)


def run_until_stdin_closed(command, seconds, env=None, ready=None,
                           ready_wait=READY_WAIT, exit_wait=EXIT_WAIT):
    """Starts `command` with pipes, waits at most `ready_wait` s for `ready`
    (bytes expected on standard output or error, such as b'"started"'), lets
    it run `seconds` more, then closes its standard input and waits at most
    `exit_wait` s for the exit. Whatever happens, the child does not outlive
    the call."""
    child = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=env)
    out, err = bytearray(), bytearray()
    readers = [threading.Thread(target=_drain, args=(child.stdout, out)),
               threading.Thread(target=_drain, args=(child.stderr, err))]
    status = None
    try:
        for reader in readers:
            reader.start()
        deadline = time.monotonic() + ready_wait
        while (ready and ready not in err and ready not in out and child.poll() is None
               and time.monotonic() < deadline):
            time.sleep(0.02)
        time.sleep(seconds)
        child.stdin.close()
        try:
            status = child.wait(timeout=exit_wait)
        except subprocess.TimeoutExpired:
            status = None
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        for reader in readers:
            if reader.ident is not None:
                reader.join()
        child.stdout.close()
        child.stderr.close()
    seen = ready is None or ready in err or ready in out
    return Run(status, bytes(out), bytes(err), seen, ready_wait)


def capture(tap, seconds, exclude_pids=(), env=None, ready_wait=READY_WAIT):
    """Records `seconds` of system audio after "started" (or after
    `ready_wait` s without it: with tap auto-start the device's start may
    wait for audio); ends by stdin EOF."""
    command = [tap] + [arg for pid in exclude_pids for arg in ("--exclude-pid", str(pid))]
    return run_until_stdin_closed(command, seconds, env, ready=b'"started"',
                                  ready_wait=ready_wait)


def probe(probe_path, seconds, env=None):
    """Runs the probe at its shortest interval for `seconds`."""
    return run_until_stdin_closed([probe_path, "--interval-ms", "200"], seconds, env,
                                  ready=b'"hello"')


# ---- Judging the runs ----------------------------------------------------------

def stop_verdict(run):
    """A stop by the end of standard input: status 0 within EXIT_WAIT."""
    if run.status is None:
        return False, "still running %d s after the end of stdin; killed" % EXIT_WAIT
    return run.status == 0, "exit status %s" % run.status


def tone_verdict(run):
    """The tap heard the tone: its strongest frequency is TONE_HZ."""
    samples = samples_from_s16le(run.stdout)
    rate = run.sample_rate()
    peak = strongest_frequency(samples, rate) if rate else None
    return (peak is not None and abs(peak - TONE_HZ) <= 25,
            "strongest frequency %s Hz at %s Hz, %d samples" % (peak, rate, len(samples)))


def excluded_verdict(run):
    """The tap is silent with the player excluded. With tap auto-start a
    correct tap may write nothing at all, and may not even write "started",
    while only excluded processes play: 0 bytes is silence too."""
    samples = samples_from_s16le(run.stdout)
    if run.status != 0 or run.error_lines():
        return False, "the tap did not run and stop cleanly (exit status %s)" % run.status
    if len(samples) == 0:
        return True, "0 bytes%s: it waits for audio (tap auto-start)" % (
            "" if run.ready else ", no \"started\" within %g s" % run.ready_wait)
    return (is_silent(samples),
            "%d samples, largest %d" % (len(samples), max(abs(s) for s in samples)))


# ---- On the Mac ----------------------------------------------------------------

def write_tone(path, frequency=TONE_HZ, seconds=TONE_SECONDS, rate=48000):
    """A mono 16-bit WAV file of a sine at TONE_LEVEL of full scale."""
    amplitude = int(32767 * TONE_LEVEL)
    frames = array.array("h", (int(amplitude * math.sin(2 * math.pi * frequency * n / rate))
                               for n in range(int(seconds * rate))))
    if sys.byteorder == "big":
        frames.byteswap()
    with wave.open(path, "wb") as file:
        file.setnchannels(1)
        file.setsampwidth(2)
        file.setframerate(rate)
        file.writeframes(frames.tobytes())


def check(results, name, verdict, said=(), who="tap"):
    """Prints one check; a failed one with what the program said."""
    ok, detail = verdict
    results.append(ok)
    print(("PASS " if ok else "FAIL ") + name + ": " + detail, flush=True)
    if not ok:
        for line in said:
            print("     %s said: %s" % (who, line), flush=True)


def tap_checks(results, tap, player_pid, env=None, seconds=2, ready_wait=READY_WAIT):
    """The tap's checks while `player_pid` plays the tone."""
    heard = capture(tap, seconds, env=env, ready_wait=ready_wait)
    said = heard.error_lines()
    check(results, "tap hears the tone", tone_verdict(heard), said)
    check(results, "tap stops with status 0 at the end of stdin", stop_verdict(heard), said)
    print("INFO system-audio permission: " +
          permission_state(samples_from_s16le(heard.stdout), heard.ready), flush=True)
    without = capture(tap, seconds, exclude_pids=[player_pid], env=env, ready_wait=ready_wait)
    check(results, "tap is silent with the player excluded", excluded_verdict(without),
          without.error_lines())


def probe_checks(results, probe_path, player_pid, env=None):
    run = probe(probe_path, 1.5, env=env)
    lines = json_lines(run.stdout.decode("utf-8", "replace"))
    said = run.stderr.decode("utf-8", "replace").splitlines()
    check(results, "probe lists the player with output true",
          (plays_output(lines, player_pid), "pid %d in %d lines" % (player_pid, len(lines))),
          said, "probe")
    check(results, "probe stops with status 0 at the end of stdin", stop_verdict(run), said,
          "probe")


# ---- The signatures ---------------------------------------------------------------

def macho_section(data, segment, section):
    """The bytes of `segment`,`section` of a thin 64-bit little-endian Mach-O
    file, or None."""
    if len(data) < 32 or struct.unpack_from("<I", data)[0] != 0xFEEDFACF:
        return None
    commands = struct.unpack_from("<I", data, 16)[0]
    at = 32
    for _ in range(commands):
        command, size = struct.unpack_from("<II", data, at)
        if command == 0x19:  # LC_SEGMENT_64
            count = struct.unpack_from("<I", data, at + 64)[0]
            for k in range(count):
                entry = at + 72 + 80 * k
                name, owner = struct.unpack_from("<16s16s", data, entry)
                length, offset = struct.unpack_from("<QI", data, entry + 40)
                if (name.rstrip(b"\0").decode() == section and
                        owner.rstrip(b"\0").decode() == segment):
                    return data[offset:offset + length]
        at += size
    return None


def signature_verdict(identifier, display, entitlements_xml, entitlements, info_plist,
                      embedded):
    """Judges one program's signature from `codesign -d --verbose=4` output
    (`display`) and `codesign -d --entitlements - --xml` (`entitlements_xml`),
    against the expected identifier, entitlements (a dict) and Info.plist
    bytes (None for a program without one; `embedded` is its section)."""
    fields = dict(line.split("=", 1) for line in display.splitlines() if "=" in line)
    flags = re.search(r"flags=0x[0-9a-f]+\(([^)]*)\)", display)
    problems = []
    if fields.get("Identifier") != identifier:
        problems.append("identifier %s, not %s" % (fields.get("Identifier"), identifier))
    if not flags or "runtime" not in flags.group(1).split(","):
        problems.append("no hardened runtime flag")
    try:
        signed = plistlib.loads(entitlements_xml) if entitlements_xml.strip() else {}
    except Exception:
        signed = {}
    if signed != entitlements:
        problems.append("entitlements %s" % sorted(signed))
    if info_plist is None:
        if fields.get("Info.plist", "not bound") != "not bound" or embedded is not None:
            problems.append("carries an Info.plist")
    else:
        if fields.get("Info.plist entries") != str(len(plistlib.loads(info_plist))):
            problems.append("Info.plist not bound to the signature (%s entries)" %
                            fields.get("Info.plist entries"))
        if embedded != info_plist:
            problems.append("embedded Info.plist differs from the build's")
    if problems:
        return False, "; ".join(problems)
    return True, "%s, runtime, %d entitlements%s, Signature=%s" % (
        identifier, len(signed),
        "" if info_plist is None else ", Info.plist entries=%s" % fields["Info.plist entries"],
        fields.get("Signature", fields.get("Authority", "?")))


def signature_checks(results, build):
    """codesign --verify --strict, then what the signature holds, for both."""
    plist_path = os.path.join(build, "tap", "identity", "Info.plist")
    source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    with open(plist_path, "rb") as file:
        info_plist = file.read()
    with open(os.path.join(source, "tap", "identity", "entitlements.plist"), "rb") as file:
        entitlements = plistlib.load(file)
    programs = [(os.path.join(build, "tap", "nimbrel-tap"),
                 plistlib.loads(info_plist)["CFBundleIdentifier"], info_plist),
                (os.path.join(build, "probe", "nimbrel-probe"), "nimbrel-probe", None)]
    for path, identifier, plist in programs:
        name = os.path.basename(path)
        verify = subprocess.run(["codesign", "--verify", "--strict", "--verbose=2", path],
                                capture_output=True, text=True)
        check(results, name + " signature verifies (codesign --verify --strict)",
              (verify.returncode == 0, "exit status %d" % verify.returncode),
              verify.stderr.splitlines(), "codesign")
        display = subprocess.run(["codesign", "-d", "--verbose=4", path],
                                 capture_output=True, text=True)
        signed = subprocess.run(["codesign", "-d", "--entitlements", "-", "--xml", path],
                                capture_output=True)
        with open(path, "rb") as file:
            embedded = macho_section(file.read(), "__TEXT", "__info_plist")
        check(results, name + " signed with the hardened runtime"
              + (", the entitlements and its Info.plist" if plist else " and the entitlements"),
              signature_verdict(identifier, display.stderr + display.stdout, signed.stdout,
                                entitlements, plist, embedded),
              display.stderr.splitlines()[:3], "codesign")


def main(build):
    results = []
    tap = os.path.join(build, "tap", "nimbrel-tap")
    probe_path = os.path.join(build, "probe", "nimbrel-probe")
    signature_checks(results, build)
    with tempfile.TemporaryDirectory() as folder:
        tone = os.path.join(folder, "tone-1khz.wav")
        write_tone(tone)
        print("INFO playing the tone (%d Hz, %d dBFS)" %
              (TONE_HZ, round(20 * math.log10(TONE_LEVEL))), flush=True)
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
    if sys.argv[1:] == ["--notice"]:
        print("\n".join(notice()), flush=True)
        sys.exit(0)
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "build/macos"))
