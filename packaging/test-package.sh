#!/usr/bin/env bash
# Builds the Debian package from a Release build in a scratch folder of its own, unpacks it into a
# scratch root with dpkg and checks what it installs and declares.
# Usage: test-package.sh [SOURCE_DIR [SCRATCH_DIR]]
set -euo pipefail
src=$(cd "${1:-$(dirname "$0")/..}" && pwd)
work=$(mkdir -p "${2:-$src/build-pkg-test}" && cd "${2:-$src/build-pkg-test}" && pwd)
jobs=${KELVRA_PKG_JOBS:-2}

# The package's own build: only what it ships, no tests, no sanitizers.
cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DKELVRA_TESTS=OFF \
  -DKELVRA_SANITIZE=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$work/build" -j"$jobs" --target kelvra kelvra0 kelvra-cli kelvra-sim ui_files catalogues \
  >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
rm -rf "$work/out" "$work/root"
(cd "$work/build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; exit 1; }

passed=0 failed=0
not() { ! "$@"; }
check() { # check DESCRIPTION COMMAND...; VERBOSE=1 lists the passes too
  if "${@:2}" >/dev/null 2>&1; then
    passed=$((passed + 1))
    [ -z "${VERBOSE:-}" ] || echo "ok: $1"
  else
    failed=$((failed + 1))
    echo "FAILED: $1"
  fi
}

version=$(sed -n 's/^project(kelvra VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
arch=$(dpkg --print-architecture)
deb=$work/out/kelvra_${version}_$arch.deb
check "package file kelvra_${version}_$arch.deb" test -f "$deb"
[ -f "$deb" ] || { ls -l "$work/out"; exit 1; }
field() { dpkg-deb -f "$deb" "$1"; }
check "Package field" test "$(field Package)" = kelvra
check "Version field" test "$(field Version)" = "$version"
check "Architecture field" test "$(field Architecture)" = "$arch"
for f in Maintainer Description Section; do check "$f field" test -n "$(field "$f")"; done

# Depends: the toolkit's libraries, and the package of every library the programs link.
depends=$(field Depends)
has_dep() { [[ ", $depends," == *", $1 ("* || ", $depends," == *", $1,"* ]]; }
for p in libc6 libstdc++6 libgcc-s1 libglib2.0-0 libgtk2.0-0 libglade2-0; do
  check "Depends names $p" has_dep "$p"
done

# Unpacked by dpkg itself into an empty root: no maintainer script runs there.
root=$work/root
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-not-root --force-depends --unpack "$deb" >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; exit 1; }
check "dpkg records kelvra as unpacked" \
  grep -qx 'Status: install ok unpacked' <(dpkg --root="$root" -s kelvra)

owner() { # the package that ships a library, under /lib or /usr/lib on a merged /usr
  local f g
  for f in "$1" "$(readlink -f "$1")"; do
    for g in "$f" "${f#/usr}" "/usr$f"; do
      dpkg -S "$g" 2>/dev/null | head -1 | cut -d: -f1 | grep . && return
    done
  done
}
for p in kelvra kelvra0 kelvra-cli kelvra-sim; do
  check "/usr/bin/$p executable" test -x "$root/usr/bin/$p" -a -f "$root/usr/bin/$p"
  for lib in $(readelf -d "$root/usr/bin/$p" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    pkg=$(owner "$(ldd "$root/usr/bin/$p" | awk -v l="$lib" '$1 == l {print $3}')")
    check "Depends covers $lib of $p (${pkg:-no package})" has_dep "${pkg:-none}"
  done
done
check "kelvra-cli needs no toolkit" not grep -q 'libgtk\|libglade' \
  <(readelf -d "$root/usr/bin/kelvra-cli")
check "kelvra-cli runs without a display" env -u DISPLAY "$root/usr/bin/kelvra-cli" --version

# The programs read their interface files where SYSTEM_UI_DIR points, and libglade connects the
# handlers by name through the dynamic symbol table, which stripping must leave.
ui_dir=$(sed -n 's/.*SYSTEM_UI_DIR = "\(.*\)";.*/\1/p' "$src/src/model/variant.h")
locale_dir=$(sed -n 's/.*SYSTEM_LOCALE_DIR = "\(.*\)";.*/\1/p' "$src/src/text/textdomain.h")
check "SYSTEM_UI_DIR found in variant.h" test -n "$ui_dir"
for ui in "$src"/ui/*.glade; do
  name=$(basename "$ui")
  check "$name under $ui_dir" cmp "$ui" "$root$ui_dir/$name"
  prog=${name%.glade}
  [ "$prog" = kelvra_about ] && prog=kelvra
  for h in $(grep -o 'handler="[^"]*"' "$ui" | cut -d'"' -f2 | sort -u); do
    check "$prog exports handler $h" grep -qw "$h" <(readelf --dyn-syms -W "$root/usr/bin/$prog")
  done
done
for po in "$src"/po/*.po; do
  lang=$(basename "$po" .po)
  mo=$root$locale_dir/$lang/LC_MESSAGES/kelvra.mo
  check "catalogue $lang" test -s "$mo"
done
check "Spanish catalogue translates the window title" test "$(LANG=C.UTF-8 LANGUAGE=es \
  TEXTDOMAINDIR="$root$locale_dir" gettext -d kelvra 'Transformer Temperature Controller')" = \
  'Controlador de temperatura de transformador'

check "the configuration files' MIME type" grep -q 'type="application/x-kelvra-configuration"' \
  "$root/usr/share/mime/packages/kelvra.xml"
check "the MIME type is well-formed XML" python3 -c \
  'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' \
  "$root/usr/share/mime/packages/kelvra.xml"
check "kelvra --version runs without a display" env -u DISPLAY "$root/usr/bin/kelvra" --version
# Desktop entries: each names an installed program and icon, in English and Spanish.
for p in kelvra kelvra0; do
  d=$root/usr/share/applications/$p.desktop
  check "$p.desktop" test -f "$d"
  check "$p.desktop runs $p with a file" grep -qx "Exec=$p %f" "$d"
  check "$p.desktop opens configuration files" \
    grep -qx "MimeType=application/x-kelvra-configuration;" "$d"
  check "$p.desktop icon" grep -qx "Icon=$p" "$d"
  for key in 'Name' 'Comment' 'Comment\[es\]' 'Categories' 'Type'; do
    check "$p.desktop has $key" grep -q "^$key=." "$d"
  done
  if command -v desktop-file-validate >/dev/null; then
    check "$p.desktop validates" desktop-file-validate "$d"
  fi
  check "$p.svg" grep -q '<svg' "$root/usr/share/icons/hicolor/scalable/apps/$p.svg"
  check "$p.png is 48x48" grep -q 'PNG image data, 48 x 48' \
    <(file "$root/usr/share/icons/hicolor/48x48/apps/$p.png")
done

# The udev rule, as udev would read its product patterns (shell globs, '|' between choices).
rules=$root/usr/lib/udev/rules.d/60-kelvra.rules
check "udev rule installed" test -f "$rules"
matches() { # matches LINE_PATTERN PRODUCT: the rule line with LINE_PATTERN accepts PRODUCT
  local line pat alt
  line=$(grep -E "$1" "$rules" | grep -v '^#') || return 1
  [[ $line == *'ATTRS{idVendor}=="0403"'* ]] || return 1
  pat=$(sed -n 's/.*ATTRS{product}=="\([^"]*\)".*/\1/p' <<<"$line")
  local -a alts
  IFS='|' read -ra alts <<<"$pat"
  for alt in "${alts[@]}"; do
    # shellcheck disable=SC2053 # a glob, on purpose
    [[ $2 == $alt ]] && return 0
  done
  return 1
}
port='SUBSYSTEM=="tty".*GROUP="dialout".*MODE="0660"'
latency='SUBSYSTEM=="usb-serial".*DRIVER=="ftdi_sio".*ATTR\{latency_timer\}="1"'
for s in A B C D; do
  for m in 1 2 3; do
    check "port of UNIT-$s/$m" matches "$port" "UNIT-$s/$m"
    check "latency of UNIT-$s/$m" matches "$latency" "UNIT-$s/$m"
  done
done
for other in UNIT-E/1 UNIT-A/4 UNIT-A/0 UNIT-A/12 unit-a/1 UNIT-A1 "UNIT-A/1 " "FT232R USB UART"; do
  check "port rule ignores '$other'" not matches "$port" "$other"
  check "latency rule ignores '$other'" not matches "$latency" "$other"
done

# postinst: reloads the rules where udevadm exists, and is harmless where it does not.
dpkg-deb -e "$deb" "$work/control"
stub=$work/stub
mkdir -p "$stub"
printf '#!/bin/sh\necho "$*" >>"%s/calls"\n' "$stub" >"$stub/udevadm"
chmod +x "$stub/udevadm"
rm -f "$stub/calls"
check "postinst executable" test -x "$work/control/postinst"
check "postinst with udevadm" env PATH="$stub:/usr/bin:/bin" /bin/sh "$work/control/postinst" configure
check "postinst reloads the rules" grep -q 'control --reload-rules' "$stub/calls"
check "postinst triggers usb-serial" grep -q 'trigger.*usb-serial' "$stub/calls"
check "postinst without udevadm" env PATH="$work/nowhere" /bin/sh "$work/control/postinst" configure

echo "package: $(stat -c %s "$deb") bytes, Installed-Size $(field Installed-Size) KiB"
echo "Depends: $depends"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
