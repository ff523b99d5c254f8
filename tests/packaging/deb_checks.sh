# Checks of a Debian package from cpack, sourced by the packaging tests:
# what apt and a person meet. The caller sets `work` (a scratch folder) and
# `fail` (prints its arguments and exits).

deb_field() { dpkg-deb -f "$1" "$2"; }

# The installed libraries, 64-bit first, for finding the file a program's
# NEEDED entry loads.
deb_libraries=$(ldconfig -p | grep -E 'x86-64|64bit|AArch64' || ldconfig -p)

# check_deb DEB PACKAGE PREFIX FILE...: its fields; exactly these files
# under PREFIX (no build or test files, nothing of another package); each
# program stripped and every shared library it loads from a package its
# Depends names (or `apt install ./x.deb` leaves a program that does not
# start); a machine-readable copyright file. Unpacks it into
# $work/root-PACKAGE.
check_deb() {
  local deb=$1 package=$2 prefix=$3
  shift 3
  echo "$package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
  [ "$(deb_field "$deb" Package)" = "$package" ] || fail "$deb: Package is '$(deb_field "$deb" Package)'"
  [ "$(deb_field "$deb" Architecture)" = "$(dpkg --print-architecture)" ] ||
    fail "$package: Architecture is '$(deb_field "$deb" Architecture)'"
  local name
  for name in Version Maintainer Section; do
    [ -n "$(deb_field "$deb" $name)" ] || fail "$package: no $name"
  done
  # A synopsis and a longer text under it.
  [ "$(deb_field "$deb" Description | wc -l)" -ge 2 ] || fail "$package: no long description"

  local expected actual
  expected=$(printf ".$prefix/%s\n" "$@" | sort)
  actual=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $NF }' | sort)
  [ "$expected" = "$actual" ] ||
    fail "$package: its files differ from what it should hold:"$'\n'"$(diff <(echo "$expected") <(echo "$actual"))"

  local depends depends_names
  depends=$(deb_field "$deb" Depends)
  echo "$package Depends: $depends"
  depends_names=$(sed 's/ ([^)]*)//g; s/, /\n/g' <<<"$depends")
  local root=$work/root-$package
  dpkg-deb -x "$deb" "$root"
  local program needed lib path real p owners owner candidates
  for program in "$root$prefix"/bin/*; do
    name=$(basename "$program")
    if readelf -S "$program" | grep -q '\.symtab'; then fail "$name is not stripped"; fi
    echo "$name: $(stat -c %s "$program") bytes, stripped"
    # One dpkg query for all its libraries, under every name dpkg may know
    # a file by (/lib and /usr/lib are one folder on a merged-/usr system).
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    candidates=()
    for lib in $needed; do
      path=$(awk -v l="$lib" '$1 == l { print $NF }' <<<"$deb_libraries" | head -1)
      [ -n "$path" ] || fail "$name needs $lib, which is not on this system"
      real=$(readlink -f "$path")
      for p in "$real" "${real#/usr}" "/usr${real#/usr}"; do candidates+=("$p"); done
    done
    owners=$(dpkg -S "${candidates[@]}" 2>/dev/null || true)
    for lib in $needed; do
      real=$(readlink -f "$(awk -v l="$lib" '$1 == l { print $NF }' <<<"$deb_libraries" | head -1)")
      owner=$(awk -v a="$real" -v b="${real#/usr}" '$2 == a || $2 == b { sub(/:.*/, "", $1); print $1; exit }' <<<"$owners")
      [ -n "$owner" ] || fail "no package owns $real ($lib of $name)"
      grep -qxF "$owner" <<<"$depends_names" || fail "$name loads $lib from $owner, which $package's Depends lacks: $depends"
    done
  done

  check_copyright "$root$prefix/share/doc/$package/copyright"
}

# check_copyright FILE: Debian's machine-readable format, as far as a reader
# of it relies on: the format's header first; fields and continuation lines
# only; every Files paragraph with its Copyright and License, and each licence
# it names without its text given in a paragraph of its own.
check_copyright() {
  [ -f "$1" ] || fail "no copyright file $1"
  local problems
  problems=$(awk '
    BEGIN { RS = ""; FS = "\n" }
    {
      n++; delete field; delete text; last = ""
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^[ \t]/) {
          if (last == "") { print "paragraph " n " starts with a continuation line" }
          text[last] = 1
        } else if (match($i, /^[A-Za-z][A-Za-z0-9-]*:/)) {
          last = substr($i, 1, RLENGTH - 1)
          field[last] = substr($i, RLENGTH + 1); sub(/^[ \t]+/, "", field[last]); sub(/[ \t]+$/, "", field[last])
        } else {
          print "paragraph " n ": not a field: " $i
        }
      }
      if (n == 1) {
        if (field["Format"] != "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/")
          print "the first paragraph names no copyright-format 1.0"
      } else if ("Files" in field) {
        files++
        if (field["Copyright"] == "") print "Files: " field["Files"] " has no Copyright"
        if (field["License"] == "") print "Files: " field["Files"] " has no License"
        else if (!("License" in text)) wanted[field["License"]] = 1
      } else if ("License" in field) {
        given[field["License"]] = 1
      } else {
        print "paragraph " n " is neither Files nor License"
      }
    }
    END {
      if (!files) print "no Files paragraph"
      for (l in wanted) if (!(l in given)) print "licence " l " has no text"
    }' "$1")
  [ -z "$problems" ] || fail "$1 is not in the machine-readable format: $problems"
  [ "$(stat -c %a "$1")" = 644 ] || fail "$1 has mode $(stat -c %a "$1")"
}

# Stand-ins for systemd's tools in $work/tools, which append their calls
# to $work/calls.
stand_in_tools() {
  mkdir -p "$work/tools"
  local tool
  for tool in systemctl systemd-sysusers; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$tool" "$work" >"$work/tools/$tool"
    chmod +x "$work/tools/$tool"
  done
}

# check_relay_deb DEB PREFIX: the relay's package after check_deb: the page
# of its settings where its --help says; a unit
# that starts the installed program, verifies and keeps its hardening; the
# system user it runs as made by the package; and scripts that make the
# user, restart the relay on an upgrade and stop it on removal.
check_relay_deb() {
  local deb=$1 prefix=$2
  local root=$work/root-morvane-relay
  # An operator's --help leads to the page of its settings where the package
  # put it (the source's docs/relay.md, which a server may not have).
  local guide=$prefix/share/doc/morvane-relay/relay.md
  "$root$prefix/bin/morvane-relay" --help | grep -qF "$guide" || fail "morvane-relay --help does not name $guide"
  cmp -s "$root$guide" "$(dirname "$0")/../../docs/relay.md" || fail "$guide is not docs/relay.md"
  local unit=$root$prefix/lib/systemd/system/morvane-relay.service
  grep -q "^ExecStart=$prefix/bin/morvane-relay --config /etc/morvane-relay/config.json$" "$unit" ||
    fail "the unit does not start the installed relay: $(grep ExecStart "$unit")"
  # Unknown or misspelt settings are ignored by systemd with only a warning:
  # a hardening line with a typo would be silently off.
  sed "s|^ExecStart=[^ ]*|ExecStart=$root$prefix/bin/morvane-relay|" "$unit" >"$work/morvane-relay.service"
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
  # The user the unit names is the one the package makes (tried on an empty
  # system folder).
  local sysusers=$prefix/lib/sysusers.d/morvane-relay.conf
  mkdir -p "$work/sysroot/etc"
  systemd-sysusers --root="$work/sysroot" "$root$sysusers" >/dev/null 2>&1 ||
    fail "systemd-sysusers refuses $sysusers"
  local user group
  user=$(sed -n 's/^User=//p' "$unit")
  group=$(sed -n 's/^Group=//p' "$unit")
  grep -q "^$user:.*:/usr/sbin/nologin\$" "$work/sysroot/etc/passwd" || fail "no system user $user without a shell"
  grep -q "^$group:" "$work/sysroot/etc/group" || fail "no group $group"

  # The maintainer scripts as dpkg calls them, with systemd's tools
  # replaced by ones that write down their calls and the folder that says
  # systemd runs made or not.
  local control=$work/control-relay
  dpkg-deb -e "$deb" "$control"
  stand_in_tools
  local rows row script running args want got
  # script | systemd running | arguments | the calls, in order
  rows="postinst|yes|configure|systemd-sysusers $sysusers;systemctl daemon-reload
postinst|yes|configure 0.0.9|systemd-sysusers $sysusers;systemctl daemon-reload;systemctl try-restart morvane-relay.service
postinst|no|configure 0.0.9|systemd-sysusers $sysusers
postinst|yes|abort-upgrade 0.2|
prerm|yes|remove|systemctl stop morvane-relay.service;systemctl disable morvane-relay.service
prerm|no|remove|systemctl disable morvane-relay.service
prerm|yes|upgrade 0.2|
postrm|yes|remove|systemctl daemon-reload
postrm|yes|purge|systemctl daemon-reload
postrm|yes|upgrade 0.2|"
  while IFS='|' read -r script running args want; do
    [ -x "$control/$script" ] || fail "morvane-relay has no executable $script"
    sed "s|/run/systemd/system|$work/run-systemd|g" "$control/$script" >"$work/$script.sh"
    rm -rf "$work/run-systemd" "$work/calls"
    [ "$running" = no ] || mkdir "$work/run-systemd"
    touch "$work/calls"
    # shellcheck disable=SC2086 # the arguments are words
    PATH="$work/tools:$PATH" sh -e "$work/$script.sh" $args >/dev/null || fail "$script $args failed"
    got=$(paste -sd';' "$work/calls")
    [ "$got" = "$want" ] || fail "$script $args (systemd running: $running) calls '$got', not '$want'"
  done <<<"$rows"
}

# check_host_deb DEB: the host's package makes no system user: no sysusers
# file (check_deb's file list) and no script that makes one.
check_host_deb() {
  local control=$work/control-host
  dpkg-deb -e "$1" "$control"
  if grep -lE 'sysusers|useradd|adduser' "$control"/* 2>/dev/null | grep .; then
    fail "the host's package makes a system user"
  fi
}

# check_version VERSION: what each package of this tree is called,
# <project version>+<commits>.g<hash> (outside git: +<commits>, or +0.d and
# the newest source file's time), sorted as apt sorts it: above the 0.1 of
# the packages made before and above the last commit's, below the next
# commit's. A package is installed over another only when it sorts higher;
# otherwise apt answers "already the newest version" and the old program
# keeps running.
check_version() {
  local version=$1
  [[ $version =~ ^([0-9]+\.[0-9]+)\+([0-9]+)(\.g[0-9a-f]{7,})?$ || $version =~ ^([0-9]+\.[0-9]+)\+(0)\.d[0-9]{14}$ ]] ||
    fail "version $version is not <version>+<commits>.g<hash>"
  local base=${BASH_REMATCH[1]} count=${BASH_REMATCH[2]}
  local rows other relation
  # another version | how this one sorts against it
  rows="0.1|gt
$base+$((count + 1)).g0000000|lt
$base+$((count + 1))|lt
$base.1+1.g0000000|lt"
  [ "$count" -eq 0 ] || rows+="
$base+$((count - 1)).gfffffff|gt
$base+$((count - 1))|gt
$base+0.d99991231235959|gt"
  while IFS='|' read -r other relation; do
    dpkg --compare-versions "$version" "$relation" "$other" || fail "version $version does not sort $relation $other"
  done <<<"$rows"
}

# check_upgrade DEB PACKAGE VERSION: installed with dpkg, in an empty system
# folder of its own, over the same package as the last commit would have
# made it (this one with the count before), it is an upgrade: the new
# version is installed in place of the old, its files with it. Maintainer
# scripts run outside the folder, with systemd's tools replaced by ones that
# write down their calls.
check_upgrade() {
  local deb=$1 package=$2 version=$3
  local count=${version#*+}
  count=${count%%.*}
  [ "$count" -gt 0 ] || return 0
  local older=${version%%+*}+$((count - 1)).gfffffff
  local root=$work/upgrade-$package
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  dpkg-deb -R "$deb" "$work/older-$package"
  sed -i "s/^Version: .*/Version: $older/" "$work/older-$package/DEBIAN/control"
  dpkg-deb -b "$work/older-$package" "$work/older-$package.deb" >/dev/null
  stand_in_tools
  local step file
  for step in "$work/older-$package.deb" "$deb"; do
    PATH="$work/tools:$PATH" dpkg --root="$root" --log="$root/dpkg.log" --force-script-chrootless --force-depends \
      --force-not-root -i "$step" >"$work/dpkg.log" 2>&1 || {
      cat "$work/dpkg.log" >&2
      fail "dpkg could not install $(basename "$step") in a folder of its own"
    }
  done
  grep -q " upgrade $package:[^ ]* $older $version\$" "$root/dpkg.log" ||
    fail "dpkg did not upgrade $package from $older to $version: $(grep -E ' (install|upgrade) ' "$root/dpkg.log")"
  [ "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Version}' "$package")" = "$version" ] ||
    fail "after the upgrade $package is not $version"
  for file in $(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print substr($NF, 2) }'); do
    cmp -s "$root$file" "$work/root-$package$file" || fail "the upgrade left $file unlike $version's"
  done
}
