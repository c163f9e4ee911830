#!/usr/bin/env bash
# fetch-test-corpora.sh DEST
#
# Unpacks test images that Debian packages ship into DEST/<package>/ (apt-get download and
# dpkg -x: nothing is installed). The files are third-party and never committed; the tests
# find them through the build's corpora folder.
set -euo pipefail

DEST=${1:?usage: fetch-test-corpora.sh DEST}
PKGS=(
  gdk-pixbuf-tests               # test-images/ with fail/ cases and Targa references
  libsixel-examples              # PngSuite
  libsdl2-image-tests            # one picture in BMP, ICO, PCX, PNM, TGA, TIFF, ...
  golang-github-rwcarlsen-goexif-dev  # camera JPEGs and corrupt EXIF
  python3-glymur                 # JPEG 2000
  rawtran-doc                    # a real CR2
)

mkdir -p "$DEST"
DEST=$(cd "$DEST" && pwd)
todo=()
for p in "${PKGS[@]}"; do
  [ -f "$DEST/$p/.unpacked" ] || todo+=("$p")
done
[ ${#todo[@]} -eq 0 ] && exit 0

TMP=$(mktemp -d /tmp/zelvan-corpora.XXXXXX)
trap 'rm -rf "$TMP"' EXIT
chmod 755 "$TMP"
cd "$TMP"
for p in "${todo[@]}"; do
  if ! apt-get download -qq "$p" 2>/dev/null; then
    apt-get update -qq 2>/dev/null || true
    apt-get download -qq "$p"
  fi
done
for deb in ./*.deb; do
  name=$(dpkg-deb -f "$deb" Package)
  rm -rf "${DEST:?}/$name"
  mkdir -p "$DEST/$name"
  dpkg -x "$deb" "$DEST/$name"
  touch "$DEST/$name/.unpacked"
  echo "unpacked $name $(dpkg-deb -f "$deb" Version)" >&2
done
