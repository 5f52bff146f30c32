#!/bin/sh
# Doxygen's input filter for the guide's pages (see api-reference.sh). Doxygen 1.9 reads a code
# span that begins with "::" and a name (`::ffff:a.b.c.d`) as a link to a global name, and
# warns when there is none; as <code> with the colons escaped it shows the same text.
exec sed -e 's/`::\([A-Za-z][A-Za-z0-9.:%]*\)`/<code>\\::\1<\/code>/g' "$1"
