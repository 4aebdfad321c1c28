#!/bin/bash
# Fails when files of one folder include each other in a circle (a.cpp includes b.h while
# b.cpp or b.h includes a.h, or longer rings): a file and its header count as one, so a folder
# can always be read from the bottom up. tsort reports every ring it meets.
# Run: folder_circles.sh <source dir>
set -u
src="${1:?source dir}"
cd "$src" || exit 2
status=0
while IFS= read -r dir; do
  edges=""
  for f in "$dir"/*.cpp "$dir"/*.h; do
    [ -f "$f" ] || continue
    stem="$(basename "${f%.*}")"
    edges+="$stem $stem"$'\n'
    while IFS= read -r inc; do
      [ "$(dirname "$inc")" = "$dir" ] || continue
      other="$(basename "${inc%.*}")"
      [ "$other" = "$stem" ] || edges+="$stem $other"$'\n'
    done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$f")
  done
  [ -n "$edges" ] || continue
  if ! out="$(printf '%s' "$edges" | tsort 2>&1 >/dev/null)" || [ -n "$out" ]; then
    echo "$dir: files include each other in a circle:"
    printf '%s\n' "$out" | sed -n 's/^tsort: /  /p'
    status=1
  fi
done < <(find platform common service central desktop tools -type d | sort)
[ $status -eq 0 ] && echo "no folder has files that include each other in a circle"
exit $status
