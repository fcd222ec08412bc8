#!/usr/bin/env bash
# The main job on the bundled sample installation.
set -euo pipefail
app=${1:-build/app}
echo "Products of the sample installation ($app/Products):"
"$app/firmsmith-cli" products
