#!/usr/bin/env bash
# Builds the Debian package from this build folder (its programs are already
# built) and checks what apt and a person would meet: the package's fields,
# a dependency on the package of every shared library the programs load (or
# `apt install ./morvane_*.deb` leaves a program that does not start), the
# files in place, stripped programs, and a valid service unit with the relay.
set -euo pipefail
build=$1
cpack="$(dirname "$2")/cpack"
programs=$3 # the programs this tree installs, separated by ';'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "deb package: $*" >&2
  exit 1
}

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack failed"
fi
debs=("$work"/morvane_*.deb)
[ -f "${debs[0]}" ] || fail "no morvane_*.deb in $(ls "$work")"
deb=${debs[0]}
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = morvane ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
[ -n "$(field Version)" ] || fail "no Version"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
echo "Depends: $depends"
depends_names=$(sed 's/ ([^)]*)//g; s/, /\n/g' <<<"$depends")

contents=$(dpkg-deb --contents "$deb")
prefix=$(sed -n 's/^set(CPACK_PACKAGING_INSTALL_PREFIX "\(.*\)")$/\1/p' \
  "$build/CPackConfig.cmake" | head -1)
[ -n "$prefix" ] || fail "no install prefix in CPackConfig.cmake"
expected=(bin/morvane-host share/applications/morvane.desktop share/icons/hicolor/scalable/apps/morvane.svg)
relay=no
if [[ ";$programs;" == *";morvane-relay;"* ]]; then
  relay=yes
  expected+=(bin/morvane-relay lib/systemd/system/morvane-relay.service lib/sysusers.d/morvane-relay.conf)
fi
for f in "${expected[@]}"; do
  grep -q " \.$prefix/$f\$" <<<"$contents" || fail "missing $prefix/$f in:"$'\n'"$contents"
done
# Only what a person runs: no test programs, libraries or headers.
if grep -E '_tests$|\.a$|\.h$|/include/' <<<"$contents"; then
  fail "build or test files in the package"
fi

libraries=$(ldconfig -p | grep -E 'x86-64|64bit|AArch64' || ldconfig -p)

dpkg-deb -x "$deb" "$work/root"
for program in "$work/root$prefix"/bin/*; do
  name=$(basename "$program")
  if readelf -S "$program" | grep -q '\.symtab'; then fail "$name is not stripped"; fi
  echo "$name: $(stat -c %s "$program") bytes, stripped"
  # Each library it loads must come from a package the package depends on:
  # one dpkg query for all, under every name dpkg may know a file by (/lib
  # and /usr/lib are one folder on a merged-/usr system).
  needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  candidates=()
  for lib in $needed; do
    path=$(awk -v l="$lib" '$1 == l { print $NF }' <<<"$libraries" | head -1)
    [ -n "$path" ] || fail "$name needs $lib, which is not on this system"
    real=$(readlink -f "$path")
    for p in "$real" "${real#/usr}" "/usr${real#/usr}"; do candidates+=("$p"); done
  done
  owners=$(dpkg -S "${candidates[@]}" 2>/dev/null || true)
  for lib in $needed; do
    real=$(readlink -f "$(awk -v l="$lib" '$1 == l { print $NF }' <<<"$libraries" | head -1)")
    owner=$(awk -v a="$real" -v b="${real#/usr}" '$2 == a || $2 == b { sub(/:.*/, "", $1); print $1; exit }' <<<"$owners")
    [ -n "$owner" ] || fail "no package owns $real ($lib of $name)"
    grep -qxF "$owner" <<<"$depends_names" || fail "$name loads $lib from $owner, which Depends lacks: $depends"
  done
done

if [ "$relay" = yes ]; then
  unit="$work/root$prefix/lib/systemd/system/morvane-relay.service"
  grep -q "^ExecStart=$prefix/bin/morvane-relay --config /etc/morvane-relay/config.json$" "$unit" ||
    fail "the unit does not start the installed relay: $(grep ExecStart "$unit")"
  # Unknown or misspelt settings are ignored by systemd with only a warning:
  # a hardening line with a typo would be silently off.
  sed "s|^ExecStart=[^ ]*|ExecStart=$work/root$prefix/bin/morvane-relay|" "$unit" >"$work/morvane-relay.service"
  if ! systemd-analyze verify --man=no "$work/morvane-relay.service" >"$work/verify.log" 2>&1 ||
    grep -v -e 'Failed to create' -e 'Failed to setup' -e '^$' "$work/verify.log" | grep -q .; then
    cat "$work/verify.log" >&2
    fail "the service unit does not verify"
  fi
  # Its hardening stays in place: systemd's own exposure score, 0 (locked
  # down) to 10 (none), is 1.8 with the unit as written; the threshold is
  # in tenths.
  if ! systemd-analyze security --offline=true --threshold=30 "$work/morvane-relay.service" >"$work/security.log" 2>&1; then
    tail -5 "$work/security.log" >&2
    fail "the service unit lost its hardening"
  fi
  dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -q postinst || fail "no postinst to make the relay's user"
  # The user the unit names is the one the package makes (tried on an empty
  # system folder).
  mkdir -p "$work/sysroot/etc"
  systemd-sysusers --root="$work/sysroot" "$work/root$prefix/lib/sysusers.d/morvane-relay.conf" >/dev/null 2>&1 ||
    fail "systemd-sysusers refuses lib/sysusers.d/morvane-relay.conf"
  user=$(sed -n 's/^User=//p' "$unit")
  group=$(sed -n 's/^Group=//p' "$unit")
  grep -q "^$user:.*:/usr/sbin/nologin\$" "$work/sysroot/etc/passwd" || fail "no system user $user without a shell"
  grep -q "^$group:" "$work/sysroot/etc/group" || fail "no group $group"
fi
echo "deb package: all checks passed"
