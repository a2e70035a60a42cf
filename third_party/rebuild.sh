#!/usr/bin/env bash
# Rebuilds the bundled scripts from their pinned npm packages (package-lock.json in each folder)
# and records the checksums that the unit tests hold the shipped files to.
#   third_party/rebuild.sh           rebuild every bundle and record its checksums
#   third_party/rebuild.sh --check   rebuild in a scratch folder and compare with what is shipped
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# Needed only here, never to build or test: the bundles are committed.
for tool in node npm; do
  if ! command -v "$tool" > /dev/null; then
    echo "$tool is missing: apt-get install nodejs npm" >&2
    exit 2
  fi
done
check=0
if [ "${1:-}" = "--check" ]; then
  check=1
fi

declare -A bundles=([highlightjs]=highlight.bundle.js [mathjax]=mathjax.bundle.js)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
for name in highlightjs mathjax; do
  dir=$here/$name
  out=${bundles[$name]}
  mkdir -p "$work/$name"
  cp "$dir/package.json" "$dir/package-lock.json" "$dir/entry.js" "$dir/build.mjs" "$work/$name/"
  # esbuild's binary comes in a platform package of its own; its install script only checks it.
  (cd "$work/$name" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  node "$work/$name/build.mjs" "$work/$name/$out"
  if [ "$check" = 1 ]; then
    if cmp -s "$work/$name/$out" "$dir/$out"; then
      echo "$name: $out is what the pinned packages build"
    else
      echo "$name: $out differs from what the pinned packages build" >&2
      status=1
    fi
  else
    cp "$work/$name/$out" "$dir/$out"
    (cd "$dir" && sha256sum package.json package-lock.json entry.js build.mjs "$out" > SHA256SUMS)
    echo "$name: rebuilt $out ($(wc -c < "$dir/$out") bytes)"
  fi
done
exit $status
