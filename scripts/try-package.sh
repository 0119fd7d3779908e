#!/usr/bin/env bash
# Installs the Debian package made by `make package` into a fresh Debian 12 root (debootstrap,
# minimal base) as a user would (apt install ./glintwise_*.deb), lists what apt pulled in,
# fails when that includes a test peer or build tool, then converts pydicom's CT_small.dcm with
# the installed glintwise-convert and runs glintwise --version inside the root.
# Too slow for `make test` (it downloads a base system); run it by hand, as root:
#   scripts/try-package.sh [glintwise_VERSION_ARCH.deb] [root folder]
set -euo pipefail
root_dir=$(cd "$(dirname "$0")/.." && pwd)
deb=$(realpath "${1:-$(ls "$root_dir"/glintwise_*.deb | tail -n 1)}")
chroot_dir=${2:-$(mktemp -d /tmp/glintwise-debian12.XXXXXX)}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
picture=$(/usr/bin/python3 -c "import pydicom.data; print(pydicom.data.get_testdata_file('CT_small.dcm'))")

command -v debootstrap >/dev/null || bash "$root_dir/scripts/install-deps.sh" test

[ -x "$chroot_dir/usr/bin/apt-get" ] ||
  debootstrap --variant=minbase bookworm "$chroot_dir" "$mirror" >"$chroot_dir.debootstrap.log"
# A fresh installation also gets its updates and security fixes.
cat >"$chroot_dir/etc/apt/sources.list" <<SOURCES
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb ${mirror%/debian}/debian-security bookworm-security main
SOURCES

mount -t proc proc "$chroot_dir/proc"
trap 'umount "$chroot_dir/proc"' EXIT
in_root() { chroot "$chroot_dir" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }

cp "$deb" "$picture" "$chroot_dir/tmp/"
in_root dpkg-query -W -f '${Package}\n' | sort >"$chroot_dir/tmp/before"
in_root apt-get update -q >/dev/null
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "/tmp/$(basename "$deb")" \
  >"$chroot_dir/tmp/install.log"
in_root dpkg-query -W -f '${Package}\n' | sort >"$chroot_dir/tmp/after"
added=$(comm -13 "$chroot_dir/tmp/before" "$chroot_dir/tmp/after")
echo "apt installed $(wc -l <<<"$added") packages:"
echo $added | fold -s -w 100
echo "download: $(grep -E '^Need to get' "$chroot_dir/tmp/install.log" || true)"
echo "disk: $(grep -E 'additional disk space' "$chroot_dir/tmp/install.log" || true)"

status=0
if grep -iE '^(dcmtk|libdcmtk|inkscape|golang|nodejs|npm|libgtest|python3|imagemagick|.*-dev$)' <<<"$added"; then
  echo "FAIL: the packages above are test peers or build tools"
  status=1
fi
in_root glintwise --version
in_root glintwise-convert --version
in_root glintwise-convert -o /tmp/out /tmp/CT_small.dcm
in_root sh -c 'ls -l /tmp/out/CT_small.png && head -c 8 /tmp/out/CT_small.png | od -An -c'
echo "root kept in $chroot_dir (delete it with rm -rf once done)"
exit $status
