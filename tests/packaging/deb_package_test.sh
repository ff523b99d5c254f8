#!/usr/bin/env bash
# Makes the Debian packages from this build folder with one cpack run (its
# programs are already built) and checks each: morvane holds the host, its
# menu entry and icon, and makes no system user; morvane-relay holds the
# relay, its unit and its user. See deb_checks.sh for what is checked.
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
# shellcheck source=deb_checks.sh
. "$(dirname "$0")/deb_checks.sh"

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack failed"
fi
prefix=$(sed -n 's/^set(CPACK_PACKAGING_INSTALL_PREFIX "\(.*\)")$/\1/p' "$build/CPackConfig.cmake" | head -1)
[ -n "$prefix" ] || fail "no install prefix in CPackConfig.cmake"

# One package for each program this tree builds, and no other.
wanted=()
[[ ";$programs;" == *";morvane-host;"* ]] && wanted+=(morvane)
[[ ";$programs;" == *";morvane-relay;"* ]] && wanted+=(morvane-relay)
made=$(for deb in "$work"/*.deb; do [ ! -f "$deb" ] || echo "$(deb_field "$deb" Package) $(basename "$deb")"; done)
[ "$(cut -d' ' -f1 <<<"$made" | sort)" = "$(printf '%s\n' "${wanted[@]}" | sort)" ] ||
  fail "cpack made"$'\n'"$made"$'\n'"instead of the packages ${wanted[*]}"

# Both packages of one build carry one version, which grows with each commit.
version=$(for deb in "$work"/*.deb; do deb_field "$deb" Version; done | sort -u)
[ "$(wc -l <<<"$version")" -eq 1 ] || fail "the packages carry different versions: $version"
check_version "$version"
echo "version: $version"

for package in "${wanted[@]}"; do
  # Named as `apt install ./morvane_*.deb` and `./morvane-relay_*.deb` expect.
  deb=$(awk -v p="$package" '$1 == p { print $2 }' <<<"$made")
  [[ $deb == "${package}_"*.deb ]] || fail "the package $package is in $deb"
  deb=$work/$deb
  case $package in
    morvane)
      check_deb "$deb" morvane "$prefix" bin/morvane-host share/applications/morvane.desktop \
        share/icons/hicolor/scalable/apps/morvane.svg share/doc/morvane/copyright
      check_host_deb "$deb"
      check_upgrade "$deb" morvane "$version"
      ;;
    morvane-relay)
      check_deb "$deb" morvane-relay "$prefix" bin/morvane-relay lib/systemd/system/morvane-relay.service \
        lib/sysusers.d/morvane-relay.conf share/doc/morvane-relay/copyright share/doc/morvane-relay/relay.md
      check_relay_deb "$deb" "$prefix"
      check_upgrade "$deb" morvane-relay "$version"
      ;;
  esac
done
echo "deb package: all checks passed"
