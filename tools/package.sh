#!/usr/bin/env bash
# Makes the release package: builds the 32-bit and 64-bit Windows libraries
# and the host and simulator programs and has CPack put them, stripped, with the header, the
# README and the licence into build/package/QV-731-<version>-win32.zip, with
# its SHA-256 checksum beside it (.zip.sha256).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
for preset in windows-x86_64 windows-i686; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target QV-731 display_host display_sim
done
mkdir -p build/package
(cd build/windows-i686 && cpack -B "$(pwd)/../package")
rm -rf build/package/_CPack_Packages
cd build/package
for sum in *.zip.sha256; do
  echo "== $sum"
  cat "$sum"
  sha256sum -c <(sed 's/  */  /' "$sum")
done
