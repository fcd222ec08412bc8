#!/usr/bin/env bash
# Makes the seeds of the squashfs text fuzzer: what "unsquashfs -lln" lists
# of a small image mksquashfs built (files, a link, a name with a blank, a
# device node, a FIFO and a set-id file from pseudo definitions), and a
# squashfs and a cramfs manifest in the forms their headers describe.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$here/seeds" "$work/tree/etc" "$work/tree/empty"
printf 'hostname=nvr\n' > "$work/tree/etc/config"
printf 'x' > "$work/tree/with blank"
ln -s etc/config "$work/tree/cfg"
printf '%s\n' 'dev d 755 0 0' 'dev/console c 600 0 0 5 1' 'dev/fifo i 644 0 0 f' 'bin d 755 0 0' \
  'bin/su f 4755 0 0 echo su' > "$work/pseudo"
mksquashfs "$work/tree" "$work/sq.img" -noappend -quiet -all-root -pf "$work/pseudo" > /dev/null
unsquashfs -lln "$work/sq.img" > "$here/seeds/listing"
cat > "$here/seeds/squashfs.pseudo" <<'M'
# modes, owners and special files of the tree
/ m 0755 0 0
bin/su m 4755 0 0
dev/console c 0600 0 0 5 1
dev/fifo i 0644 0 0 f
run/sock i 0600 1 1 s
with\ blank m 0644 1000 1000
M
cat > "$here/seeds/cramfs.manifest" <<'M'
# special files
dev/console c 0600 0:0 5:1
dev/sda b 0660 0:6 8:0
dev/fifo p 0644 0:0 -
run/with\040blank s 0600 1:1 -
M
ls -l "$here/seeds"
