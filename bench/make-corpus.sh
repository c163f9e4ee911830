#!/usr/bin/env bash
# make-corpus.sh DEST
#
# Rebuilds the benchmark photo corpus into DEST from Debian (bookworm) packages only.
#   DEST/jpeg/*.jpg  18 real photographs (8 of them >= 8 MP)
#   DEST/png/*.png   11 PNG images: 5 photos (4 shipped as PNG, 1 converted from JPEG),
#                    3 flat artworks, 3 desktop screenshots
#   DEST/manifest.tsv  name, package, WxH, channels, bytes, sha256, source path
#
# Packages are fetched with `apt-get download` and unpacked with `dpkg -x` into a
# temporary folder that is removed afterwards: nothing is installed except the
# converter used for the one JPEG->PNG conversion (libvips-tools) and
# imagemagick (for `identify` in the manifest), if they are missing.
# Exact package versions are pinned; if a pinned version is no longer available
# the candidate version is used with a warning (the sha256 in the manifest then
# tells whether the files changed: compare with corpus-manifest.tsv beside this script).
set -euo pipefail

DEST=${1:?usage: make-corpus.sh DEST}
HERE=$(cd "$(dirname "$0")" && pwd)

PKGS=(
  "lomiri-wallpapers-16.04=20.04.0-2"
  "lomiri-wallpapers-20.04=20.04.0-2"
  "lxqt-themes=1.2.0-1"
  "plasma-workspace-wallpapers=4:5.27.5-2"
  "mate-backgrounds=1.26.0-1"
  "sway-backgrounds=1.7-6"
  "debian-handbook=11.20220922"
)

# kind|package|path inside the package|name in the corpus
FILES=(
  # --- JPEG photographs, largest first ---
  "jpeg|lomiri-wallpapers-20.04|usr/share/backgrounds/Kleiber_by_Lukas_Baubkus.jpg|kleiber.jpg"
  "jpeg|lomiri-wallpapers-20.04|usr/share/backgrounds/Infinite-Sea_by_Aury88.jpg|infinite-sea.jpg"
  "jpeg|lomiri-wallpapers-16.04|usr/share/backgrounds/seeding_by_Clements_Engelhardt.jpg|seeding.jpg"
  "jpeg|lomiri-wallpapers-16.04|usr/share/backgrounds/Dragonfly_by_Bolly.jpg|dragonfly.jpg"
  "jpeg|lomiri-wallpapers-16.04|usr/share/backgrounds/sunset_by_Aitzol_Berasategi.jpg|sunset.jpg"
  "jpeg|lomiri-wallpapers-16.04|usr/share/backgrounds/Bridge_by_Sander_Klootwijk.jpg|bridge.jpg"
  "jpeg|lomiri-wallpapers-16.04|usr/share/backgrounds/Wine_by_Jakkub_Mede.jpg|wine-portrait.jpg"
  "jpeg|lomiri-wallpapers-16.04|usr/share/backgrounds/picosdeeuropa_by_Aitzol_Berasategi.jpg|picosdeeuropa.jpg"
  "jpeg|lomiri-wallpapers-16.04|usr/share/backgrounds/life_by_Aitzol_Berasategi.jpg|life.jpg"
  "jpeg|lomiri-wallpapers-16.04|usr/share/backgrounds/aitzgorri_by_Aitzol_Berasategi.jpg|aitzgorri.jpg"
  "jpeg|lomiri-wallpapers-16.04|usr/share/backgrounds/friends_by_Aitzol_Berasategi.jpg|friends-portrait.jpg"
  "jpeg|lomiri-wallpapers-16.04|usr/share/backgrounds/greentock_by_Peter_Nerlich.jpg|greentock.jpg"
  "jpeg|lomiri-wallpapers-16.04|usr/share/backgrounds/free_by_Peter_Nerlich.jpg|free.jpg"
  "jpeg|lomiri-wallpapers-16.04|usr/share/backgrounds/analogpattern_by_Peter_Nerlich.jpg|analogpattern.jpg"
  "jpeg|lxqt-themes|usr/share/lxqt/wallpapers/after-the-rain.jpg|after-the-rain.jpg"
  "jpeg|plasma-workspace-wallpapers|usr/share/wallpapers/FallenLeaf/contents/images/2560x1600.jpg|plasma-fallenleaf.jpg"
  "jpeg|plasma-workspace-wallpapers|usr/share/wallpapers/Path/contents/images/2560x1600.jpg|plasma-path.jpg"
  "jpeg|mate-backgrounds|usr/share/backgrounds/mate/nature/LadyBird.jpg|mate-ladybird.jpg"
  # --- PNG: photographs shipped as PNG ---
  "png|lxqt-themes|usr/share/lxqt/wallpapers/flowers.png|photo-flowers.png"
  "png|lxqt-themes|usr/share/lxqt/wallpapers/butterfly.png|photo-butterfly.png"
  "png|lxqt-themes|usr/share/lxqt/wallpapers/beam.png|photo-beam.png"
  "png|lxqt-themes|usr/share/lxqt/wallpapers/Valendas.png|photo-valendas-rgba.png"
  # --- PNG: photograph converted from JPEG here (libvips, zlib 6, all row filters) ---
  "jpg2png|lomiri-wallpapers-16.04|usr/share/backgrounds/Bridge_by_Sander_Klootwijk.jpg|photo-bridge-from-jpeg.png"
  # --- PNG: artwork with flat areas ---
  "png|plasma-workspace-wallpapers|usr/share/wallpapers/Altai/contents/images/5120x2880.png|art-plasma-altai.png"
  "png|plasma-workspace-wallpapers|usr/share/wallpapers/FlyingKonqui/contents/images/2560x1600.png|art-plasma-konqui-rgba.png"
  "png|sway-backgrounds|usr/share/backgrounds/sway/Sway_Wallpaper_Blue_2048x1536.png|art-sway.png"
  # --- PNG: desktop screenshots (Debian Administrator's Handbook) ---
  "png|debian-handbook|usr/share/doc/debian-handbook/html/nl-NL/images/kmail.png|screen-kmail.png"
  "png|debian-handbook|usr/share/doc/debian-handbook/html/nl-NL/images/gnome.png|screen-gnome.png"
  "png|debian-handbook|usr/share/doc/debian-handbook/html/en-US/images/fwbuilder.png|screen-fwbuilder-rgba.png"
)

need=()
command -v vips >/dev/null || need+=(libvips-tools)
command -v identify >/dev/null || need+=(imagemagick)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi

TMP=$(mktemp -d /tmp/corpus-debs.XXXXXX)
trap 'rm -rf "$TMP"' EXIT
chmod 755 "$TMP"

cd "$TMP"
for entry in "${PKGS[@]}"; do
  name=${entry%%=*}
  if ! apt-get download -qq "$entry" 2>/dev/null; then
    echo "warning: $entry not available, trying the candidate version of $name" >&2
    apt-cache policy "$name" | grep -q 'Candidate: (none)' && apt-get update -qq
    apt-get download -qq "$name"
  fi
done
for deb in ./*.deb; do
  name=$(dpkg-deb -f "$deb" Package)
  mkdir -p "x/$name"
  dpkg -x "$deb" "x/$name"
  echo "unpacked $name $(dpkg-deb -f "$deb" Version)" >&2
done

mkdir -p "$DEST/jpeg" "$DEST/png"
for entry in "${FILES[@]}"; do
  IFS='|' read -r kind pkg path out <<<"$entry"
  src="$TMP/x/$pkg/$path"
  case $kind in
    jpeg) install -m 644 "$src" "$DEST/jpeg/$out" ;;
    png)  install -m 644 "$src" "$DEST/png/$out" ;;
    jpg2png) vips copy "$src" "$DEST/png/$out[compression=6,filter=all]" 2>/dev/null
             chmod 644 "$DEST/png/$out" ;;
  esac
done

# manifest
{
  printf 'file\tpackage\twidth\theight\tchannels\tbytes\tsha256\tsource\n'
  for entry in "${FILES[@]}"; do
    IFS='|' read -r kind pkg path out <<<"$entry"
    case $kind in jpeg) f="jpeg/$out" ;; *) f="png/$out" ;; esac
    read -r w h ch < <(identify -format '%w %h %[channels]\n' "$DEST/$f" 2>/dev/null | head -1)
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$f" "$pkg" "$w" "$h" "$ch" \
      "$(stat -c %s "$DEST/$f")" "$(sha256sum "$DEST/$f" | cut -d' ' -f1)" "/$path"
  done
} > "$DEST/manifest.tsv"

if [ -f "$HERE/corpus-manifest.tsv" ]; then
  if diff <(cut -f1,7 "$HERE/corpus-manifest.tsv") <(cut -f1,7 "$DEST/manifest.tsv") >/dev/null; then
    echo "corpus matches corpus-manifest.tsv (sha256)" >&2
  else
    echo "warning: corpus differs from corpus-manifest.tsv (package or tool versions changed)" >&2
  fi
fi
echo "corpus in $DEST: $(ls "$DEST/jpeg" | wc -l) JPEG, $(ls "$DEST/png" | wc -l) PNG" >&2
