#!/usr/bin/env bash
# Regenerates the seed corpora of the fsimage fuzzers (needs python3,
# mksquashfs and mkimage). The seeds are committed; this is only for a fresh
# set.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mkdir -p "$here/seeds/probe" "$here/seeds/unpack"
mkdir -p "$tmp/tree/etc"
echo hello > "$tmp/tree/etc/hello.txt"
mksquashfs "$tmp/tree" "$tmp/sq.bin" -noappend -b 4k -quiet >/dev/null
python3 - "$tmp" "$here/seeds" <<'PY'
import struct, sys, zlib, zipfile
tmp, seeds = sys.argv[1], sys.argv[2]
def header(data, start=0x10000, end=0x20000):
    h = bytearray(64)
    struct.pack_into('>IIIIIIIBBBB', h, 0, 0x27051956, 0, 0, len(data), start, end,
                     zlib.crc32(data), 5, 2, 2, 1)
    h[32:37] = b'Linux'
    struct.pack_into('>I', h, 4, zlib.crc32(bytes(h)))
    return bytes(h)
sq = open(tmp + '/sq.bin', 'rb').read()
cram = bytearray(64); cram[16:32] = b'Compressed ROMFS'; cram = bytes(cram)
probe = {
    'squashfs-bare': sq,
    'squashfs-wrapped': header(sq) + sq,
    'cramfs-wrapped': header(cram) + cram,
    'cramfs-bare': cram,
    'short': b'hsq',
    'header-only': header(b''),
}
for name, data in probe.items():
    open('%s/probe/%s' % (seeds, name), 'wb').write(data)

def zipfile_of(path, entries, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, 'w', method) as z:
        for name, data in entries:
            z.writestr(zipfile.ZipInfo(name), data)
u = seeds + '/unpack/'
zipfile_of(u + 'package.zip', [('InstallDesc', b'{ }\n'), ('custom-x.cramfs.img', header(cram) + cram)])
zipfile_of(u + 'stored.zip', [('a.img', b'A' * 100), ('dir/', b''), ('dir/x.bin', b'xyz')], zipfile.ZIP_STORED)
zipfile_of(u + 'squashfs.zip', [('user-x.squashfs.img', header(sq) + sq)])
zipfile_of(u + 'hostile.zip', [('../evil', b'E'), ('/abs/evil', b'E'), ('a/../../evil', b'E'),
                               ('up/evil', b'E'), ('root/tmp/evil', b'E'), ('archive.zip', b'E'),
                               ('fine.txt', b'fine')])
zipfile_of(u + 'empty.zip', [])
PY
ls -l "$here/seeds/probe" "$here/seeds/unpack"
