#!/usr/bin/env bash
# Makes the API reference of the public headers with Doxygen (docs/Doxyfile) and fails on any
# Doxygen warning: an undocumented public name, or a comment Doxygen cannot read. The guide's
# docs/README.md becomes the main page when it exists.
#   api-reference.sh [OUTPUT_DIR]     default: build/docs; the HTML goes to OUTPUT_DIR/html
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/docs}
mkdir -p "$out"

{
    cat docs/Doxyfile
    echo "OUTPUT_DIRECTORY = \"$out\""
    if [ -f docs/README.md ]; then
        echo "INPUT += docs/README.md"
        echo "USE_MDFILE_AS_MAINPAGE = docs/README.md"
    fi
} | doxygen -
echo "API reference: $out/html/index.html"
