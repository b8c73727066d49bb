#!/usr/bin/env bash
# Builds the Debian package from the build folder given (scripts/package) and checks it:
# name, metadata and dependencies, the exact contents list, the maintainer scripts,
# lintian (errors fail), the unpacked programs (--version, --help, an unknown option),
# systemd-analyze verify on the service, desktop-file-validate on both desktop entries.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:?build folder}" && pwd)

for tool in cpack dpkg-deb dpkg-shlibdeps lintian desktop-file-validate systemd-analyze; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (scripts/install-deps installs it)"; exit 77; }
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

deb=$("$src/scripts/package" "$build")
version=$(sed -n 's/^project(drvkestrel VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
arch=$(dpkg --print-architecture)
[[ $(basename "$deb") == "drvkestrel_${version}_${arch}.deb" ]] && ok "file name $(basename "$deb")" ||
  fail "file name $(basename "$deb"), expected drvkestrel_${version}_${arch}.deb"

# ---- metadata
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == drvkestrel ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$version" ]] || fail "Version: $(field Version)"
[[ $(field Architecture) == "$arch" ]] || fail "Architecture: $(field Architecture)"
[[ -n $(field Maintainer) && -n $(field Description) ]] || fail "Maintainer or Description missing"
depends=$(field Depends)
for dep in adduser libc6 libqt6core6 libqt6widgets6 libqt6serialport6 libqt6network6; do
  grep -qE "(^|, )$dep( |,|$)" <<<"$depends" || fail "Depends lacks $dep: $depends"
done
if grep -q '^KESTREL_HAVE_SYSTEMD:INTERNAL=ON' "$build/CMakeCache.txt"; then
  grep -q libsystemd0 <<<"$depends" || fail "Depends lacks libsystemd0: $depends"
fi
ok "metadata: $(field Package) $(field Version) $(field Architecture); Depends: $depends"

# ---- contents: exactly the expected files
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | LC_ALL=C sort >"$tmp/contents.txt"
if diff -u "$here/contents.txt" "$tmp/contents.txt"; then ok "contents ($(wc -l <"$tmp/contents.txt") files)"; else fail "contents differ"; fi
bad_owner=$(dpkg-deb -c "$deb" | awk '$2 != "root/root"' | head -n 3)
[[ -z $bad_owner ]] || fail "files not owned by root: $bad_owner"

# ---- maintainer scripts
mkdir "$tmp/control"
dpkg-deb -e "$deb" "$tmp/control"
for s in postinst prerm postrm; do
  [[ -x $tmp/control/$s ]] || { fail "$s missing or not executable"; continue; }
  sh -n "$tmp/control/$s" || fail "$s: syntax"
done
grep -q 'adduser --system' "$tmp/control/postinst" || fail "postinst makes no system user"
grep -q 'dialout' "$tmp/control/postinst" || fail "postinst does not add the user to dialout"
grep -q '/var/lib/drvkestrel' "$tmp/control/postinst" || fail "postinst makes no state folder"
code() { grep -v '^[[:space:]]*#' "$1"; }
code "$tmp/control/postinst" | grep -qE 'systemctl.* (enable|start)|deb-systemd-helper.* enable|deb-systemd-invoke.* start' &&
  fail "postinst enables or starts the service"
awk '/purge\)/,/;;/' "$tmp/control/postrm" | grep -q 'rm -rf /var/lib/drvkestrel' ||
  fail "postrm does not remove the state folder on purge"
awk '/purge\)/,/;;/' "$tmp/control/postrm" >"$tmp/purge-branch"
code "$tmp/control/postrm" | grep -v -F -x -f "$tmp/purge-branch" | grep -q '/var/lib/drvkestrel' &&
  fail "postrm touches the state folder outside purge"
ok "maintainer scripts"

# ---- lintian: errors fail, the rest is shown
lintian --tag-display-limit 0 "$deb" >"$tmp/lintian.txt" 2>/dev/null || true
cat "$tmp/lintian.txt"
if grep -q '^E:' "$tmp/lintian.txt"; then fail "lintian reports errors"; else ok "lintian: no errors"; fi

# ---- the unpacked programs
root=$tmp/root
dpkg-deb -x "$deb" "$root"
out=$("$root/usr/bin/drvkestrel" --version) || fail "--version: status $?"
[[ $out == "drvkestrel $version" ]] && ok "--version: $out" || fail "--version printed '$out'"
out=$("$root/usr/bin/drvkestrel" --help) || fail "--help: status $?"
grep -q -- '--workdir DIR' <<<"$out" && ok "--help" || fail "--help lacks --workdir: $out"
rc=0
"$root/usr/bin/drvkestrel" --no-such-option >/dev/null 2>"$tmp/usage.err" || rc=$?
[[ $rc == 2 ]] && grep -q 'unknown option --no-such-option' "$tmp/usage.err" && ok "unknown option: status 2" ||
  fail "unknown option: status $rc, '$(cat "$tmp/usage.err")'"
for p in drvkestrel-msgserver drvkestrel-receiver-sim; do
  "$root/usr/bin/$p" --help >/dev/null 2>&1 && ok "$p --help" || fail "$p --help: status $?"
done

# ---- the service: verified with ExecStart pointing at the unpacked program
unit=$root/usr/lib/systemd/system/drvkestrel.service
mkdir "$tmp/unit"
sed "s|/usr/bin/drvkestrel|$root/usr/bin/drvkestrel|" "$unit" >"$tmp/unit/drvkestrel.service"
if systemd-analyze verify "$tmp/unit/drvkestrel.service" 2>"$tmp/verify.txt"; then
  ok "systemd-analyze verify"
else
  fail "systemd-analyze verify"
fi
cat "$tmp/verify.txt"
# Unknown keys and bad values are only warnings ("file:line: ..."), with status 0.
grep -qE 'drvkestrel\.service:[0-9]+:' "$tmp/verify.txt" && fail "the service has lines systemd ignores"
for key in Type=notify WatchdogSec= Restart=on-failure TimeoutStopSec= User=drvkestrel \
  SupplementaryGroups=dialout WorkingDirectory=/var/lib/drvkestrel StateDirectory=drvkestrel \
  NoNewPrivileges=yes ProtectSystem=strict PrivateTmp=yes; do
  grep -q "^$key" "$unit" || fail "the service lacks $key"
done

grep -q -- '--metrics /var/lib/drvkestrel/drvkestrel.prom' "$unit" || fail "the service writes no metrics file"

# ---- the template for several receivers: verified as the instance "north"
template=$root/usr/lib/systemd/system/drvkestrel@.service
sed "s|/usr/bin/drvkestrel|$root/usr/bin/drvkestrel|" "$template" >"$tmp/unit/drvkestrel@north.service"
if systemd-analyze verify "$tmp/unit/drvkestrel@north.service" 2>"$tmp/verify-template.txt"; then
  ok "systemd-analyze verify drvkestrel@north.service"
else
  fail "systemd-analyze verify drvkestrel@north.service"
fi
cat "$tmp/verify-template.txt"
grep -qE 'drvkestrel@north\.service:[0-9]+:' "$tmp/verify-template.txt" &&
  fail "the template has lines systemd ignores"
for key in 'ExecStart=/usr/bin/drvkestrel --workdir /var/lib/drvkestrel/%i --metrics /var/lib/drvkestrel/drvkestrel-%i.prom' \
  'WorkingDirectory=/var/lib/drvkestrel/%i' 'StateDirectory=drvkestrel drvkestrel/%i' \
  'RuntimeDirectory=drvkestrel-%i' Type=notify WatchdogSec= User=drvkestrel ProtectSystem=strict; do
  grep -qF -- "$key" "$template" || fail "the template lacks $key"
done

# ---- desktop entries
for entry in "$root/usr/share/applications/drvkestrel.desktop" \
  "$root/usr/share/drvkestrel/autostart/drvkestrel.desktop"; do
  if desktop-file-validate "$entry"; then ok "desktop-file-validate ${entry#"$root"}"; else fail "desktop-file-validate ${entry#"$root"}"; fi
  exe=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
  [[ -x $root/usr/bin/$exe ]] || fail "${entry#"$root"}: Exec names $exe, not in the package"
  icon=$(sed -n 's/^Icon=//p' "$entry")
  [[ -f $root/usr/share/icons/hicolor/scalable/apps/$icon.svg ]] || fail "${entry#"$root"}: no icon $icon"
done

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "package checks passed: $deb"
