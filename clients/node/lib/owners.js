'use strict';
// What changed between two "state" reports' owners, by PID.

function sameOwner(a, b) {
  const keys = new Set([...Object.keys(a), ...Object.keys(b)]);
  return [...keys].every((key) => a[key] === b[key]);
}

/** { added, removed, changed: [{ before, after }] } from two owner lists. */
function diffOwners(before, after) {
  const old = new Map(before.map((owner) => [owner.pid, owner]));
  const now = new Map(after.map((owner) => [owner.pid, owner]));
  return {
    added: after.filter((owner) => !old.has(owner.pid)),
    removed: before.filter((owner) => !now.has(owner.pid)),
    changed: after
      .filter((owner) => old.has(owner.pid) && !sameOwner(old.get(owner.pid), owner))
      .map((owner) => ({ before: old.get(owner.pid), after: owner })),
  };
}

module.exports = { diffOwners };
