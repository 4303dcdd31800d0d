#!/usr/bin/env bash
# Checks that every #include "..." of the tree points down the layers, and that no two folders
# include each other (directly or through others). No exception list: a fault is fixed in the
# code. Usage: scripts/check-layers.sh [ROOT]   (default: the checkout this script lives in)
#
# Layers, bottom to top (a folder may include its own files and those of the layers it lists):
#   platform/Foundation    nothing above it
#   platform/CoreGraphics  Foundation
#   platform/QuartzCore    CoreGraphics, Foundation
#   platform/UIKit         QuartzCore, CoreGraphics, Foundation
#   platform/AudioToolbox  Foundation
#   Common/                platform/
#   interface/             Common/, platform/ (the entry points bind the shared image cache)
#   demo/, host/           interface/, Common/, platform/
#   tests/, bench/, fuzz/  anything (and nothing includes them, but for the benchmarks' use of
#                          tests/support/: the X servers, compositors and processes the tests start)
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

folders=(platform interface Common demo host tests bench fuzz)
present=()
for f in "${folders[@]}"; do [ -d "$f" ] && present+=("$f"); done
[ ${#present[@]} -gt 0 ] || { echo "check-layers: no source folders under $root"; exit 1; }

edges=$(mktemp "${TMPDIR:-/tmp}/bd-layers-XXXXXX")
trap 'rm -f "$edges"' EXIT

# One line per quoted include: "<including file> <included name>".
status=0
grep -rHo --include='*.cpp' --include='*.h' -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"]+"' \
    "${present[@]}" |
  sed -E 's/^([^:]+):[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)"/\1 \2/' |
  awk -v edgesFile="$edges" '
function fileExists(p,   line, r) {
    if (p in seen) return seen[p]
    r = (getline line < p) >= 0
    close(p)
    seen[p] = r
    return r
}
# The layer of a path in the tree.
function layer(p,   parts) {
    split(p, parts, "/")
    if (parts[1] == "platform") return parts[2]
    return parts[1]
}
# Resolves an include the way the build does: next to the including file first, then from the
# include roots (the tree, platform/, tests/). "" when it is not a file of the tree (a generated
# header, say).
function resolve(from, name,   dir, c) {
    dir = from
    sub(/\/[^\/]*$/, "", dir)
    c = dir "/" name
    if (fileExists(c)) return normal(c)
    if (fileExists(name)) return normal(name)
    if (fileExists("platform/" name)) return "platform/" name
    if (fileExists("tests/" name)) return "tests/" name
    return ""
}
function normal(p,   parts, n, i, out, k) {
    n = split(p, parts, "/")
    k = 0
    for (i = 1; i <= n; i++) {
        if (parts[i] == "." || parts[i] == "") continue
        if (parts[i] == ".." && k > 0) { k--; continue }
        stack[++k] = parts[i]
    }
    out = stack[1]
    for (i = 2; i <= k; i++) out = out "/" stack[i]
    return out
}
BEGIN {
    split("Foundation", a); for (i in a) ok["CoreGraphics", a[i]] = 1
    split("CoreGraphics Foundation", a); for (i in a) ok["QuartzCore", a[i]] = 1
    split("QuartzCore CoreGraphics Foundation", a); for (i in a) ok["UIKit", a[i]] = 1
    split("Foundation", a); for (i in a) ok["AudioToolbox", a[i]] = 1
    split("Foundation CoreGraphics QuartzCore UIKit AudioToolbox", platform)
    for (i in platform) { ok["interface", platform[i]] = 1; ok["Common", platform[i]] = 1 }
    ok["interface", "Common"] = 1
    split("demo host", tops)
    for (t in tops) {
        for (i in platform) ok[tops[t], platform[i]] = 1
        ok[tops[t], "interface"] = 1; ok[tops[t], "Common"] = 1
    }
    split("tests bench fuzz", any)
    for (i in any) anyLayer[any[i]] = 1
    split("Foundation CoreGraphics QuartzCore UIKit AudioToolbox interface Common demo host tests bench fuzz", known)
    for (i in known) isKnown[known[i]] = 1
    bad = 0
}
{
    from = $1; name = $2
    to = resolve(from, name)
    if (to == "") next
    lf = layer(from); lt = layer(to)
    if (!(lf in isKnown)) {
        print "check-layers: " from ": a file outside the known folders"; bad = 1; next
    }
    if (lf != lt && !(lf in anyLayer) && !((lf, lt) in ok)) {
        print "check-layers: " from " includes \"" name "\" (" lt "), above or beside " lf
        bad = 1
    }
    if (lt in anyLayer && lf != lt && !(lf == "bench" && to ~ /^tests\/support\//)) {
        print "check-layers: " from " includes \"" name "\" from " lt "/, which nothing includes"
        bad = 1
    }
    # Folder graph for the cycle check: the directories of the two files.
    fd = from; sub(/\/[^\/]*$/, "", fd)
    td = to; sub(/\/[^\/]*$/, "", td)
    if (fd != td) edges[fd " " td] = 1
}
END {
    for (e in edges) print e > edgesFile
    close(edgesFile)
    exit bad
}' || status=$?
if ! loop=$(tsort "$edges" 2>&1 >/dev/null) || [ -n "$loop" ]; then
    echo "check-layers: folders include each other:"
    echo "$loop" | grep -v 'input contains a loop' | sed 's/^tsort: /  /'
    status=1
fi
if [ "$status" -ne 0 ]; then
    echo "check-layers: FAILED (see docs in CONTRIBUTING.md, \"Layers\")"
    exit 1
fi
echo "check-layers: $(wc -l <"$edges") folder dependencies, all pointing down"
