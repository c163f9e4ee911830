#!/usr/bin/env bash
# Builds the Debian package and checks it as a user's machine would see it: the .deb is made by
# cpack in a build configured for /usr, unpacked with dpkg -x into a clean folder, and from
# there zelvan-cli runs (--version), the manual page renders (man -l), the AppStream file
# validates, and the bash completion completes "-f w" to "webp".
#
#   scripts/package-deb.sh [BUILD_FOLDER]      (default: build-deb)
# The package is left in BUILD_FOLDER; `sudo apt install ./BUILD_FOLDER/zelvan_*.deb` installs it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" --target zelvan zelvan-cli rawdll zelvan_cli_manual
rm -f "$build"/zelvan_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/zelvan_*.deb)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Depends

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"

for path in usr/bin/zelvan usr/bin/zelvan-cli usr/share/zelvan/lang.ini \
            usr/share/applications/zelvan.desktop usr/share/icons/hicolor/scalable/apps/zelvan.svg \
            usr/share/metainfo/org.zelvan.Zelvan.metainfo.xml usr/share/man/man1/zelvan-cli.1 \
            usr/share/bash-completion/completions/zelvan-cli usr/share/zsh/vendor-completions/_zelvan-cli \
            usr/share/doc/zelvan/copyright; do
  [ -e "$root/$path" ] || fail "the package lacks /$path"
done

# The RAW plug-in is loaded from the programs' own folder.
programs=$(dirname "$(readlink -f "$root/usr/bin/zelvan-cli")")
[ -e "$programs/rawdll.so" ] || fail "rawdll.so is not beside zelvan-cli in the package"

version=$("$root/usr/bin/zelvan-cli" --version) || fail "zelvan-cli --version failed from the unpacked package"
echo "$version"
[[ $version == "zelvan-cli "* ]] || fail "unexpected version line: $version"

# A real conversion from the unpacked tree.
printf 'P6\n4 3\n255\n%s' "$(head -c 36 /dev/zero | tr '\0' 'x')" >"$root/in.ppm"
"$root/usr/bin/zelvan-cli" -f png -o "$root/out" "$root/in.ppm" >/dev/null || fail "a conversion failed"
[ -s "$root/out/in.png" ] || fail "the conversion wrote no out/in.png"

MANWIDTH=80 man -l "$root/usr/share/man/man1/zelvan-cli.1" 2>&1 >/dev/null | grep . && fail "man -l warned"
MANWIDTH=80 man -l "$root/usr/share/man/man1/zelvan-cli.1" | grep -q 'output_bytes' ||
  fail "the manual page does not describe the JSON fields"
MANWIDTH=80 man -l "$root/usr/share/man/man1/zelvan-cli.1" | grep -q 'JPG_quality' ||
  fail "the manual page does not list the option keys"

appstreamcli validate --no-net "$root/usr/share/metainfo/org.zelvan.Zelvan.metainfo.xml" ||
  fail "appstreamcli validate"

completed=$(PATH="$root/usr/bin:$PATH" bash -c '
  source "$1/usr/share/bash-completion/completions/zelvan-cli"
  COMP_WORDS=(zelvan-cli -f w); COMP_CWORD=2; _zelvan_cli; echo "${COMPREPLY[*]}"' _ "$root")
[ "$completed" = webp ] || fail "completion of -f w gave \"$completed\", not webp"
echo "package checks passed"
