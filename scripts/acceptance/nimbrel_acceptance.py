"""On-device acceptance of the two sidecars: runs them, reads what they
write, and judges it (a tone in every 20 ms window of the PCM, owners in the
probe's lines, events, exit statuses). Pure Python 3, standard library only,
so that a fresh Mac needs nothing installed; the verdicts are tested on
recorded runs and the checks on the simulated platform
(test_nimbrel_acceptance.py). Every capture is kept as WAV + JSON lines in
the output folder, to be sent back.

    python3 nimbrel_acceptance.py BUILD_DIR [OUT_DIR]  # what scripts/mac-acceptance runs
    python3 nimbrel_acceptance.py --notice             # what it says before it starts
    python3 nimbrel_acceptance.py --plan               # the checks, in order
"""

import array
import ctypes
import json
import math
import os
import plistlib
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import wave

TONE_HZ = 1000
OTHER_HZ = 500        # the player that is not excluded; no odd harmonic of it is TONE_HZ
TONE_SECONDS = 30     # longer than any check; each player is stopped after its check
TONE_LEVEL = 0.5      # of full scale: -6 dBFS; the other player is 6 dB lower
READY_WAIT = 5        # seconds for "started" (or "hello") before going on
EXIT_WAIT = 3         # seconds for the exit after the end of stdin or SIGTERM
WINDOW = 0.02         # seconds: the tone is judged in every window this long
FLOOR = 10            # a window with a smaller RMS (about -70 dBFS) holds nothing
TRACE = 0.01          # share of a window's power that is a trace of a tone (-20 dB)
PARENT_ID = "app.nimbrel.acceptance-parent"
PARENT_NAME = "Nimbrel Acceptance Parent"

PLAN = [
    "signatures of both programs (codesign)",
    "probe lists the player with output true; stops at the end of stdin",
    "tap hears the tone in every 20 ms window; stops at the end of stdin",
    "tap stops with status 0 on SIGTERM",
    "tap leaves out the excluded player and hears the other one",
    "tap with an excluded player that starts after it (a finding)",
    "tap across a switch of the default output (needs two output devices)",
    "tap on an output device with input channels (needs a headset)",
    "tap started by a signed parent application (%s)" % PARENT_NAME,
]


def notice():
    """What the user needs to know before the script starts."""
    return [
        "NOTE This plays a %d Hz tone at %d dBFS (half of full scale), with a %d Hz one "
        "6 dB lower, through the default output, each for at most %d s at a time and "
        "about a minute in all: turn the volume down first if you wear headphones."
        % (TONE_HZ, round(20 * math.log10(TONE_LEVEL)), OTHER_HZ, TONE_SECONDS),
        "NOTE macOS may ask whether your terminal may record system audio "
        "(\"System Audio Recording\"), and later whether \"%s\" may: click Allow, "
        "then run scripts/mac-acceptance again. Don't Allow usually leaves the tap "
        "recording only zeros." % PARENT_NAME,
        "NOTE It switches the default output for two checks and switches it back. Each "
        "program gets at most %d s for its first line and %d s to exit after the end of "
        "its input or SIGTERM; nothing started here outlives the script."
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


def tone_windows(samples, rate, frequency, share=0.5):
    """For each whole WINDOW of `samples`: whether it holds `frequency`, that
    is, is louder than FLOOR and has at least `share` of its power in that
    frequency's bin."""
    size = int(round(rate * WINDOW))
    held = []
    for at in range(0, len(samples) - size + 1, size) if size > 0 else ():
        window = samples[at:at + size]
        energy = sum(s * s for s in window)
        if energy <= size * FLOOR * FLOOR:
            held.append(False)
            continue
        # A sine alone gives 2 * power / (size * energy) = 1.
        held.append(2 * goertzel_power(window, rate, frequency) / (size * energy) >= share)
    return held


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
    standard output and standard error, whether the line it was waited for
    came, and `marks`: named byte offsets of standard output taken while it
    ran (how much PCM had come before an event of the check)."""

    def __init__(self, status, stdout, stderr, ready=True, ready_wait=READY_WAIT, marks=None):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr
        self.ready = ready
        self.ready_wait = ready_wait
        self.marks = marks or {}

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


def save_recording(run, folder, name):
    """Keeps a tap run as NAME.wav (its PCM, mono 16-bit at the "format"
    rate; 0 when there was none) and NAME.jsonl (its standard error), with
    its status and marks in NAME.json."""
    os.makedirs(folder, exist_ok=True)
    with wave.open(os.path.join(folder, name + ".wav"), "wb") as file:
        file.setnchannels(1)
        file.setsampwidth(2)
        file.setframerate(int(run.sample_rate() or 48000))
        file.writeframes(run.stdout[: len(run.stdout) // 2 * 2])
    with open(os.path.join(folder, name + ".jsonl"), "wb") as file:
        file.write(run.stderr)
    with open(os.path.join(folder, name + ".json"), "w") as file:
        json.dump({"status": run.status, "ready": run.ready, "marks": run.marks}, file)


def load_recording(folder, name):
    """The Run that save_recording kept."""
    with wave.open(os.path.join(folder, name + ".wav"), "rb") as file:
        pcm = file.readframes(file.getnframes())
    with open(os.path.join(folder, name + ".jsonl"), "rb") as file:
        stderr = file.read()
    with open(os.path.join(folder, name + ".json")) as file:
        facts = json.load(file)
    return Run(facts["status"], pcm, stderr, facts["ready"], marks=facts["marks"])


def _drain(stream, into):
    for chunk in iter(lambda: stream.read1(65536), b""):
        into.extend(chunk)


def run_program(command, seconds, env=None, ready=None, ready_wait=READY_WAIT,
                exit_wait=EXIT_WAIT, stop="eof", during=None):
    """Starts `command` with pipes, waits at most `ready_wait` s for `ready`
    (bytes expected on standard output or error, such as b'"started"'), calls
    `during(out)` (out: the standard output so far; it returns marks), lets
    it run `seconds` more, then stops it (`stop`: "eof" closes its standard
    input, "sigterm" sends SIGTERM) and waits at most `exit_wait` s for the
    exit. Whatever happens, the child does not outlive the call."""
    child = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=env)
    out, err = bytearray(), bytearray()
    readers = [threading.Thread(target=_drain, args=(child.stdout, out)),
               threading.Thread(target=_drain, args=(child.stderr, err))]
    status, marks = None, {}
    try:
        for reader in readers:
            reader.start()
        deadline = time.monotonic() + ready_wait
        while (ready and ready not in err and ready not in out and child.poll() is None
               and time.monotonic() < deadline):
            time.sleep(0.02)
        if during:
            marks = during(out)
        time.sleep(seconds)
        if stop == "sigterm":
            child.send_signal(signal.SIGTERM)
        else:
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
        for stream in (child.stdin, child.stdout, child.stderr):
            if not stream.closed:
                stream.close()
    seen = ready is None or ready in err or ready in out
    return Run(status, bytes(out), bytes(err), seen, ready_wait, marks)


def capture(tap, seconds, exclude_pids=(), env=None, ready_wait=READY_WAIT, **how):
    """Records `seconds` of system audio after "started" (or after
    `ready_wait` s without it: with tap auto-start the device's start may
    wait for audio); `how`: the stop and what happens during it."""
    command = [tap] + [arg for pid in exclude_pids for arg in ("--exclude-pid", str(pid))]
    return run_program(command, seconds, env, ready=b'"started"', ready_wait=ready_wait, **how)


def probe(probe_path, seconds, env=None):
    """Runs the probe at its shortest interval for `seconds`."""
    return run_program([probe_path, "--interval-ms", "200"], seconds, env, ready=b'"hello"')


# ---- Judging the runs ----------------------------------------------------------

def stop_verdict(run, how="the end of stdin"):
    """A stop: status 0 within EXIT_WAIT."""
    if run.status is None:
        return False, "still running %d s after %s; killed" % (EXIT_WAIT, how)
    return run.status == 0, "exit status %s" % run.status


def window_count(samples, rate, frequency, share=0.5):
    held = tone_windows(samples, rate, frequency, share)
    return sum(held), len(held), held


def tone_verdict(run, frequency=TONE_HZ, end=None):
    """The tap heard `frequency` in every 20 ms window (of the PCM before the
    byte offset `end`, when given)."""
    rate = run.sample_rate()
    if not rate:
        return False, "no \"format\" line, %d bytes" % len(run.stdout)
    samples = samples_from_s16le(run.stdout[:end])
    heard, count, held = window_count(samples, rate, frequency)
    detail = "%d Hz in %d of %d 20 ms windows at %s Hz" % (frequency, heard, count, rate)
    if heard < count:
        detail += ", first missing at %.2f s" % (held.index(False) * WINDOW)
    return count > 0 and heard == count, detail


def excluded_verdict(run):
    """With the TONE_HZ player excluded and the OTHER_HZ one playing, the tap
    hears the one in every window and not a trace of the other. Nothing at
    all shows no exclusion: a tap that records nothing fails."""
    if run.status != 0 or run.error_lines():
        return False, "the tap did not run and stop cleanly (exit status %s)" % run.status
    rate = run.sample_rate()
    samples = samples_from_s16le(run.stdout)
    if not rate or len(samples) == 0:
        return False, "0 bytes: nothing recorded, so nothing shows the exclusion%s" % (
            "" if run.ready else " (no \"started\" within %g s)" % run.ready_wait)
    other, count, _ = window_count(samples, rate, OTHER_HZ)
    leaked, _, _ = window_count(samples, rate, TONE_HZ, share=TRACE)
    return (count > 0 and other == count and leaked == 0,
            "%d windows: the excluded %d Hz in %d, the other player's %d Hz in %d"
            % (count, TONE_HZ, leaked, OTHER_HZ, other))


def switch_verdict(run, from_uid, to_uid):
    """Across a switch of the default output (mark "switch"): one
    device-changed line, default-output-changed from the old UID to the new,
    and the tone in every window before the switch."""
    changes = [e for e in run.events() if e.get("type") == "device-changed"]
    problems = []
    if len(changes) != 1:
        problems.append("%d device-changed lines" % len(changes))
    else:
        wanted = {"reason": "default-output-changed", "from": from_uid, "to": to_uid}
        problems += ["%s %r, not %r" % (key, changes[0].get(key), value)
                     for key, value in wanted.items() if changes[0].get(key) != value]
    before = run.marks.get("switch", len(run.stdout))
    ok, detail = tone_verdict(run, end=before)
    if not ok:
        problems.append("before the switch " + detail)
    after = (len(run.stdout) - before) // 2
    if problems:
        return False, "; ".join(problems)
    return True, "%s; before the switch %s; %d samples after it" % (
        json.dumps(changes[0], sort_keys=True), detail, after)


def late_exclusion_finding(run):
    """What the tap recorded of an excluded player that began to play after
    the tap started (mark "late"): not a pass or a fail, a finding."""
    rate = run.sample_rate()
    late = samples_from_s16le(run.stdout[run.marks.get("late", 0):])
    if not rate or not late:
        return "nothing recorded after the excluded player started"
    heard, count, _ = window_count(late, rate, TONE_HZ, share=TRACE)
    if heard == 0:
        return "not heard in %d windows after it started: it was left out" % count
    return ("heard in %d of %d windows after it started: its PID was no audio client "
            "when the tap started, so it was not left out (docs/macos.md)" % (heard, count))


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


# ---- The checks -------------------------------------------------------------------

def write_tone(path, frequency=TONE_HZ, level=TONE_LEVEL, seconds=TONE_SECONDS, rate=48000):
    """A mono 16-bit WAV file of a sine at `level` of full scale."""
    amplitude = int(32767 * level)
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


def tap_checks(results, tap, player_pid, env=None, seconds=2, ready_wait=READY_WAIT,
               keep=None):
    """The tap's checks while `player_pid` plays TONE_HZ and another process
    OTHER_HZ; `keep(run, name)` keeps each capture."""
    keep = keep or (lambda run, name: None)
    heard = capture(tap, seconds, env=env, ready_wait=ready_wait)
    keep(heard, "tone")
    said = heard.error_lines()
    check(results, "tap hears the tone in every 20 ms window", tone_verdict(heard), said)
    check(results, "tap stops with status 0 at the end of stdin", stop_verdict(heard), said)
    print("INFO system-audio permission: " +
          permission_state(samples_from_s16le(heard.stdout), heard.ready), flush=True)
    term = capture(tap, seconds / 2, env=env, ready_wait=ready_wait, stop="sigterm")
    keep(term, "sigterm")
    check(results, "tap stops with status 0 on SIGTERM", stop_verdict(term, "SIGTERM"),
          term.error_lines())
    without = capture(tap, seconds, exclude_pids=[player_pid], env=env, ready_wait=ready_wait)
    keep(without, "excluded")
    check(results, "tap leaves out the excluded player", excluded_verdict(without),
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


class Player:
    """afplay of a WAV file while the block runs; `late`: it waits for
    start() to play, under the PID it already has."""

    def __init__(self, path, late=False):
        command = ["afplay", path]
        if late:
            command = ["/bin/sh", "-c", 'read -r _ && exec afplay "$0"', path]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE)
        self.pid = self.process.pid

    def start(self):
        self.process.stdin.write(b"\n")
        self.process.stdin.close()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.process.kill()
        self.process.wait()


# ---- Output devices, through Core Audio (ctypes) ------------------------------

class _Address(ctypes.Structure):
    _fields_ = [("selector", ctypes.c_uint32), ("scope", ctypes.c_uint32),
                ("element", ctypes.c_uint32)]


class Devices:
    """The Mac's audio devices: list, default output, switch."""

    def __init__(self):
        folder = "/System/Library/Frameworks/%s.framework/%s"
        self.ca = ctypes.CDLL(folder % ("CoreAudio", "CoreAudio"))
        self.cf = ctypes.CDLL(folder % ("CoreFoundation", "CoreFoundation"))
        address, size = ctypes.POINTER(_Address), ctypes.POINTER(ctypes.c_uint32)
        self.ca.AudioObjectGetPropertyDataSize.argtypes = [
            ctypes.c_uint32, address, ctypes.c_uint32, ctypes.c_void_p, size]
        self.ca.AudioObjectGetPropertyData.argtypes = [
            ctypes.c_uint32, address, ctypes.c_uint32, ctypes.c_void_p, size, ctypes.c_void_p]
        self.ca.AudioObjectSetPropertyData.argtypes = [
            ctypes.c_uint32, address, ctypes.c_uint32, ctypes.c_void_p, ctypes.c_uint32,
            ctypes.c_void_p]
        self.cf.CFStringGetCString.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_long,
                                               ctypes.c_uint32]
        self.cf.CFRelease.argtypes = [ctypes.c_void_p]

    @staticmethod
    def _address(selector, scope="glob"):
        code = lambda text: struct.unpack(">I", text.encode())[0]
        return _Address(code(selector), code(scope), 0)

    def _read(self, obj, selector, scope="glob"):
        address, size = self._address(selector, scope), ctypes.c_uint32(0)
        if self.ca.AudioObjectGetPropertyDataSize(obj, address, 0, None, size) != 0:
            return b""
        data = ctypes.create_string_buffer(size.value)
        if self.ca.AudioObjectGetPropertyData(obj, address, 0, None, size, data) != 0:
            return b""
        return data.raw[:size.value]

    def _text(self, obj, selector):
        raw = self._read(obj, selector)
        if len(raw) != ctypes.sizeof(ctypes.c_void_p):
            return None
        ref = ctypes.c_void_p.from_buffer_copy(raw)
        text = ctypes.create_string_buffer(1024)
        ok = self.cf.CFStringGetCString(ref, text, 1024, 0x08000100)  # UTF-8
        self.cf.CFRelease(ref)
        return text.value.decode("utf-8", "replace") if ok else None

    def _channels(self, device, scope):
        raw = self._read(device, "slay", scope)  # an AudioBufferList
        if len(raw) < 4:
            return 0
        count = struct.unpack_from("<I", raw)[0]
        return sum(struct.unpack_from("<I", raw, 8 + 16 * k)[0] for k in range(count)
                   if 8 + 16 * k + 4 <= len(raw))

    def outputs(self):
        """[(id, uid, name, input channels)] of the devices with output
        channels, virtual ones (transport 'virt') last."""
        raw = self._read(1, "dev#")
        ids = struct.unpack("<%dI" % (len(raw) // 4), raw)
        found = [(self._read(d, "tran") == struct.pack("<I", 0x76697274), d) for d in ids
                 if self._channels(d, "outp") > 0]
        return [(d, self._text(d, "uid "), self._text(d, "lnam"), self._channels(d, "inpt"))
                for _, d in sorted(found)]

    def default_output(self):
        raw = self._read(1, "dOut")
        return struct.unpack("<I", raw)[0] if len(raw) == 4 else 0

    def set_default_output(self, device):
        value = ctypes.c_uint32(device)
        return self.ca.AudioObjectSetPropertyData(1, self._address("dOut"), 0, None, 4,
                                                  ctypes.byref(value))


def with_default_output(devices, device, action):
    """Runs `action` with `device` as the default output, then restores the
    default it had."""
    before = devices.default_output()
    try:
        devices.set_default_output(device)
        time.sleep(0.5)
        return action()
    finally:
        devices.set_default_output(before)


# ---- The checks only a Mac can run ------------------------------------------------

def late_exclusion_check(tap, tones, keep):
    """An excluded player that starts after the tap, while the other plays."""
    with Player(tones[OTHER_HZ]), Player(tones[TONE_HZ], late=True) as late:
        def start(out):
            time.sleep(0.5)
            late.start()
            return {"late": len(out)}
        run = capture(tap, 2, exclude_pids=[late.pid], during=start)
    keep(run, "late-exclusion")
    print("FIND excluded player started after the tap: " + late_exclusion_finding(run),
          flush=True)


def switch_check(results, devices, tap, tones, keep):
    outputs = devices.outputs()
    current = devices.default_output()
    others = [d for d in outputs if d[0] != current]
    if not others:
        print("SKIP tap across a switch of the default output: one output device; plug in "
              "headphones or a USB or Bluetooth output and run again", flush=True)
        return
    start_uid = devices._text(current, "uid ")
    target = others[0]

    def switch(out):
        time.sleep(1)
        mark = len(out)
        devices.set_default_output(target[0])
        return {"switch": mark}
    with Player(tones[TONE_HZ]):
        time.sleep(0.5)
        run = with_default_output(devices, current, lambda: capture(tap, 1, during=switch))
    keep(run, "switch")
    check(results, "tap across a switch of the default output to %s" % target[2],
          switch_verdict(run, start_uid, target[1]), run.error_lines())


def headset_check(results, devices, tap, tones, keep):
    headsets = [d for d in devices.outputs() if d[3] > 0]
    if not headsets:
        print("SKIP tap on an output device with input channels: none here; plug in a USB "
              "headset or connect a headset with a microphone (AirPods) and run again",
              flush=True)
        return
    device, _, name, inputs = headsets[0]

    def record():
        with Player(tones[TONE_HZ]):
            time.sleep(0.5)
            return capture(tap, 2)
    run = with_default_output(devices, device, record)
    keep(run, "headset")
    check(results, "tap on %s (%d input channels) hears the tone, not its microphone"
          % (name, inputs), tone_verdict(run), run.error_lines())


def parent_check(results, tap, tones, out):
    """The tap started by a minimal parent application, signed ad hoc and
    launched by Launch Services, so that the permission is the app's."""
    app = os.path.join(out, "NimbrelParent.app")
    shutil.rmtree(app, ignore_errors=True)
    os.makedirs(os.path.join(app, "Contents", "MacOS"))
    os.makedirs(os.path.join(app, "Contents", "Helpers"))
    with open(os.path.join(app, "Contents", "Info.plist"), "wb") as file:
        plistlib.dump({
            "CFBundleIdentifier": PARENT_ID, "CFBundleName": PARENT_NAME,
            "CFBundleExecutable": "NimbrelParent", "CFBundlePackageType": "APPL",
            "CFBundleVersion": "1", "LSMinimumSystemVersion": "14.2", "LSUIElement": True,
            "NSAudioCaptureUsageDescription":
                "The acceptance run records the test tone it plays."}, file)
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "parent_app.c")
    helper = os.path.join(os.path.abspath(app), "Contents", "Helpers", "nimbrel-tap")
    shutil.copy2(tap, helper)
    built = subprocess.run(["cc", "-O2", "-o", os.path.join(app, "Contents", "MacOS",
                                                            "NimbrelParent"), source],
                           capture_output=True, text=True)
    signed = built.returncode == 0 and subprocess.run(
        ["codesign", "--force", "--sign", "-", app], capture_output=True).returncode == 0
    if not signed:
        check(results, "tap started by %s" % PARENT_NAME,
              (False, "could not build and sign %s" % app), built.stderr.splitlines())
        return
    files = [os.path.join(os.path.abspath(out), "parent." + e) for e in ("pcm", "jsonl", "status")]
    for path in files:
        if os.path.exists(path):
            os.unlink(path)
    with Player(tones[TONE_HZ]):
        time.sleep(0.5)
        try:
            subprocess.run(["open", "-n", "-W", app, "--args", helper, "3"] + files,
                           timeout=READY_WAIT + 3 + EXIT_WAIT + 10)
        except subprocess.TimeoutExpired:
            pass
    read = lambda path: open(path, "rb").read() if os.path.exists(path) else b""
    status = read(files[2]).strip()
    run = Run(int(status) if status.lstrip(b"-").isdigit() else None, read(files[0]),
              read(files[1]))
    keep_run(out)(run, "parent")
    check(results, "tap started by %s hears the tone" % PARENT_NAME, tone_verdict(run),
          run.error_lines())
    check(results, "tap started by %s stops with status 0 on SIGTERM" % PARENT_NAME,
          stop_verdict(run, "SIGTERM"), run.error_lines())
    print("INFO system-audio permission of %s: %s" % (
        PARENT_NAME, permission_state(samples_from_s16le(run.stdout))), flush=True)


def keep_run(out):
    return lambda run, name: save_recording(run, out, name)


def main(build, out):
    results = []
    tap = os.path.join(build, "tap", "nimbrel-tap")
    probe_path = os.path.join(build, "probe", "nimbrel-probe")
    keep = keep_run(out)
    signature_checks(results, build)
    with tempfile.TemporaryDirectory() as folder:
        tones = {}
        for frequency, level in ((TONE_HZ, TONE_LEVEL), (OTHER_HZ, TONE_LEVEL / 2)):
            tones[frequency] = os.path.join(folder, "tone-%d.wav" % frequency)
            write_tone(tones[frequency], frequency, level)
        print("INFO playing %d Hz (%d dBFS) and %d Hz, 6 dB lower" %
              (TONE_HZ, round(20 * math.log10(TONE_LEVEL)), OTHER_HZ), flush=True)
        with Player(tones[TONE_HZ]) as player, Player(tones[OTHER_HZ]):
            time.sleep(0.5)
            probe_checks(results, probe_path, player.pid)
            tap_checks(results, tap, player.pid, keep=keep)
        late_exclusion_check(tap, tones, keep)
        devices = Devices()
        switch_check(results, devices, tap, tones, keep)
        headset_check(results, devices, tap, tones, keep)
        parent_check(results, tap, tones, out)
    print("%d of %d checks passed; recordings in %s" % (sum(results), len(results), out),
          flush=True)
    return 0 if all(results) else 1


if __name__ == "__main__":
    if sys.argv[1:] in (["--notice"], ["--plan"]):
        print("\n".join(notice() if sys.argv[1] == "--notice" else PLAN), flush=True)
        sys.exit(0)
    build = sys.argv[1] if len(sys.argv) > 1 else "build/macos"
    sys.exit(main(build, sys.argv[2] if len(sys.argv) > 2 else "build/mac-acceptance"))
