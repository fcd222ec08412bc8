#!/usr/bin/env bash
# `make run`: with a display, Firmsmith's main dialog on the sample
# installation; without one, the headless demo: a new upgrade package built
# by `firmsmith-cli make` from the bundled job data/demo/new-package.ini.
set -euo pipefail
app=${1:-build/app}
here=$(cd "$(dirname "$0")" && pwd)

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  if [ -x "$app/Firmsmith" ]; then
    echo "Opening Firmsmith's main dialog on the sample installation ($app)."
    exec "$app/Firmsmith"
  fi
  echo "A display is present, but $app/Firmsmith was not built (FS_WITH_GUI=OFF)."
else
  echo "No display (\$DISPLAY and \$WAYLAND_DISPLAY are unset): running the headless demo."
fi

echo
echo "Products of the sample installation ($app/Products):"
"$app/firmsmith-cli" products

job="$here/../data/demo/new-package.ini"
echo
echo "Building a new package from the sample job $job:"
"$app/firmsmith-cli" make "$job" --no-pauses
package="$app/KV-N1608W_all.bin"
echo
if command -v unzip >/dev/null; then
  unzip -l "$package"
else
  ls -l "$package"
fi
