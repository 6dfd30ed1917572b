#!/usr/bin/env bash
# Prints how many lines of tests the project keeps against its other code, so the balance is
# seen on every run. Lines that are blank or only a comment are not counted. Tests are tests/
# (tests/support/ included), fuzz/, tools/ (the session driver behind the valgrind run), the
# scripts that run tests (scripts/test*.sh, .ci/run, packaging/test-*.sh) and any test_* or
# *_test.* file elsewhere; code is every other source file the project writes. Only tracked
# files count, so build folders never do.
set -euo pipefail
cd "$(dirname "$0")/.."
listing=$(git ls-files 2>/dev/null) || { echo "$0: not a git checkout, nothing counted" >&2; exit 0; }

files=()
while IFS= read -r f; do
  [ -f "$f" ] || continue # deleted in the work tree, not yet in the index
  case $f in
    fuzz/corpus/* | po/*) continue ;;
    *.cpp | *.h | *.py | *.sh | *.cmake | */CMakeLists.txt | CMakeLists.txt) files+=("$f") ;;
  esac
  # Scripts without an extension (.ci/run, packaging/postinst) are known by their #! line.
  if [[ ${f##*/} != *.* ]] && [ "$(head -c2 "$f")" = "#!" ]; then files+=("$f"); fi
done <<<"$listing"

awk '
  FNR == 1 {
    n = split(FILENAME, part, "/")
    test = FILENAME ~ /^(tests|fuzz|tools)\// || FILENAME == ".ci/run" ||
      part[n] ~ /^test[_-]/ || part[n] ~ /_test\./ || FILENAME ~ /^scripts\/test\.sh$/
    c = FILENAME ~ /\.(cpp|h)$/
    inblock = 0
  }
  # A C/C++ line is code when anything but a comment is on it. Literals are stepped over
  # whole, so that a "//" or "/*" inside one starts nothing.
  function c_code(s,   code, p, quote) {
    code = 0
    while (s != "") {
      if (inblock) {
        p = index(s, "*/")
        if (!p) return code
        inblock = 0
        s = substr(s, p + 2)
        continue
      }
      sub(/^[ \t\r\f]+/, "", s)
      if (s == "" || substr(s, 1, 2) == "//") return code
      if (substr(s, 1, 2) == "/*") { inblock = 1; s = substr(s, 3); continue }
      code = 1
      if (!match(s, /\/\*|\/\/|["\x27]/)) return code
      s = substr(s, RSTART)
      quote = substr(s, 1, 1)
      if (quote == "/") continue
      if (quote == "\"") p = match(s, /^"([^"\\]|\\.)*"/)
      else p = match(s, /^\x27([^\x27\\]|\\.)*\x27/)
      if (!p) return code # a digit separator, or a literal going on to the next line
      s = substr(s, RLENGTH + 1)
    }
    return code
  }
  {
    if (c) counted = c_code($0)
    else counted = $0 !~ /^[ \t\r\f]*(#|$)/
    if (counted) lines[test]++
  }
  END {
    printf "tests %d lines\ncode  %d lines\nratio %.3f\n", lines[1], lines[0],
      lines[0] ? lines[1] / lines[0] : 0
  }' "${files[@]}"
