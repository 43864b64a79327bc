#!/usr/bin/env python3
"""A minimal parent of both sidecars, standard library only: prints the
probe's state changes and records the tap to a mono 16-bit WAV file.

usage: parent.py [--probe PATH] [--tap PATH] [--seconds N] [--wav FILE]

Both programs are started the way a parent application should: standard
input a pipe kept open (closing it is the stop), standard output read
continuously on a thread of its own, and the tap's standard error read line
by line. The tap's PCM goes to the WAV file at the rate its "format" event
announces. Exit status 0 when both programs ran and stopped cleanly.
"""
import argparse
import array
import json
import os
import subprocess
import sys
import threading
import wave

# What a parent should do on each start-up error of the tap (docs/tap.md).
# Retry only a few times, with growing pauses: a failure that repeats is not
# transient.
ERROR_ADVICE = {
    "TAP_CREATE_FAILED": "retry once; if it fails again, tell the user that "
                         "system audio cannot be recorded, and log the status",
    "TAP_UID_FAILED": "retry once after a short pause",
    "NO_OUTPUT_DEVICE": "tell the user there is no output device; start the "
                        "tap again when one appears, not in a tight loop",
    "AGGREGATE_CREATE_FAILED": "retry after a short pause (about a second), "
                               "a few times at most",
    "TAP_FORMAT_FAILED": "retry once after a short pause",
    "WRITER_START_FAILED": "the system is out of threads or memory; discard "
                           "that format, retry once after a short pause",
    "IOPROC_FAILED": "discard that format; retry once after a short pause",
    "DEVICE_START_FAILED": "the device may be busy or just gone; discard "
                           "that format, retry after a short pause, a few "
                           "times at most",
}

print_lock = threading.Lock()


def say(*parts):
    with print_lock:
        print(*parts, flush=True)


def describe_owners(owners):
    if not owners:
        return "nobody"
    described = []
    for owner in owners:
        uses = "+".join(use for use in ("input", "output") if owner[use])
        note = ", ignored" if owner["ignored"] else ""
        described.append(f"{owner['name']} (pid {owner['pid']}, {uses}{note})")
    return "; ".join(described)


def read_probe(stream):
    """Prints the hello line and each state that differs from the last;
    the probe repeats an unchanged state as a heartbeat."""
    last = None
    for line in stream:
        try:
            message = json.loads(line)
        except ValueError:
            continue  # a line cut short by a killed probe
        if message["type"] == "hello":
            say(f"probe: hello, protocol {message['protocolVersion']}, "
                f"sampling every {message['intervalMs']} ms")
            continue
        if message["type"] != "state":
            continue  # a newer probe may add messages; skip them
        state = (message["micHot"], message["audioPlaying"], message["owners"])
        if state == last:
            continue
        last = state
        flags = [("mic hot" if message["micHot"] else "mic idle"),
                 ("audio playing" if message["audioPlaying"] else "silent")]
        say(f"probe: {', '.join(flags)}: {describe_owners(message['owners'])}")


class Recording:
    """The WAV file, opened once the format is known. PCM that arrives
    before that (the two pipes race) is held back until then."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.wav = None
        self.rate = None
        self.held = bytearray()
        self.samples = 0
        self.peak = 0

    def open(self, rate):
        with self.lock:
            self.rate = rate
            self.wav = wave.open(self.path, "wb")
            self.wav.setnchannels(1)  # the PCM is always mono
            self.wav.setsampwidth(2)  # s16le
            self.wav.setframerate(rate)
            self._write()

    def add(self, data):
        with self.lock:
            self.held += data
            if self.wav is not None:
                self._write()

    def _write(self):
        # Whole samples only: a pipe read may end in the middle of one.
        usable = len(self.held) - len(self.held) % 2
        if usable == 0:
            return
        chunk = bytes(self.held[:usable])
        del self.held[:usable]
        samples = array.array("h")
        samples.frombytes(chunk)
        if sys.byteorder != "little":
            samples.byteswap()
        self.peak = max(self.peak, max(abs(s) for s in samples))
        self.samples += len(samples)
        self.wav.writeframes(chunk)

    def close(self):
        with self.lock:
            if self.wav is not None:
                self.wav.close()


def read_pcm(stream, recording):
    while True:
        data = stream.read1(65536)
        if not data:
            return
        recording.add(data)


def read_tap_events(stream, recording, started, ended):
    for line in stream:
        try:
            event = json.loads(line)
        except ValueError:
            continue
        kind = event["type"]
        if kind == "format":
            rate = event["sampleRate"]
            say(f"tap: format: {rate:g} Hz mono {event['encoding']}, from "
                f"{event['channels']} source channel(s) "
                f"({'float' if event['sourceIsFloat'] else 'int16'}) on "
                f"{event['outputDeviceUID']}; recording to {recording.path}")
            if rate != int(rate):
                say(f"tap: the WAV header holds {round(rate)} Hz, "
                    f"not {rate:g}")
            recording.open(int(round(rate)))
        elif kind == "started":
            say("tap: started")
            started.set()
        elif kind == "device-changed":
            say(f"tap: device changed ({event['reason']}): {event['from']} -> "
                f"{event['to']}; a parent would start a new tap now")
        elif kind == "error":
            status = f" (status {event['status']})" if "status" in event else ""
            say(f"tap: error {event['code']}{status}: {event['message']}")
            say(f"tap: what to do: {ERROR_ADVICE.get(event['code'], 'retry')}")
    ended.set()  # end of standard error: the tap has ended


def start(command, stderr):
    # A pipe on standard input that we keep open: closing it is the stop.
    # A session of their own: Ctrl-C in a terminal reaches only us, and we
    # stop them in order.
    return subprocess.Popen(command, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=stderr,
                            start_new_session=True)


def stop(name, process, readers):
    if process.stdin and not process.stdin.closed:
        process.stdin.close()
    for reader in readers:
        reader.join(timeout=10)
    try:
        status = process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        status = process.wait()
        say(f"{name}: did not stop; killed")
    say(f"{name}: exited with status {status}")
    return status


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--probe", default=os.path.join(
        here, "..", "build", "default", "probe", "nimbrel-probe"))
    parser.add_argument("--tap", default=os.path.join(
        here, "..", "build", "default", "tap", "nimbrel-tap"))
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--wav", default="recording.wav")
    args = parser.parse_args()

    # Our own audio (none here) stays out of both reports.
    me = str(os.getpid())
    probe = start([args.probe, "--interval-ms", "200", "--exclude-pid", me],
                  subprocess.DEVNULL)
    probe_reader = threading.Thread(
        target=read_probe, args=(probe.stdout,), daemon=True)
    probe_reader.start()

    recording = Recording(args.wav)
    started, ended = threading.Event(), threading.Event()
    tap = start([args.tap, "--exclude-pid", me], subprocess.PIPE)
    tap_readers = [
        threading.Thread(target=read_pcm, args=(tap.stdout, recording),
                         daemon=True),
        threading.Thread(target=read_tap_events,
                         args=(tap.stderr, recording, started, ended),
                         daemon=True),
    ]
    for reader in tap_readers:
        reader.start()

    try:
        ended.wait(timeout=args.seconds)  # returns early if the tap ends
    except KeyboardInterrupt:
        pass
    say("stopping: closing both programs' standard input")
    probe_status = stop("probe", probe, [probe_reader])
    tap_status = stop("tap", tap, tap_readers)
    recording.close()

    if recording.rate:
        say(f"wrote {args.wav}: {recording.samples} samples, "
            f"{recording.samples / recording.rate:.2f} s at "
            f"{recording.rate} Hz, peak {recording.peak}")
    clean = started.is_set() and probe_status == 0 and tap_status == 0
    return 0 if clean else 1


if __name__ == "__main__":
    sys.exit(main())
