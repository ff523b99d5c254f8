#!/usr/bin/env bash
# A relay server builds morvane-relay in a relay-only tree (MORVANE_HOST=OFF)
# with only what `scripts/setup --relay` installs. Configures such a tree and
# checks that every file it found (compilers, libraries, headers, CMake
# packages) comes from those packages or what they depend on, so no desktop
# package is needed; then, with this tree's morvane-relay put in its place
# rather than built a second time, that `cmake --install` installs the relay's
# files alone and a program that starts, and that cpack makes the
# morvane-relay package alone.
set -euo pipefail
source=$1
build=$2 # a tree that built morvane-relay
cmake=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "relay-only tree: $*" >&2
  exit 1
}
# shellcheck source=deb_checks.sh
. "$(dirname "$0")/deb_checks.sh"

tree=$work/tree
if ! "$cmake" -S "$source" -B "$tree" -DMORVANE_HOST=OFF -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  >"$work/configure.log" 2>&1; then
  cat "$work/configure.log" >&2
  fail "the relay-only tree does not configure"
fi

# The packages `scripts/setup --relay` installs, and every installed package
# they depend on, through virtual names and alternatives alike.
roots=$(sed -n '/^RELAY_PACKAGES=(/,/^)/p' "$source/scripts/setup" | sed '1d;$d' | tr -s ' ' '\n' | grep . || true)
[ -n "$roots" ] || fail "no RELAY_PACKAGES list in scripts/setup"
allowed=$(dpkg-query -W -f='${db:Status-Abbrev}\t${Package}\t${Provides}\t${Depends}, ${Pre-Depends}\n' |
  awk -F'\t' -v roots="$roots" '
    $1 ~ /^ii/ {
      installed[$2] = 1; depends[$2] = depends[$2] "," $4
      n = split($3, names, /, */)
      for (i = 1; i <= n; i++) {
        name = names[i]; sub(/ .*/, "", name)
        if (name != "") provided[name] = provided[name] " " $2
      }
    }
    END {
      n = split(roots, queue, "\n")
      for (head = 1; head <= n; head++) {
        name = queue[head]
        if (name in asked) continue
        asked[name] = 1
        m = split(((name in installed) ? name : "") provided[name], packages, " ")
        for (j = 1; j <= m; j++) {
          p = packages[j]
          if (p in taken) continue
          taken[p] = 1; print p
          k = split(depends[p], ds, /[,|]/)
          for (x = 1; x <= k; x++) {
            d = ds[x]; sub(/^ +/, "", d); sub(/[ (:].*/, "", d)
            if (d != "") queue[++n] = d
          }
        }
      }
    }')

# Every file or folder the configure wrote down, outside this checkout and
# the tree, under the names dpkg may know it by.
paths=()
while IFS= read -r path; do
  case $path in "$source"/* | "$work"/*) continue ;; esac
  [ -e "$path" ] || continue
  for name in "$path" "$(readlink -f "$path")"; do
    paths+=("$name")
    [ "${name#/usr/}" = "$name" ] || paths+=("/${name#/usr/}")
  done
done < <(sed -n 's/^[A-Za-z0-9_.+-]*:\(FILEPATH\|PATH\)=\(\/.*\)$/\2/p' "$tree/CMakeCache.txt")
[ ${#paths[@]} -gt 10 ] || fail "too few paths in the relay-only tree's cache: ${paths[*]}"
foreign=$(dpkg -S "${paths[@]}" 2>/dev/null | grep -v '^diversion' | awk -v allowed="$allowed" '
  BEGIN { n = split(allowed, a, "\n"); for (i = 1; i <= n; i++) ok[a[i]] = 1 }
  {
    split($0, parts, ": "); path = substr($0, length(parts[1]) + 3)
    n = split(parts[1], owners, /, */); good = 0
    for (i = 1; i <= n; i++) { o = owners[i]; sub(/:.*/, "", o); if (o in ok) good = 1 }
    if (!good) print path " (" parts[1] ")"
  }' || true)
[ -z "$foreign" ] || fail "the relay-only tree uses what scripts/setup --relay does not install:"$'\n'"$foreign"
echo "relay-only tree: $(wc -l <<<"$allowed") packages allowed, ${#paths[@]} paths in its cache, each from one of them"

# Installed: the relay's files and nothing of the host's, its program
# stripped and starting.
cp "$build/morvane-relay" "$tree/morvane-relay"
DESTDIR=$work/dest "$cmake" --install "$tree" >"$work/install.log" 2>&1 || {
  cat "$work/install.log" >&2
  fail "cmake --install failed"
}
files=$(cd "$work/dest" && find . ! -type d | sort)
want=$(printf './usr/%s\n' bin/morvane-relay lib/systemd/system/morvane-relay.service lib/sysusers.d/morvane-relay.conf \
  share/doc/morvane-relay/copyright share/doc/morvane-relay/relay.md | sort)
[ "$files" = "$want" ] || fail "cmake --install put in place:"$'\n'"$files"$'\n'"instead of:"$'\n'"$want"
if readelf -S "$work/dest/usr/bin/morvane-relay" | grep -q '\.symtab'; then
  fail "the installed relay is not stripped"
fi
version=$("$work/dest/usr/bin/morvane-relay" --version) || fail "the installed relay does not start"
[[ $version == "morvane-relay "* ]] || fail "the installed relay's --version says '$version'"

# Packaged: morvane-relay alone.
"$(dirname "$cmake")/cpack" -G DEB --config "$tree/CPackConfig.cmake" -B "$work/debs" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log" >&2
  fail "cpack failed"
}
made=$(cd "$work/debs" && ls -- *.deb)
[[ $made == morvane-relay_*.deb && $(wc -l <<<"$made") -eq 1 ]] || fail "cpack made $made, not morvane-relay alone"
check_deb "$work/debs/$made" morvane-relay /usr bin/morvane-relay lib/systemd/system/morvane-relay.service \
  lib/sysusers.d/morvane-relay.conf share/doc/morvane-relay/copyright share/doc/morvane-relay/relay.md
echo "relay-only tree: all checks passed"
