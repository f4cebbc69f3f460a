#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
#   scripts/install-deps.sh        everything: the build, the tests, benchmarks and checks
#   scripts/install-deps.sh demo   only what the library, the collector and the demo need
set -euo pipefail

# The library, the development collector and the demo.
DEMO_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libcurl4-openssl-dev libunwind-dev zlib1g-dev libdw-dev libzstd-dev
  libcpp-httplib-dev libssl-dev libsqlite3-dev sqlite3 nlohmann-json3-dev
)
PACKAGES=(
  "${DEMO_PACKAGES[@]}"
  libgtest-dev libgmock-dev libbenchmark-dev openssl
  rapidjson-dev libsimdjson-dev libspdlog-dev libgoogle-glog-dev
  python3 clang libclang-rt-14-dev clang-format abigail-tools
  nodejs lldb-16
)
apt_options=()
if [ "${1:-}" = "demo" ]; then
  PACKAGES=("${DEMO_PACKAGES[@]}")
  apt_options=(--no-install-recommends)
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${apt_options[@]}" "${missing[@]}"
fi
[ "${1:-}" != "demo" ] || exit 0

# The OTLP export tests decode the library's requests with OpenTelemetry's own JavaScript
# implementation, pinned in tests/otlp/package-lock.json. Some nodejs builds carry npm,
# Debian's comes as a package of its own.
if ! command -v npm >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq npm || true
fi
otlp="$(cd "$(dirname "$0")/.." && pwd)/tests/otlp"
if [ ! -d "$otlp/node_modules" ] || [ "$otlp/package-lock.json" -nt "$otlp/node_modules" ]; then
  if command -v npm >/dev/null 2>&1 &&
    npm ci --prefix "$otlp" --no-audit --no-fund --loglevel=error; then
    touch "$otlp/node_modules"
  else
    echo "OTLP decoder not installed (npm ci in $otlp failed): its tests will be skipped"
  fi
fi
