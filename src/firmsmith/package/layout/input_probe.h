// File systems of a chosen input file: each partition's image is probed, so
// that a rework rebuilds every partition with the file system it had.
#pragma once

#include "firmsmith/package/make/make_options.h"

namespace package {

// Sets the file-system choice of the web, logo, user, romfs, custom, app and
// ylk slots from the input file (`options->originalFile`, of
// `options->kind`): squashfs where the probe finds squashfs, cramfs
// otherwise; ylk is always jffs2 in a package. A flash image is probed at the
// selected product's partition starts (nothing happens without a product).
void DetectInputFileSystems(MakeOptions* options);

}  // namespace package
