#!/usr/bin/env bash
# Makes the container image of the cluster recipes from Debian packages alone, without any
# container registry: mmdebstrap builds a minimal Debian 12 root with the project's .deb
# installed, and podman imports it as zelvan:VERSION. The image's command is zelvan-cli.
#
#   scripts/container-image.sh PACKAGE.deb [TAG]      (default tag: zelvan:<package version>)
# Then, for example: podman run --rm -v /data:/data zelvan:0.1.0 -f png -o /data/out /data/in
set -euo pipefail
deb=$(readlink -f "${1:?usage: container-image.sh PACKAGE.deb [TAG]}")
tag=${2:-zelvan:$(dpkg-deb --field "$deb" Version)}
for tool in mmdebstrap podman; do
  command -v "$tool" >/dev/null || { echo "$tool is needed (scripts/install-deps.sh installs it)" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mmdebstrap --variant=apt --include="$deb" \
  --hook-dir=/usr/share/mmdebstrap/hooks/file-mirror-automount \
  --customize-hook='rm -rf "$1"/var/lib/apt/lists/* "$1"/var/cache/apt/*.bin' \
  bookworm "$work/root.tar"
podman import --change 'ENTRYPOINT ["zelvan-cli"]' --change 'CMD ["--help"]' "$work/root.tar" "$tag" >/dev/null
# Where containers cannot be started (a runtime without the right to set limits, inside another
# container), the image's program is run from its mounted tree instead.
if ! podman run --rm "$tag" --version 2>/dev/null; then
  root=$(podman image mount "$tag")
  chroot "$root" zelvan-cli --version
  podman image unmount "$tag" >/dev/null
  echo "(podman cannot start containers here: zelvan-cli was run from the image's files)"
fi
echo "image: $tag"
