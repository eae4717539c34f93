#!/usr/bin/env bash
# Installs the Debian packages the service needs to build, run and test.
# Does nothing when dpkg already knows every package.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libboost1.81-dev libboost-json1.81-dev
  libsqlite3-dev sqlite3
  unixodbc unixodbc-dev tdsodbc freetds-bin libsqliteodbc
  qt6-base-dev xvfb xauth
  locales  # the locale test builds pt_BR.UTF-8 from its sources
  zlib1g-dev
  libgtest-dev libbenchmark-dev
  wrk hyperfine
  clang libclang-rt-14-dev libfuzzer-14-dev  # the fuzz targets
  systemd  # systemd-analyze reviews the unit (systemd need not be the init)
  prometheus  # promtool checks the metrics exposition
  dpkg-dev lintian  # scripts/package.sh builds the .deb; the package test reviews it
  openapi-specification python3-jsonschema  # the OpenAPI document is checked against the 3.0 schema
  nginx openssl curl  # the cluster behind nginx with TLS (scripts/cluster.sh, its test)
)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install.sh: installing ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
  "${packages[@]}"
