#!/usr/bin/env bash
# The Debian package as a user gets it: built with CPack, unpacked with
# dpkg-deb -x into a temporary root (never installed into this machine), its
# file list, validators and control data checked, its postinst run against a
# stand-in setcap, and the installed lanterra-scan run from that root against 127.0.0.x.
#   package_test.sh <build dir> <version>     (inside tests/lab/run-in-netns.sh)
set -euo pipefail
build=$1
version=$2

fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$work/out/lanterra_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $(basename "$deb") among: $(ls "$work/out")"

root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"

# Exactly these files; the command-line program and its manual page once it is built.
expected=(
  usr/bin/lanterra
  usr/libexec/lanterra/pelorin
  usr/share/applications/lanterra.desktop
  usr/share/doc/lanterra/changelog.gz
  usr/share/doc/lanterra/copyright
  usr/share/icons/hicolor/scalable/apps/lanterra.svg
  usr/share/man/man1/lanterra.1.gz
  usr/share/metainfo/io.github.lanterra.lanterra.metainfo.xml
)
for size in 16 32 48 64 128 256; do
  expected+=("usr/share/icons/hicolor/${size}x${size}/apps/lanterra.png")
done
if [ -e "$root/usr/bin/lanterra-scan" ]; then
  expected+=(usr/bin/lanterra-scan usr/share/man/man1/lanterra-scan.1.gz
             usr/share/bash-completion/completions/lanterra-scan)
fi
diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$root" && find . -type f | sed 's|^\./||' | sort) \
  || fail "file list (< expected, > packaged)"
for size in 16 256; do
  file "$root/usr/share/icons/hicolor/${size}x${size}/apps/lanterra.png" | grep -q "PNG image data, $size x $size" \
    || fail "the ${size}x${size} icon is not a $size-pixel PNG"
done
grep -q "<release version=\"$version\"" "$root"/usr/share/metainfo/*.xml || fail "metainfo version"
desktop-file-validate "$root/usr/share/applications/lanterra.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.xml >"$work/appstream.log" 2>&1 \
  || { cat "$work/appstream.log" >&2; fail "appstreamcli validate"; }
lintian --fail-on error "$deb" 2>/dev/null || fail "lintian reports errors"

# Control data: the version, shared-library dependencies and the run-time ones.
# postinst alone: the capability goes with the file, so removal needs no script.
[ "$(ls "$work/control" | tr '\n' ' ')" = "control md5sums postinst " ] \
  || fail "control files: $(ls "$work/control")"
control=$work/control/control
grep -qx "Version: $version" "$control" || fail "Version in control"
depends=$(sed -n 's/^Depends: //p' "$control")
for needed in libcap2-bin ieee-data libqt6core6 libcap2; do
  [[ ", $depends," == *", $needed"[\ ,]* ]] || fail "Depends lacks $needed: $depends"
done

# postinst: grants the right to pelorin alone through setcap; when setcap
# fails, one line on what to do instead, and the install still succeeds.
stand_in=$work/bin
mkdir -p "$stand_in"
printf '#!/bin/sh\necho "$*" >>"%s/setcap.args"\nexit "${SETCAP_STATUS:-0}"\n' "$work" >"$stand_in/setcap"
chmod +x "$stand_in/setcap"
PATH=$stand_in:$PATH SETCAP_STATUS=0 "$work/control/postinst" configure >"$work/ok.out" 2>&1 \
  || fail "postinst failed with a working setcap"
[ "$(cat "$work/setcap.args")" = "cap_net_raw+p /usr/libexec/lanterra/pelorin" ] \
  || fail "setcap called with: $(cat "$work/setcap.args")"
[ ! -s "$work/ok.out" ] || fail "postinst printed: $(cat "$work/ok.out")"
PATH=$stand_in:$PATH SETCAP_STATUS=1 "$work/control/postinst" configure >"$work/refused.out" 2>&1 \
  || fail "postinst failed where setcap is refused"
[ "$(wc -l <"$work/refused.out")" -eq 1 ] && grep -q 'ping_group_range' "$work/refused.out" \
  || fail "postinst's advice when setcap fails: $(cat "$work/refused.out")"

# The installed programs run from the unpacked root and find the installed pelorin.
scan=$root/usr/bin/lanterra-scan
if [ ! -x "$scan" ]; then
  echo "SKIP: the package has no lanterra-scan yet; installed scan not run"
  exit 0
fi
[ "${LANTERRA_LAB_NETNS:-}" = 1 ] || fail "the scan runs only inside tests/lab/run-in-netns.sh"
status=0
"$scan" 127.0.0.1 --format csv >"$work/scan.csv" 2>"$work/scan.err" || status=$?
[ "$status" -eq 0 ] || fail "lanterra-scan exited $status: $(cat "$work/scan.err")"
grep -q '^127\.0\.0\.1,' "$work/scan.csv" || fail "127.0.0.1 not listed: $(cat "$work/scan.csv")"
# The completion offers the formats after -o.
COMPREPLY=()
# shellcheck source=/dev/null
. "$root/usr/share/bash-completion/completions/lanterra-scan"
COMP_WORDS=(lanterra-scan -o c); COMP_CWORD=2; _lanterra_scan
[ "${COMPREPLY[*]}" = csv ] || fail "completion after -o c: ${COMPREPLY[*]}"
echo "package: $(basename "$deb") unpacked, checked and scanned 127.0.0.1 from its root"
