#!/usr/bin/env bash
# Builds the Debian package: installs what is missing (scripts/install_deps.sh), configures a
# Release build without the tests in build-package/, builds it and runs CPack's DEB generator;
# the package lands in build-package/package/ and its path is printed last. Its dependencies
# are those of the shared libraries the binaries link (dpkg-shlibdeps).
#
#   sudo dpkg -i build-package/package/optic-flow-3d_*.deb     # or, into a prefix of your own:
#   dpkg-deb -x build-package/package/optic-flow-3d_*.deb DIR  # programs in DIR/usr/bin
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DOF3D_TESTS=OFF >/dev/null
cmake --build build-package -j"$(nproc)"
rm -f build-package/package/*.deb
(cd build-package && cpack -G DEB >/dev/null)
deb="$(ls "$PWD"/build-package/package/*.deb)"
echo "$deb"
