#!/usr/bin/env bash
# Extracts the translatable texts of the sources and interface files into po/kelvra.pot and
# merges them into every catalogue.
set -euo pipefail
cd "$(dirname "$0")/.."
# The parameters' labels live in the device description, which xgettext cannot read: they are
# handed to it as C strings, one line each.
labels=$(mktemp --suffix=.c)
trap 'rm -f "$labels"' EXIT
/usr/bin/python3 -c '
import json, sys
d = json.load(open("src/model/device.json", encoding="utf-8"))
for p in d["parameters"].values():
    if p.get("translate", True):
        print("N_(%s);" % json.dumps(p["label"], ensure_ascii=False))
' >"$labels"
xgettext --from-code=UTF-8 --package-name=kelvra --package-version=1.0 --sort-by-file \
  --keyword=_ --keyword=N_ --add-comments=TRANSLATORS -o po/kelvra.pot.new \
  src/*/*.cpp "$labels" ui/*.glade 2>&1 | grep -v 'fallback' >&2 || true
sed -i "s|^#: $labels:[0-9]*|#: src/model/device.json|" po/kelvra.pot.new
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
