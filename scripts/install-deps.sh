#!/usr/bin/env bash
# Installs every Debian package that building, testing and running Zelvan need.
# Run as root (or through sudo) on Debian 12 or newer.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config
  # Qt 6 (widgets, network, D-Bus, tests)
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev qt6-translations-l10n
  # codecs
  libjpeg62-turbo-dev zlib1g-dev libdeflate-dev libpng-dev libgif-dev libtiff-dev
  libopenjp2-7-dev libexiv2-dev libraw-dev liblcms2-dev
  libwebp-dev libjxl-dev
  # HEIC/HEIF (HEVC through libde265) and AVIF (aom encodes, dav1d decodes)
  libheif-dev libde265-0 libavif-dev libaom3 libdav1d6
  # the generic CMYK profile for CMYK JPEGs without one of their own
  libgs-common
  # fonts for the text stamp
  fonts-liberation fonts-dejavu-core
  # tests, fuzzers and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev clang-14 libclang-rt-14-dev python3-pil
  # independent decoders used by the tests and the benchmark
  libjpeg-turbo-progs pngcheck giflib-tools imagemagick libopenjp2-tools
  libimage-exiftool-perl hyperfine bc parallel
  webp libjxl-tools
  libavif-bin libheif-examples
  # GUI checks under a virtual display
  xvfb xdotool x11-apps
  # desktop entry check; rendering the icon's PNGs from its SVG
  desktop-file-utils librsvg2-bin
  # the manual page, the AppStream check, the Debian package and its container image
  help2man appstream man-db dpkg-dev fakeroot podman mmdebstrap
  # a private session bus for the launcher progress test
  dbus-daemon dbus-session-bus-common
)

SUDO=
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed" >&2
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
