#!/usr/bin/env bash
# The main job: builds the library and runs the demo against a local collector address.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
exec build/examples/demo "$@"
