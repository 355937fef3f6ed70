#!/usr/bin/env bash
# Installs the npm packages of the test peers (the SMTP server the e-mail tests deliver to and the mail parser
# that reads the messages back) from their lock files, where they are missing or the lock file changed since
# they were installed. Without Node.js there is nothing to do: the tests that need it skip.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"

if ! command -v npm >/dev/null; then
  echo "npm not found: the tests that use the SMTP test server will be skipped" >&2
  exit 0
fi

for tool in "$root"/tests/tools/*/; do
  [ -f "$tool/package-lock.json" ] || continue
  # Installed already, from this lock file: npm keeps its own copy of the lock inside node_modules.
  [ "$tool/node_modules/.package-lock.json" -nt "$tool/package-lock.json" ] && continue
  echo "Installing the npm packages of ${tool#"$root"/}"
  (cd "$tool" && npm ci --no-audit --no-fund --loglevel=error)
done
