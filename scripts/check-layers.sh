#!/bin/sh
# The folders' dependencies point one way: a file may include headers of its own folder and of
# folders on lower lines, never of a folder on its own line or above it. Prints every
# include that breaks this as "file:line: #include ..." and fails.
# Usage: check-layers.sh [source dir]
set -eu
cd "${1:-$(dirname "$0")/..}"

# Top to bottom. Folders on one line do not include each other.
layers='tests
app tools
ui
engine
protocol manifest notifier
config
base'

folders=
for folder in $(printf '%s\n' "$layers"); do
  if [ -d "$folder" ]; then folders="$folders $folder"; fi
done
# shellcheck disable=SC2086  # one word per folder
find $folders -type f \( -name '*.h' -o -name '*.cc' -o -name '*.c' -o -name '*.in' -o -name '*.rc' \) |
  sort | xargs grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"/]*/' |
  awk -v layers="$layers" '
    BEGIN {
      n = split(layers, rows, "\n")
      for (i = 1; i <= n; i++) { m = split(rows[i], names, " "); for (j = 1; j <= m; j++) level[names[j]] = i }
    }
    {
      file = $0; sub(/:.*/, "", file)
      from = file; sub(/\/.*/, "", from)
      to = $0; sub(/^[^"]*"/, "", to); sub(/\/.*/, "", to)
      if (!(to in level) || to == from) next
      if (level[to] <= level[from]) {
        text = $0; sub(/^[^:]*:[^:]*:[[:space:]]*/, "", text)
        line = $0; sub(/^[^:]*:/, "", line); sub(/:.*/, "", line)
        printf "%s:%s: %s  (%s may not include %s)\n", file, line, text, from, to
        bad = 1
      }
    }
    END { exit bad }'
