#!/usr/bin/env bash
# The Debian package from scripts/package.sh: lintian finds no error, the
# files and modes are the expected ones, the settings templates are the
# installer's, the unit runs the packaged program, the log rule removes old
# request logs only, and the same inputs give the same package.
# Exits 77 (skipped) without dpkg-deb or dpkg-shlibdeps.
set -euo pipefail
source_dir=$1
program=$2
cd "$source_dir"

fail() { echo "FAIL: $*" >&2; exit 1; }

for tool in dpkg-deb dpkg-shlibdeps; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: no $tool here (dpkg and dpkg-dev; scripts/install.sh installs them)"
    exit 77
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
deb=$(OUT=$work/out PROGRAM=$program scripts/package.sh)
[ -f "$deb" ] || fail "scripts/package.sh made no package"
version=$(sed -n 's/^project(apinorvessa VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
case "$(basename "$deb")" in
  "apinorvessa_${version}-"*"_$(dpkg --print-architecture).deb") ;;
  *) fail "package $(basename "$deb") is not version $version" ;;
esac

if command -v lintian >/dev/null; then
  lintian --info --display-info "$deb" 2>/dev/null | tee "$work/lintian.txt" |
    grep -v '^N:' || true
  if grep -q '^E:' "$work/lintian.txt"; then fail "lintian reports errors"; fi
else
  echo "lintian is not installed: its review is skipped (scripts/install.sh installs it)"
fi

# Paths and modes, not sizes or dates.
dpkg-deb -c "$deb" |
  awk '{ line = $1 " " $2 " " $6; for (i = 7; i <= NF; ++i) line = line " " $i; print line }' |
  LC_ALL=C sort -k3 > "$work/files.txt"
grep -v '^#' tests/deploy/package_files.txt > "$work/expected.txt"
diff -u "$work/expected.txt" "$work/files.txt" || fail "package contents differ"

dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' > "$work/depends.txt"
for dependency in libqt6widgets6 libodbc2 libsqlite3-0 zlib1g libstdc++6 adduser odbcinst; do
  grep -qx "$dependency" "$work/depends.txt" || fail "Depends lacks $dependency"
done
[ "$(dpkg-deb -f "$deb" Recommends)" = tdsodbc ] || fail "tdsodbc not recommended"

# The conffiles hold what install-service.sh writes; the unit is the tree's
# and starts the program where the package puts it.
dpkg-deb -e "$deb" "$work/control"
printf '%s\n' /etc/apinorvessa/Conexao.ini \
  /etc/apinorvessa/Norvessa/Config/Norvessa.ini | cmp -s - "$work/control/conffiles" ||
  fail "conffiles: $(cat "$work/control/conffiles")"
dpkg-deb -x "$deb" "$work/root"
DESTDIR=$work/installed PROGRAM=$program scripts/install-service.sh >/dev/null
cmp "$work/installed/opt/apinorvessa/Config/Conexao.ini" "$work/root/etc/apinorvessa/Conexao.ini" ||
  fail "Conexao.ini differs from the installer's"
norvessa=etc/apinorvessa/Norvessa/Config/Norvessa.ini
cmp "$work/installed/$norvessa" "$work/root/$norvessa" ||
  fail "Norvessa.ini differs from the installer's"
grep -qx 'PortaAdmin=9001' "$work/root/$norvessa" || fail "Norvessa.ini lacks PortaAdmin=9001"
grep -qx 'IPAdmin=127.0.0.1' "$work/root/$norvessa" || fail "Norvessa.ini lacks IPAdmin=127.0.0.1"
unit=$work/root/lib/systemd/system/apinorvessa.service
cmp -s deploy/apinorvessa.service "$unit" || fail "unit not packaged as it is"
grep -qx 'ExecStart=/opt/apinorvessa/apinorvessa --headless' "$unit" ||
  fail "unit does not start /opt/apinorvessa/apinorvessa"
[ -x "$work/root/opt/apinorvessa/apinorvessa" ] || fail "no program in /opt/apinorvessa"
"$work/root/opt/apinorvessa/apinorvessa" --version | grep -qx "APINorvessa $version" ||
  fail "the packaged program is not version $version"

# The log rule, on the package's own tree: a log last written 91 days ago
# goes even when read today; one written 89 days ago and the folder stay.
if command -v systemd-tmpfiles >/dev/null; then
  logs=$work/root/opt/apinorvessa/Logs
  touch -m -d '91 days ago' "$logs/LogsAPI_old.log"
  touch -m -d '89 days ago' "$logs/LogsAPI_recent.log"
  systemd-tmpfiles --root="$work/root" --clean apinorvessa.conf
  [ -d "$logs" ] || fail "the log rule removed the Logs folder"
  [ ! -e "$logs/LogsAPI_old.log" ] || fail "a 91-day-old log stayed"
  [ -e "$logs/LogsAPI_recent.log" ] || fail "an 89-day-old log was removed"
else
  echo "systemd-tmpfiles is not installed: the log rule is not tried"
fi

OUT=$work/again PROGRAM=$program scripts/package.sh >/dev/null
cmp -s "$deb" "$work/again/$(basename "$deb")" || fail "the package is not reproducible"
echo "package checks passed: $(basename "$deb")"
