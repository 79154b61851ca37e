#!/usr/bin/env bash
# Builds the Debian package build/quorvan-ftp_<version>_<arch>.deb from the
# programs in build/ (building the two programs there first): what
# `cmake --install` puts under /usr, stripped, with compressed manual pages,
# the copyright file and the changelog, and dependencies computed from the
# binaries by dpkg-shlibdeps. The last line on stdout is the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || {
    echo "$tool is missing: run scripts/setup.sh (Debian package dpkg-dev)" >&2
    exit 1
  }
done

[ -f build/CMakeCache.txt ] || cmake -S . -B build -G Ninja >&2
cmake --build build -j "$(nproc)" --target quorvan-ftp qvftp >&2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
arch=$(dpkg --print-architecture)
deb=build/quorvan-ftp_${version}_${arch}.deb

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# dpkg-shlibdeps looks for the package's files where debhelper would put them.
root=$work/debian/quorvan-ftp
DESTDIR=$root cmake --install build --prefix /usr >/dev/null
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root"/usr/bin/*
gzip -9n "$root"/usr/share/man/man1/*.1
doc=$root/usr/share/doc/quorvan-ftp
install -d "$doc"
install -m 644 data/package/copyright "$doc/copyright"
gzip -9nc data/package/changelog >"$doc/changelog.gz"
chmod 644 "$doc/changelog.gz"
# Whatever the umask: directories 755, files 644, programs 755.
find "$root" -type d -exec chmod 755 {} +
find "$root" -type f -exec chmod 644 {} +
chmod 755 "$root"/usr/bin/*

# dpkg-shlibdeps reads the source package's control file (a minimal one does)
# and finds the package's root by its DEBIAN folder.
install -d "$root/DEBIAN"
printf 'Source: quorvan-ftp\n\nPackage: quorvan-ftp\nArchitecture: any\n' >"$work/debian/control"
shlibs=$(cd "$work" && dpkg-shlibdeps -O debian/quorvan-ftp/usr/bin/quorvan-ftp debian/quorvan-ftp/usr/bin/qvftp |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$shlibs" ] || { echo "dpkg-shlibdeps found no dependencies" >&2; exit 1; }

size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" \
  -e "s/@SHLIBS@/$shlibs/" data/package/control >"$root/DEBIAN/control"
(cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >&2
echo "$deb"
