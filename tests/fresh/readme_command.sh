#!/usr/bin/env bash
# Prints the README's command marked "<!-- command: NAME -->": the first line
# of the indented code block that follows the marker. .ci/run and
# fresh_root.sh run the commands users read, not copies of them.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 NAME" >&2; exit 2; }
readme="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/README.md"
awk -v marker="<!-- command: $1 -->" '
  $0 == marker { found = 1; next }
  found && /^[[:space:]]*$/ { next }
  found { if ($0 !~ /^    [^ ]/) exit 3
          sub(/^    /, ""); print; printed = 1; exit }
  END { if (!printed) exit 3 }' "$readme" ||
  { echo "$0: README.md has no command marked \"<!-- command: $1 -->\" followed by an indented line" >&2; exit 1; }
