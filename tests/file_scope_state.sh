#!/usr/bin/env bash
# No mutable state at file scope in the program's sources but what is named
# in file_scope_state.allowed (the ending signal, the terminal's state, and
# what each port backend, stand-in and driver wrapper holds for the one
# device it drives): a variable declared at the start of a line that is
# neither const nor constexpr is state, and must be listed there.
#
# Usage: file_scope_state.sh SOURCE_DIR
set -euo pipefail
cd "$1"
allowed=tests/file_scope_state.allowed
declaration='^(static |inline |thread_local )*[A-Za-z_][A-Za-z0-9_:<>,* ]*[ *&]+[A-Za-z_][A-Za-z0-9_:]*( *(=[^=(][^;]*|\{[^;]*\}|\[[^;]*\]( *=.*)?))?;|^[A-Za-z_][A-Za-z0-9_:<>,* ]*[ *&]+[A-Za-z_][A-Za-z0-9_:]*( *=)? *\{$'
# Not variables, or ones that cannot change: a const object (not a pointer
# to const, which can be pointed elsewhere) or a const pointer.
skip='(constexpr|using|return|typedef|extern|friend|template|struct|class|enum|namespace|case|default|goto|delete|throw|public|private|protected)\b|const [^*]*$|.*\* *const '
failures=0
found=0
for file in $(find app modes disk serve mapfile report card link port portaccess sim base -name '*.cpp' | sort); do
    while IFS=: read -r line text; do
        name=$(sed -E 's/^[^=;{[]*[ *&]([A-Za-z_][A-Za-z0-9_:]*) *([=;{[].*)?$/\1/' <<<"$text")
        found=$((found + 1))
        if ! grep -qxF "$file $name" "$allowed"; then
            echo "file-scope state: $file:$line: $text"
            failures=$((failures + 1))
        fi
    done < <(grep -nE "$declaration" "$file" | grep -vE "^[0-9]+:($skip)" | sed -E 's/ *\/\/.*$//' || true)
done
echo "file-scope state: $found variables, $failures not allowed"
[[ $failures == 0 ]]
