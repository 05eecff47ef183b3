#!/usr/bin/env bash
# The include graph of the program's layers: every arrow points down
# (app above all; serve and card above link above port; portaccess and sim above port;
# base under everything) and no file
# reaches itself through its includes.
#
# Usage: include_graph.sh SOURCE_DIR
set -euo pipefail
cd "$1"

declare -A allowed=(
    [app]="app serve card link portaccess port sim base"
    [serve]="serve card link base"
    [card]="card link base"
    [link]="link port base"
    [portaccess]="portaccess port base"
    [sim]="sim port base"
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
            if [[ " ${allowed[$layer]} " != *" $target "* ]]; then
                echo "upward arrow: $file includes $included"
                failures=$((failures + 1))
            fi
            echo "$file $included" >>"$edges"
        done < <(sed -nE 's/^\s*#\s*include\s+"((app|serve|card|link|port|portaccess|sim|base)\/[^"]+)".*/\1/p' "$file")
    done
done
if ! cycles=$(tsort "$edges" 2>&1 >/dev/null) || [[ -n $cycles ]]; then
    echo "include cycle: $cycles"
    failures=$((failures + 1))
fi
echo "include graph: $(wc -l <"$edges") arrows, $failures wrong"
[[ $failures == 0 ]]
