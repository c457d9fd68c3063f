#!/usr/bin/env bash
# Installs whichever of the Debian packages needed to build (plus any named as arguments) are
# missing, through sudo when not run as root.
set -euo pipefail
packages=(cmake ninja-build g++ libboost-dev libgtest-dev libbenchmark-dev libcli11-dev libsleef-dev parallel
  nlohmann-json3-dev libgsl-dev libpng-dev libxxhash-dev gnuplot-nox libhdf5-dev pkgconf
  pybind11-dev python3-dev python3-numpy python3-h5py python3-matplotlib python3-pytest python3-setuptools python3-pip snakemake "$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if ((${#missing[@]} > 0)); then
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  echo "Installing ${missing[*]}"
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
