#!/usr/bin/env bash
# The include graph of the program's rooms: every arrow points down (app
# above all; modes above disk, serve, mapfile and report; those above card
# above link above port; portaccess and sim above port; base under
# everything, the console's face to the modes and the server among it) and no
# file reaches itself through its includes. Nothing below app/ includes app/.
#
# Usage: include_graph.sh SOURCE_DIR
set -euo pipefail
cd "$1"

declare -A allowed=(
    [app]="app app/console modes disk serve mapfile report card link portaccess port sim sim/doubles base"
    [app/console]="app/console base"
    [modes]="modes disk serve mapfile report card link port sim base"
    [serve]="serve disk card link base"
    [mapfile]="mapfile disk card link base"
    [report]="report disk card link base"
    [disk]="disk card link base"
    [card]="card link base"
    [link]="link port base"
    [portaccess]="portaccess port base"
    [sim]="sim link port base"
    [sim/doubles]="sim/doubles sim link port base"
    [port]="port base"
    [base]="base"
)
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT
failures=0
for layer in "${!allowed[@]}"; do
    for file in "$layer"/*.h "$layer"/*.cpp; do
        [[ -e $file ]] || continue
        while read -r included; do
            target=${included%%/*}
            case $included in app/console/* | sim/doubles/*) target=${included%/*} ;; esac
            if [[ " ${allowed[$layer]} " != *" $target "* ]]; then
                echo "upward arrow: $file includes $included"
                failures=$((failures + 1))
            fi
            echo "$file $included" >>"$edges"
        done < <(sed -nE 's/^\s*#\s*include\s+"((app|modes|disk|serve|mapfile|report|card|link|port|portaccess|sim|base)\/[^"]+)".*/\1/p' "$file")
    done
done
if ! cycles=$(tsort "$edges" 2>&1 >/dev/null) || [[ -n $cycles ]]; then
    echo "include cycle: $cycles"
    failures=$((failures + 1))
fi
echo "include graph: $(wc -l <"$edges") arrows, $failures wrong"
[[ $failures == 0 ]]
