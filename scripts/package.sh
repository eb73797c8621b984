#!/usr/bin/env bash
# Builds vxhid.exe (preset windows) and its Windows Installer package,
# build/package/vxhid-<version>-x64.msi, the version being the project's
# (CMakeLists.txt). README.md says how to install and remove it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/install-deps.sh
echo "package: building vxhid.exe and the package (preset windows)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j 2 --target vxhid_msi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows/CMakeCache.txt)
msi=vxhid-$version-x64.msi
mkdir -p build/package
cp -f "build/windows/package/$msi" "build/package/$msi"
echo "package: $root/build/package/$msi"
