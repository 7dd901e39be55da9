#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages, only those
# missing), then configures and builds into build/ (or $BUILD_DIR).
# Extra arguments go to the CMake configure step. QT_SETUP_VM=1 adds the
# packages of the virtual-machine SocketCAN tests (see below).
set -euo pipefail
cd "$(dirname "$0")"

packages=(
  cmake g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libboost-dev libeigen3-dev nlohmann-json3-dev
  binutils srecord clang libclang-rt-14-dev clang-tidy
  python3-can
)
# QT_SETUP_VM=1: also what tests/vm/run_in_vm.sh needs to boot a virtual
# machine with a real CAN stack (a kernel with CAN modules, qemu, busybox)
# and the tools used inside it. Installing the kernel only adds files
# under /boot and /lib/modules; the machine keeps running its own.
if [ "${QT_SETUP_VM:-0}" = 1 ]; then
  packages+=(qemu-system-x86 linux-image-amd64 busybox-static kmod iproute2 python3-can)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  echo "Installing: ${missing[*]}"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" "$@"
cmake --build "$build_dir" -j "$(nproc)"
