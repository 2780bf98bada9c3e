#!/usr/bin/env bash
# The include arrows go down only: each folder below may include itself and the
# folders named after it, nothing else of the tree. The portable core includes no
# platform header at all (no <*.h>), so it builds natively as well as with MinGW.
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(
  "core:core"
  "win/base:win/base"
  "win/framework:win/framework win/base"
  "win/runtime:win/runtime win/base"
  "win/integrity:win/integrity win/base core"
  "win/install:win/install win/base core"
  "installer/flow:installer/flow win core"
  "installer/wizard:installer/wizard installer/flow win core"
  "installer:installer win core"
  "uninstaller:uninstaller win core"
  "tools/pack:tools/pack core"
  "demo:demo core"
)

status=0
for entry in "${layers[@]}"; do
  folder=${entry%%:*}
  allowed=${entry#*:}
  pattern=$(printf '%s/|' $allowed)
  # Each file is judged by its innermost folder in the table.
  while IFS= read -r file; do
    owner=$folder
    for other in "${layers[@]}"; do
      o=${other%%:*}
      [[ ${#o} -gt ${#owner} && $file == "$o"/* ]] && owner=$o
    done
    [[ $owner == "$folder" ]] || continue
    if grep -nE '^\s*#\s*include\s+"' "$file" | grep -vE "\"(${pattern%|})" |
      grep -vE '"[^/"]+"'; then
      echo "$file: includes outside ${allowed}" >&2
      status=1
    fi
    if [[ $folder == core ]] && grep -nE '^\s*#\s*include\s+<[^>]+\.h>' "$file"; then
      echo "$file: the portable core includes a platform header" >&2
      status=1
    fi
  done < <(git ls-files "$folder" | grep -E '\.(cpp|h|rc)$')
done
exit $status
