// SPDX-License-Identifier: BSD-3-Clause
// Runs the conformance battery (conformance_web.mjs, the conformance program
// built for the browser) against the committed digests (golden.txt, served
// beside it), and shows each family's digest beside the committed one. The
// battery compares every case itself; the page shows its verdict, family by
// family, and an overall status that the CI check reads:
// #status[data-result] is "match" only when the program passed and every
// committed family matched.
import createConformance from './conformance_web.mjs';

const status = document.getElementById('status');
document.getElementById('engine').textContent = `browser: ${navigator.userAgent}`;
const report = document.getElementById('report');

function show(result, text) {
  status.dataset.result = result;
  status.textContent = text;
}

// family NAME DIGEST CASES, as written by conformance --write.
function committedFamilies(golden) {
  const families = new Map();
  for (const line of golden.split('\n')) {
    const f = line.match(/^family (\S+) ([0-9a-f]{16}) (\d+)$/);
    if (f) families.set(f[1], { digest: f[2], cases: Number(f[3]) });
  }
  return families;
}

// The program's verdict per family: "ok   NAME DIGEST (N cases)" or
// "FAIL NAME DIGEST, golden DIGEST: ..." (or another FAIL line).
function computedFamilies(lines) {
  const families = new Map();
  for (const line of lines) {
    let m = line.match(/^ok +(\S+) +([0-9a-f]{16}) \((\d+) cases\)$/);
    if (m) {
      families.set(m[1], { digest: m[2], cases: Number(m[3]), ok: true });
      continue;
    }
    m = line.match(/^FAIL +(\S+) +(?:([0-9a-f]{16}), golden)?/);
    if (m) families.set(m[1], { digest: m[2] ?? '(none)', cases: null, ok: false });
  }
  return families;
}

async function run() {
  const response = await fetch('golden.txt');
  if (!response.ok) throw new Error(`golden.txt: HTTP ${response.status}`);
  const golden = await response.text();
  const committed = committedFamilies(golden);

  const lines = [];
  const program = await createConformance({ print: (l) => lines.push(l), printErr: (l) => lines.push(l) });
  program.FS.writeFile('/golden.txt', golden);
  const exitStatus = program.callMain(['/golden.txt']);
  report.textContent = lines.join('\n');

  const computed = computedFamilies(lines);
  const body = document.getElementById('families');
  let matched = 0;
  for (const [name, want] of committed) {
    const got = computed.get(name);
    const same = got !== undefined && got.ok && got.digest === want.digest;
    if (same) ++matched;
    const row = body.insertRow();
    row.dataset.family = name;
    row.dataset.result = same ? 'match' : 'mismatch';
    for (const text of [name, String(want.cases), got?.digest ?? '(not computed)', want.digest])
      row.insertCell().textContent = text;
    const verdict = row.insertCell();
    verdict.className = same ? 'ok' : 'differs';
    verdict.textContent = same ? 'same bits' : 'DIFFERS';
  }
  const all = exitStatus === 0 && committed.size > 0 && matched === committed.size;
  show(all ? 'match' : 'mismatch', all
    ? `all ${committed.size} families match the committed digests`
    : `MISMATCH: ${matched} of ${committed.size} families match (battery exit status ${exitStatus})`);
}

run().catch((e) => {
  report.textContent += `\n${e?.stack ?? e}`;
  show('mismatch', `FAILED to run the battery: ${e?.message ?? e}`);
});
