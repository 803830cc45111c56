#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, if any is missing.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
updated=0

# install_missing [apt-get options] -- PACKAGE...: the packages not yet installed.
install_missing() {
  local opts=()
  while [ "$1" != -- ]; do opts+=("$1"); shift; done
  shift
  local missing=() p
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing: ${missing[*]}"
  [ "$updated" = 1 ] || $SUDO apt-get update -qq
  updated=1
  $SUDO apt-get install -y -qq "${opts[@]}" "${missing[@]}"
}

pkgs=(cmake g++ make cimg-dev libgtest-dev libbenchmark-dev libpng-dev libnetcdf-dev clang-format parallel)
# The Debian package (scripts/package.sh): dpkg-shlibdeps finds its dependencies; man-db reads
# the manual pages.
pkgs+=(dpkg-dev man-db)
# The fuzz harnesses of the file readers: clang with libFuzzer and the sanitizer runtimes.
pkgs+=(clang-14 libclang-rt-14-dev)
install_missing -- "${pkgs[@]}"
# Debian's Python reading the NetCDF output of winds_to_netcdf with xarray (one test, skipped
# without them), without their recommendations: about 8 MB.
install_missing --no-install-recommends -- python3-xarray python3-netcdf4
# Optional, for bench/peers.py and bench/accuracy.sh only (not the build or the tests): OpenCV's
# Python modules with the contrib optical flows (DeepFlow, dual TV-L1). OF3D_BENCH_DEPS=1 asks for it.
if [ "${OF3D_BENCH_DEPS:-0}" = 1 ]; then
  install_missing --no-install-recommends -- python3-opencv
fi
