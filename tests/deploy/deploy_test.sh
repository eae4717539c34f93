#!/usr/bin/env bash
# The unit's exposure under systemd-analyze's security review, and what the
# installer writes: the unit, the site drop-in from Conexao.ini, and local
# drop-ins left as they are.
set -euo pipefail
source_dir=$1
program=$2
cd "$source_dir"

fail() { echo "FAIL: $*" >&2; exit 1; }

# 2.5 at most: the threshold is in tenths.
systemd-analyze security --offline=yes --threshold=25 deploy/apinorvessa.service |
  tail -n 1
systemd-analyze security --offline=yes --threshold=25 \
  deploy/apinorvessa.service >/dev/null ||
  fail "deploy/apinorvessa.service is exposed above 2.5"

dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
DESTDIR=$dest PROGRAM=$program scripts/install-service.sh >/dev/null
unit=$dest/usr/local/lib/systemd/system/apinorvessa.service
site=$dest/etc/systemd/system/apinorvessa.service.d/10-site.conf
cmp -s deploy/apinorvessa.service "$unit" || fail "unit not installed as it is"
[ -f "$site" ] || fail "no site drop-in"
grep -q '^ReadWritePaths' "$site" && fail "SQL Server settings need no database folder"

# An embedded database: its folder becomes writable, the operator's own
# drop-in and settings stay as they are.
cat > "$dest/opt/apinorvessa/Config/Conexao.ini" <<'INI'
[Server]
Driver = SQLite
banco=../data/erp.db
INI
local_conf=$dest/etc/systemd/system/apinorvessa.service.d/override.conf
printf '[Service]\nEnvironment=LOCAL=1\n' > "$local_conf"
cp "$local_conf" "$dest/override.before"
DESTDIR=$dest PROGRAM=$program scripts/install-service.sh >/dev/null
grep -qx 'ReadWritePaths=/opt/data' "$site" || {
  cat "$site" >&2
  fail "site drop-in lacks the database folder"
}
cmp -s "$local_conf" "$dest/override.before" || fail "local drop-in changed"
grep -q '^Driver = SQLite' "$dest/opt/apinorvessa/Config/Conexao.ini" ||
  fail "Conexao.ini rewritten"

# The installed unit with its drop-ins still scores 2.5 at most.
systemd-analyze security --offline=yes --threshold=25 --root="$dest" \
  apinorvessa.service >/dev/null || fail "installed unit exposed above 2.5"
echo "deploy checks passed"
