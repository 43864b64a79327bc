'use strict';
// Where the PCM sits in host time. The tap's clock is the device's, so the
// frames that should have arrived by now follow from the host clock; a lag
// that persists once the reader has caught up is audio the tap dropped.

const nowNs = () => process.hrtime.bigint();

class PcmTimeline {
  /**
   * `sampleRate` from "format". Options: windowMs, the stretch of steady
   * reading over which the smallest lag is taken as settled (1000), and
   * thresholdMs, the growth of the settled lag reported as a drop (50).
   */
  constructor(sampleRate, { windowMs = 1000, thresholdMs = 50, clock = nowNs } = {}) {
    this.rate = sampleRate;
    this.windowNs = BigInt(Math.round(windowMs * 1e6));
    this.threshold = (thresholdMs / 1000) * sampleRate;
    this.clock = clock;
    this.frames = 0;
    this.firstFrameNs = null;
    this.firstFrameEpochMs = null;
    this.settledLag = 0; // the lag of steady reading, drops included
    this.dropped = 0;
    this.recent = []; // [hostNs, lag] of the reads within the window
    this.lagSince = null; // frame where the lag last rose past the threshold
  }

  /** Frames that the clock says were captured by host time `ns`. */
  clockFrames(ns = this.clock()) {
    if (this.firstFrameNs === null) return 0;
    return (Number(ns - this.firstFrameNs) / 1e9) * this.rate;
  }

  /** Counts `count` new frames read now; returns a drop, or null. */
  add(count) {
    const ns = this.clock();
    if (this.firstFrameNs === null) {
      // The read's last frame was captured about now; its first one earlier.
      this.firstFrameNs = ns - BigInt(Math.round((count / this.rate) * 1e9));
      this.firstFrameEpochMs = Date.now() - (count / this.rate) * 1000;
    }
    this.frames += count;
    const lag = this.clockFrames(ns) - this.frames;
    if (lag > this.settledLag + this.threshold && this.lagSince === null) {
      this.lagSince = this.frames - count;
    }
    this.recent.push([ns, lag]);
    while (ns - this.recent[0][0] > this.windowNs) this.recent.shift();
    return this.settle(ns);
  }

  settle(ns) {
    // Only a whole window of steady reads shows the lag that is left.
    if (this.recent.length < 2 || ns - this.recent[0][0] < (this.windowNs * 9n) / 10n) return null;
    const least = Math.min(...this.recent.map(([, lag]) => lag));
    if (least <= this.settledLag + this.threshold) {
      // Reads that came faster than the first one did: a better baseline.
      if (least < this.settledLag) this.settledLag = least;
      if (least < this.settledLag + this.threshold / 2) this.lagSince = null;
      return null;
    }
    const drop = {
      frames: Math.round(least - this.settledLag),
      atFrame: this.lagSince ?? this.frames,
      seconds: (least - this.settledLag) / this.rate,
    };
    this.settledLag = least;
    this.dropped += drop.frames;
    this.lagSince = null;
    return drop;
  }

  /** Where things stand: for placing an event (a device change) in the PCM. */
  position() {
    return {
      frames: this.frames,
      clockFrames: Math.round(this.clockFrames()),
      droppedFrames: this.dropped,
    };
  }
}

module.exports = { PcmTimeline };
