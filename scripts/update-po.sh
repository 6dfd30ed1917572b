#!/usr/bin/env bash
# Extracts the translatable texts of the sources and interface files into po/kelvra.pot and
# merges them into every catalogue.
set -euo pipefail
cd "$(dirname "$0")/.."
xgettext --from-code=UTF-8 --package-name=kelvra --package-version=1.0 --sort-by-file \
  --keyword=_ --keyword=N_ --add-comments=TRANSLATORS -o po/kelvra.pot.new \
  src/*/*.cpp ui/*.glade 2>&1 | grep -v 'fallback' >&2 || true
# Captions of the interface files are never format strings, whatever a percent sign in
# them looks like to xgettext.
awk 'prev ~ /^#: ui\// && $0 == "#, c-format" { $0 = "#, no-c-format" } { print; prev = $0 }' \
  po/kelvra.pot.new >po/kelvra.pot.tmp && mv po/kelvra.pot.tmp po/kelvra.pot.new
# Keep the template unchanged when only its creation date would differ.
if [ -f po/kelvra.pot ] && diff -q -I '^"POT-Creation-Date' po/kelvra.pot po/kelvra.pot.new >/dev/null; then
  rm po/kelvra.pot.new
else
  mv po/kelvra.pot.new po/kelvra.pot
fi
for po in po/*.po; do
  [ -e "$po" ] || continue
  msgmerge --quiet --update --backup=none --no-fuzzy-matching "$po" po/kelvra.pot
done
