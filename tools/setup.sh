#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine.
# Installs only what is missing, so a second run costs nothing.
set -euo pipefail

packages=(
  cmake make g++ g++-multilib      # the host build and the 32-bit build
  clang-14                         # the clang build under its sanitizers
  libclang-rt-14-dev               # libFuzzer and the sanitizer runtimes for the fuzz targets
  qemu-user                        # runs 32-bit programs where the kernel has no 32-bit emulation
  procps                           # ps, for the check that the tests leave no tgtd behind
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libtomlplusplus-dev # the scenario runner's command line and scenario files
  tgt libiscsi-dev                 # a real SCSI target (tgtd) and the iSCSI initiator library to reach it
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
                                   # the kernel image: cross-compiler, PE linker, resource tools,
                                   # and the import libraries whose export lists the check uses
  valgrind                         # tools/measure.sh: the request path counted under its cache simulation
  gnuplot-nox                      # dsmscenario --timeline: the run's timeline drawn as SVG or PNG
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -ne 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
