'use strict';
// The Node client of nimbrel-probe and nimbrel-tap.
module.exports = {
  ...require('./lib/probe'),
  ...require('./lib/tap'),
  ...require('./lib/recorder'),
  ...require('./lib/wav'),
  ...require('./lib/silence'),
  ...require('./lib/pcm'),
  ...require('./lib/timeline'),
  ...require('./lib/lines'),
  ...require('./lib/messages'),
  ...require('./lib/advice'),
  ...require('./lib/owners'),
  ...require('./lib/exclude'),
  ...require('./lib/stop'),
};
