#!/bin/sh
# The folders include downwards only: ui/ over engine/ over cache/ over
# network/, archive/ and release/ (side by side, none including another)
# over platform/; the version numbers of resources/ are open to all. Prints
# each include that points elsewhere and fails on any.
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
found=$(
  while read -r folder allowed; do
    grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"/]+/' "$root/$folder" |
      while IFS= read -r line; do
        target=$(printf '%s\n' "$line" | sed -E 's/^[^#]*#[[:space:]]*include[[:space:]]*"([^"/]+)\/.*/\1/')
        case " $folder $allowed resources " in *" $target "*) ;; *) echo "${line#"$root"/}: $folder/ may not include $target/" ;; esac
      done
  done <<'LAYERS'
platform
network platform
archive platform
release platform
cache network archive release platform
engine cache network archive release platform
ui engine cache network archive release platform
LAYERS
)
[ -z "$found" ] && exit 0
echo "$found"
exit 1
