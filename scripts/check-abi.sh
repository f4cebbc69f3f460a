#!/usr/bin/env bash
# Compares the ABI of the shared library in BUILD_DIR (default build/, built with debug info)
# with the baseline kept in abi/libzeplog.abi (abidw and abidiff, Debian's abigail-tools).
#   scripts/check-abi.sh            fails when the library's ABI differs from the baseline
#   scripts/check-abi.sh --update   writes the baseline from the library
#
# An incompatible change (a removed or changed function, variable or type) needs a new
# SOVERSION (CMakeLists.txt) and a new baseline in the same commit; --update refuses to write
# an incompatible baseline under the old SONAME. A compatible change (an addition, or members
# appended to a struct listed in abi/growable.abignore) needs only the new baseline. The
# standard library's instantiations that the library exports are left out
# (abi/std.abignore). In a git checkout, every committed change of the baseline is held to the
# same rule, so a baseline rewritten by hand cannot hide a break either.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
baseline=abi/libzeplog.abi
# The standard library's exported instantiations are never the library's ABI; members appended
# to a sized struct are a compatible change.
std_suppressions=abi/std.abignore
suppressions=abi/growable.abignore
library=$(readlink -f "$BUILD_DIR/libzeplog.so" 2>/dev/null || true)
[ -f "$library" ] || { echo "check-abi: no $BUILD_DIR/libzeplog.so; build it first" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The exported interface with the types reachable from it; no build paths, no line numbers
# and hashed type ids, so the baseline changes only when the ABI does.
abidw --no-corpus-path --no-comp-dir-path --no-show-locs --type-id-style hash \
  --out-file "$work/current.abi" "$library"
# Each translation unit is named by its source path: relative to the checkout, wherever it is.
sed -i "s|path='$PWD/|path='|" "$work/current.abi"
grep -q '<function-decl' "$work/current.abi" ||
  { echo "check-abi: $library has no debug info to read types from" >&2; exit 2; }

soname() { sed -n "s/.*soname='\([^']*\)'.*/\1/p" "$1" | head -n 1; }

# Classifies the change from ABI file $1 to $2: "none", "compatible", "incompatible", or
# "error" when abidiff itself failed, with abidiff's report in $work/report. Additions are
# compatible, as are members appended to the structs that carry their own size; anything else
# that abidiff reports is not.
classify() {
  local rc=0
  abidiff --no-added-syms --suppressions "$std_suppressions" --suppressions "$suppressions" \
    "$1" "$2" >"$work/report" 2>&1 || rc=$?
  if [ $((rc & 3)) -ne 0 ]; then
    echo error
    return
  fi
  if [ "$rc" -ne 0 ]; then
    echo incompatible
    return
  fi
  # Without the sized structs' suppression, so that the baseline records appended members.
  rc=0
  abidiff --suppressions "$std_suppressions" "$1" "$2" >"$work/report" 2>&1 || rc=$?
  [ "$rc" -eq 0 ] && echo none || echo compatible
}

# An incompatible change is allowed only together with a new SONAME.
allowed() {
  case "$(classify "$1" "$2")" in
    none | compatible) return 0 ;;
    incompatible) [ "$(soname "$1")" != "$(soname "$2")" ] ;;
    *) return 1 ;;
  esac
}

if [ "${1:-}" = "--update" ]; then
  if [ -f "$baseline" ] && ! allowed "$baseline" "$work/current.abi"; then
    cat "$work/report"
    echo "check-abi: incompatible change under the same SONAME $(soname "$baseline");" \
      "bump SOVERSION in CMakeLists.txt first" >&2
    exit 1
  fi
  cp "$work/current.abi" "$baseline"
  echo "check-abi: wrote $baseline ($(soname "$baseline"))"
  exit 0
fi

status=0
# Every committed change of the baseline must keep the rule against the baseline it replaced:
# each commit is compared with its own parents (both sides of a merge), not with the commit
# listed before it, which after a merge may sit on another branch.
if git rev-parse --git-dir >/dev/null 2>&1; then
  blob() { git rev-parse --quiet --verify "$1:$baseline" 2>/dev/null; }
  while read -r commit parents; do
    newer=$(blob "$commit") || continue
    for parent in $parents; do
      # A shallow clone may lack the parent: the check then starts where its history does.
      older=$(blob "$parent") || continue
      [ "$older" != "$newer" ] || continue
      git cat-file blob "$older" >"$work/older.abi"
      git cat-file blob "$newer" >"$work/newer.abi"
      if ! allowed "$work/older.abi" "$work/newer.abi"; then
        cat "$work/report"
        echo "check-abi: commit ${commit:0:7} changed the baseline incompatibly without a new" \
          "SONAME ($(soname "$work/newer.abi"))" >&2
        status=1
      fi
    done
  done < <(git rev-list --full-history --parents HEAD -- "$baseline")
fi

case "$(classify "$baseline" "$work/current.abi")" in
  none) echo "check-abi: $(basename "$library") matches $baseline" ;;
  compatible)
    cat "$work/report"
    echo "check-abi: compatible ABI change; record it: scripts/check-abi.sh --update" >&2
    status=1
    ;;
  incompatible)
    cat "$work/report"
    if [ "$(soname "$baseline")" = "$(soname "$work/current.abi")" ]; then
      echo "check-abi: incompatible ABI change under SONAME $(soname "$baseline"): bump" \
        "SOVERSION in CMakeLists.txt and run scripts/check-abi.sh --update, in the same commit" >&2
    else
      echo "check-abi: new SONAME $(soname "$work/current.abi"): run scripts/check-abi.sh" \
        "--update and commit the baseline with it" >&2
    fi
    status=1
    ;;
  *)
    cat "$work/report" >&2
    echo "check-abi: abidiff failed" >&2
    exit 2
    ;;
esac
exit $status
