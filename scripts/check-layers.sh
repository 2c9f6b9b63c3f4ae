#!/usr/bin/env bash
# Fails when a file under src/ includes a header from a floor above its own.
# Floors, top to bottom: interface, points, protocol, serial (with the port
# layer); core is the ground floor under all of them and includes none.
set -euo pipefail
cd "$(dirname "$0")/.."

rank() {
    case $1 in
    core) echo 0 ;;
    serial) echo 1 ;;
    protocol) echo 2 ;;
    points) echo 3 ;;
    interface) echo 4 ;;
    *) echo -1 ;;
    esac
}

bad=0
while IFS= read -r file; do
    floor=$(cut -d/ -f2 <<<"$file")
    own=$(rank "$floor")
    if [ "$own" -lt 0 ]; then
        echo "layers: $file lies in no known floor" >&2
        bad=1
        continue
    fi
    while IFS= read -r included; do
        target=${included%%/*}
        [ "$target" = "$included" ] && continue # same folder
        other=$(rank "$target")
        if [ "$other" -lt 0 ] || [ "$other" -gt "$own" ] ||
            { [ "$own" -eq 0 ] && [ "$target" != core ]; }; then
            echo "layers: $file includes \"$included\" from a floor above its own" >&2
            bad=1
        fi
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1/p' "$file")
done < <(git ls-files 'src/*.cpp' 'src/*.h')

if [ "$bad" -ne 0 ]; then
    exit 1
fi
echo "layers: every include goes down or to the ground floor"
