#!/usr/bin/env bash
# Makes the release package: builds the 32-bit and 64-bit Windows libraries
# and the host and simulator programs and has CPack put them, stripped, with
# the header, the package's own README (docs/package/README.txt) and the
# licence into build/package/QV-731-<version>-win32-x64.zip (the 64-bit build
# in x64/), with its SHA-256 checksum beside it (.zip.sha256). Checks that
# every file the package README names is in the ZIP.
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
  zip=${sum%.sha256}
  listing=$(cmake -E tar tf "$zip")
  missing=0
  for file in QV-731.dll display_host.exe display_sim.exe x64/QV-731.dll x64/display_host.exe x64/display_sim.exe \
              driver/display_driver.h LICENSE README.txt; do
    if ! grep -q "/$file\$" <<<"$listing"; then
      echo "package: $file is missing from $zip" >&2
      missing=1
    fi
  done
  [ $missing = 0 ] || exit 1
  echo "package: all the files its README names are in $zip"
done
