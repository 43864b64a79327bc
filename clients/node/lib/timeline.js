'use strict';
// Where the PCM sits in host time. The tap's clock is the device's, so the
// frames that should have arrived by now follow from the host clock; a lag
// that persists once the reader has caught up is audio the tap dropped.
//
// The tap drops the oldest audio of its queue (queueFrames) when the reader
// stalls: what the reader gets after a stall is first what was already in
// flight, then the gap, then the queue's last queueFrames frames. That
// places the gap: queueFrames before the clock at the first late read.

const nowNs = () => process.hrtime.bigint();

class PcmTimeline {
  /**
   * `sampleRate` from "format". Options: windowMs, the stretch of steady
   * reading over which the smallest lag is taken as settled (1000);
   * thresholdMs, the growth of the settled lag reported as a drop (50);
   * queueFrames, what the tap keeps of a stalled reader's audio (192000);
   * startNs, the host time the program was started, before which nothing
   * was captured (null: unknown).
   */
  constructor(sampleRate, { windowMs = 1000, thresholdMs = 50, queueFrames = 192000, startNs = null, clock = nowNs } = {}) {
    this.rate = sampleRate;
    this.windowNs = BigInt(Math.round(windowMs * 1e6));
    this.threshold = (thresholdMs / 1000) * sampleRate;
    this.queueFrames = queueFrames;
    this.startNs = startNs;
    this.clock = clock;
    this.frames = 0;
    this.firstFrameNs = null;
    this.firstFrameEpochMs = null;
    this.anchored = false; // the first frame's time corrected by a whole window of reads
    this.settledLag = 0; // the lag of steady reading, drops included
    this.dropped = 0;
    this.recent = []; // [hostNs, lag] of the reads within the window
    this.rise = null; // { since: frame, clock: clock frames, least: lag } from the first late read
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
      this.moveFirstFrame(ns - BigInt(Math.round((count / this.rate) * 1e9)));
      this.firstCount = count;
    }
    this.frames += count;
    const lag = this.clockFrames(ns) - this.frames;
    if (this.rise === null && lag > this.settledLag + this.threshold) {
      this.rise = { since: this.frames - count, clock: this.clockFrames(ns), least: lag };
    }
    if (this.rise) this.rise.least = Math.min(this.rise.least, lag);
    this.recent.push([ns, lag]);
    while (ns - this.recent[0][0] > this.windowNs) this.recent.shift();
    // Only a whole window of steady reads shows the lag that is left.
    if (this.recent.length < 2 || ns - this.recent[0][0] < (this.windowNs * 9n) / 10n) return null;
    return this.settle();
  }

  least() {
    return Math.min(...this.recent.map(([, lag]) => lag));
  }

  moveFirstFrame(ns) {
    const shift = this.firstFrameNs === null ? 0 : Number(ns - this.firstFrameNs);
    this.firstFrameNs = ns;
    this.firstFrameEpochMs = Date.now() - Number(this.clock() - ns) / 1e6;
    const frames = (shift / 1e9) * this.rate;
    for (const entry of this.recent) entry[1] -= frames;
    return frames;
  }

  /**
   * The first window: reads that came faster than the first one (a backlog
   * read late) move the first frame earlier. A backlog of a full queue after
   * a late first read means audio was dropped before it: what the start
   * time leaves unexplained.
   */
  anchor() {
    this.anchored = true;
    const least = this.least();
    if (least >= 0) return null;
    const backlog = this.firstCount - least; // frames the first late reads brought
    this.moveFirstFrame(this.firstFrameNs + BigInt(Math.round((least / this.rate) * 1e9)));
    if (this.startNs === null || backlog < this.queueFrames) return null;
    // Counts the program's start-up as lost too: an upper bound.
    const lost = (Number(this.firstFrameNs - this.startNs) / 1e9) * this.rate;
    if (lost < this.threshold) return null;
    this.moveFirstFrame(this.startNs);
    this.settledLag = lost;
    this.rise = null;
    this.dropped += Math.round(lost);
    const atFrame = Math.max(0, Math.round(backlog - this.queueFrames));
    return { frames: Math.round(lost), atFrame, seconds: lost / this.rate, placed: true, atMost: true };
  }

  settle() {
    const first = this.anchored ? null : this.anchor();
    if (first) return first;
    const least = this.least();
    if (least <= this.settledLag + this.threshold) {
      if (least < this.settledLag) this.settledLag = least;
      if (least < this.settledLag + this.threshold / 2) this.rise = null;
      return null;
    }
    return this.dropOf(least);
  }

  /** The drop that brought the settled lag to `least`, placed in the PCM. */
  dropOf(least) {
    const frames = Math.round(least - this.settledLag);
    const rise = this.rise || { since: this.frames, clock: null };
    let atFrame = rise.since;
    if (rise.clock !== null) {
      atFrame = Math.round(Math.min(this.frames, Math.max(rise.since, rise.clock - this.queueFrames - least)));
    }
    this.settledLag = least;
    this.dropped += frames;
    this.rise = null;
    return { frames, atFrame, seconds: frames / this.rate, placed: rise.clock !== null || Boolean(rise.atEnd), atMost: false };
  }

  /**
   * At the end of the PCM, with capture ended at host time `endNs` (default
   * now): the drops of a stall that had no steady second after it, and of
   * audio the program never wrote out at its end.
   */
  finish(endNs) {
    const drops = [];
    if (this.firstFrameNs === null) return drops;
    if (!this.anchored) drops.push(this.anchor());
    if (this.rise && this.rise.least > this.settledLag + this.threshold) drops.push(this.dropOf(this.rise.least));
    const lag = this.clockFrames(endNs) - this.frames;
    if (lag > this.settledLag + this.threshold) {
      this.rise = { since: this.frames, clock: null, atEnd: true }; // the gap lies after every frame
      drops.push(this.dropOf(lag));
    }
    return drops.filter(Boolean);
  }

  /** Where things stand (by the clock at `ns`, default now): for placing an event in the PCM. */
  position(ns) {
    return {
      frames: this.frames,
      clockFrames: Math.round(this.clockFrames(ns)),
      droppedFrames: this.dropped,
    };
  }
}

module.exports = { PcmTimeline };
