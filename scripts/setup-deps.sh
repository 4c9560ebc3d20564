#!/usr/bin/env bash
# Installs the Debian packages tessivar needs to build, when they are missing.
set -euo pipefail

packages=(cmake ninja-build g++ libpng-dev libboost-filesystem-dev libboost-system-dev
          libboost-random-dev libeigen3-dev libgtest-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}"
fi

if ! command -v nvcc >/dev/null 2>&1 && [ ! -x /usr/local/cuda/bin/nvcc ]; then
  echo "error: nvcc not found. tessivar needs the CUDA toolkit (13 or later) to build;" >&2
  echo "       install it and put its bin folder (usually /usr/local/cuda/bin) on PATH." >&2
  exit 1
fi
