#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh) and checks it without
# installing it: unpacked into a temporary folder, its file list must be the
# expected one, the desktop entry, the AppStream metadata and the manual pages
# must validate, the unpacked qvftp must run, and lintian must find no error.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)

deb=$(bash scripts/package.sh | tail -n 1)
version=$(dpkg-deb -f "$deb" Version)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
root=$work/root
failed=0
fail() {
  echo "check-package: $*" >&2
  failed=1
}

expected="./usr/bin/quorvan-ftp
./usr/bin/qvftp
./usr/share/applications/org.quorvan.QuorvanFTP.desktop
./usr/share/bash-completion/completions/qvftp
./usr/share/doc/quorvan-ftp/changelog.gz
./usr/share/doc/quorvan-ftp/copyright
./usr/share/icons/hicolor/128x128/apps/quorvan-ftp.png
./usr/share/icons/hicolor/16x16/apps/quorvan-ftp.png
./usr/share/icons/hicolor/256x256/apps/quorvan-ftp.png
./usr/share/icons/hicolor/32x32/apps/quorvan-ftp.png
./usr/share/icons/hicolor/48x48/apps/quorvan-ftp.png
./usr/share/icons/hicolor/64x64/apps/quorvan-ftp.png
./usr/share/icons/hicolor/scalable/apps/quorvan-ftp.svg
./usr/share/man/man1/quorvan-ftp.1.gz
./usr/share/man/man1/qvftp.1.gz
./usr/share/metainfo/org.quorvan.QuorvanFTP.metainfo.xml"
actual=$(cd "$root" && find . -type f -o -type l | LC_ALL=C sort)
if [ "$actual" != "$(LC_ALL=C sort <<<"$expected")" ]; then
  fail "the package's files differ from the expected list:"
  diff <(LC_ALL=C sort <<<"$expected") <(echo "$actual") >&2 || true
fi

for size in 16 32 48 64 128 256; do
  png=$root/usr/share/icons/hicolor/${size}x${size}/apps/quorvan-ftp.png
  [ "$(identify -format '%wx%h' "$png" 2>/dev/null)" = "${size}x${size}" ] ||
    fail "$png is not ${size}x${size}"
done
desktop-file-validate "$root/usr/share/applications/org.quorvan.QuorvanFTP.desktop" ||
  fail "desktop-file-validate found faults"
appstreamcli validate --no-net --pedantic \
  "$root/usr/share/metainfo/org.quorvan.QuorvanFTP.metainfo.xml" >"$work/appstream" 2>&1 || {
  cat "$work/appstream" >&2
  fail "appstreamcli validate found faults"
}
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done
bash -n "$root/usr/share/bash-completion/completions/qvftp" || fail "the completion is no bash"

[ "$("$root/usr/bin/qvftp" --version)" = "qvftp $version" ] ||
  fail "the unpacked qvftp --version does not say qvftp $version"
missing=$(ldd "$root/usr/bin/quorvan-ftp" "$root/usr/bin/qvftp" | grep 'not found' || true)
[ -z "$missing" ] || fail "libraries not found: $missing"

# Errors fail the check; warnings are shown. (As root lintian says that it
# would rather not run as root.)
if ! lintian --fail-on error "$deb" >"$work/lintian" 2>&1; then
  fail "lintian reports errors"
fi
grep -v 'running with root privileges' "$work/lintian" >&2 || true

[ $failed -eq 0 ] || exit 1
echo "package $deb checked in $(( $(date +%s) - start )) s"
