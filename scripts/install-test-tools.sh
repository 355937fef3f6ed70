#!/usr/bin/env bash
# Installs the npm packages of the test peers (the SMTP server the e-mail tests deliver to) from their lock
# files, only where they are missing. Without Node.js there is nothing to do: the tests that need it skip.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"

if ! command -v npm >/dev/null; then
  echo "npm not found: the tests that use the SMTP test server will be skipped" >&2
  exit 0
fi

for tool in "$root"/tests/tools/*/; do
  [ -f "$tool/package-lock.json" ] || continue
  [ -d "$tool/node_modules" ] && continue
  echo "Installing the npm packages of ${tool#"$root"/}"
  (cd "$tool" && npm ci --no-audit --no-fund --loglevel=error)
done
