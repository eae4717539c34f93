#!/usr/bin/env bash
# Builds the Debian package apinorvessa_<version>_<arch>.deb from the built
# program (after scripts/build.sh release), laid out as install-service.sh
# lays the service out: the program in /opt/apinorvessa with Config/ and
# Logs/ beside it, the settings under /etc/apinorvessa, the unit in
# /lib/systemd/system. The files around the program are in deploy/debian/.
# PROGRAM=<file> packages another build of the program (default
# build/src/app/apinorvessa); OUT=<folder> is where the package goes
# (default build/package); relative paths start at the repository root,
# as in install-service.sh. Needs dpkg-dev (dpkg-shlibdeps) and binutils.
set -euo pipefail
cd "$(dirname "$0")/.."
umask 022

program=${PROGRAM:-build/src/app/apinorvessa}
out=${OUT:-build/package}
debian=deploy/debian
[ -x "$program" ] || { echo "package.sh: run scripts/build.sh release first" >&2; exit 1; }

# The upstream version is the project's; the changelog adds the package
# revision and must describe this version.
upstream=$(sed -n 's/^project(apinorvessa VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$upstream" ] || { echo "package.sh: no project version in CMakeLists.txt" >&2; exit 1; }
version=$(dpkg-parsechangelog -l "$debian/changelog" -S Version)
if [ "${version%-*}" != "$upstream" ]; then
  echo "package.sh: $debian/changelog starts at $version but the project is" \
       "$upstream: add a changelog entry ($upstream-1)" >&2
  exit 1
fi
built=$("$program" --version | awk '{ print $NF }')
if [ "$built" != "$upstream" ]; then
  echo "package.sh: $program is version $built, the project $upstream: rebuild it" >&2
  exit 1
fi
maintainer=$(dpkg-parsechangelog -l "$debian/changelog" -S Maintainer)
# Every date in the package is the changelog's: the same tree and program
# make the same package.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$debian/changelog" -S Timestamp)
export SOURCE_DATE_EPOCH
arch=$(dpkg --print-architecture)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/debian/apinorvessa

install -d "$root/opt/apinorvessa/Config" "$root/opt/apinorvessa/Logs"
install -s -m 0755 "$program" "$root/opt/apinorvessa/apinorvessa"
# What strip keeps but a packaged program does not need (as dh_strip).
strip --remove-section=.comment --remove-section=.note \
  "$root/opt/apinorvessa/apinorvessa"
# Conffiles live under /etc; the program reads Config/Conexao.ini beside
# itself through the link.
install -d "$root/etc/apinorvessa/Norvessa/Config"
install -m 0644 "$debian/Conexao.ini" "$root/etc/apinorvessa/Conexao.ini"
ln -s /etc/apinorvessa/Conexao.ini "$root/opt/apinorvessa/Config/Conexao.ini"
install -m 0644 "$debian/Norvessa.ini" \
  "$root/etc/apinorvessa/Norvessa/Config/Norvessa.ini"

install -d "$root/lib/systemd/system" "$root/usr/lib/tmpfiles.d"
install -m 0644 deploy/apinorvessa.service "$root/lib/systemd/system/apinorvessa.service"
install -m 0644 "$debian/tmpfiles.conf" "$root/usr/lib/tmpfiles.d/apinorvessa.conf"

doc=$root/usr/share/doc/apinorvessa
install -d "$doc" "$root/usr/share/lintian/overrides"
install -m 0644 "$debian/copyright" "$doc/copyright"
gzip -9n < "$debian/changelog" > "$doc/changelog.Debian.gz"
chmod 0644 "$doc/changelog.Debian.gz"
install -m 0644 "$debian/lintian-overrides" \
  "$root/usr/share/lintian/overrides/apinorvessa"

# The libraries the program links, as package dependencies (DEBIAN/ marks
# the package's root for dpkg-shlibdeps).
install -d "$root/DEBIAN"
printf 'Source: apinorvessa\n\nPackage: apinorvessa\nArchitecture: any\n' \
  > "$work/debian/control"
shlibs=$(cd "$work" && dpkg-shlibdeps -O -edebian/apinorvessa/opt/apinorvessa/apinorvessa |
         sed -n 's/^shlibs:Depends=//p')
[ -n "$shlibs" ] || { echo "package.sh: dpkg-shlibdeps found no libraries" >&2; exit 1; }
installed_size=$(du -sk --apparent-size --exclude=DEBIAN "$root" | cut -f1)

control=$(< "$debian/control.in")
control=${control//@VERSION@/$version}
control=${control//@ARCH@/$arch}
control=${control//@MAINTAINER@/$maintainer}
control=${control//@INSTALLED_SIZE@/$installed_size}
control=${control//@SHLIBS@/$shlibs}
printf '%s\n' "$control" > "$root/DEBIAN/control"
install -m 0644 "$debian/conffiles" "$root/DEBIAN/conffiles"
install -m 0755 "$debian/postinst" "$debian/prerm" "$debian/postrm" "$root/DEBIAN/"
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' |
   LC_ALL=C sort -z | xargs -0 md5sum) > "$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/md5sums"
find "$root" -newermt "@$SOURCE_DATE_EPOCH" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

install -d "$out"
deb=$out/apinorvessa_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
