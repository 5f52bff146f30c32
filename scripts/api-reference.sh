#!/usr/bin/env bash
# Makes the API reference of the public headers with Doxygen (docs/Doxyfile) and fails on any
# Doxygen warning: an undocumented public name, or a comment Doxygen cannot read. The guide's
# pages (docs/*.md) go in beside the headers, docs/README.md as the main page, once it exists.
#   api-reference.sh [OUTPUT_DIR]     default: build/docs; the HTML goes to OUTPUT_DIR/html
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/docs}
mkdir -p "$out"

{
    cat docs/Doxyfile
    echo "OUTPUT_DIRECTORY = \"$out\""
    # All the guide's pages, so that its links from one page to another resolve.
    if [ -f docs/README.md ]; then
        for page in docs/*.md; do
            echo "INPUT += \"$page\""
        done
        echo "USE_MDFILE_AS_MAINPAGE = docs/README.md"
        echo "FILTER_PATTERNS = *.md=scripts/doxygen-md-filter.sh"
    fi
} | doxygen -
echo "API reference: $out/html/index.html"
