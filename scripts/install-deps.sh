#!/usr/bin/env bash
# Installs the Debian 12 packages that the build and the tests need. Does
# nothing (and does not touch the network) when all of them are there.
set -euo pipefail

packages=(
    g++ cmake ninja-build                    # native build
    libgtest-dev libgmock-dev                # GoogleTest; its sources also serve the cross build
    libssl-dev                               # OpenSSL, a test-only reference for the cipher
    python3 python3-cryptography-vectors     # end-to-end tests; AES test vectors
    python3-cryptography                     # the end-to-end tests' own CNC Service session
    g++-mingw-w64-x86-64                     # cross compiler for the Windows program
    wine wine64 xvfb xdotool                 # running it under Wine on a virtual display
    wixl msitools                            # its Windows Installer package; msiinfo
    pkg-config libmosquitto-dev              # vxgate's MQTT client library
    libc-ares-dev                            # vxgate's look-up of agents' host names
    mosquitto mosquitto-clients openssl      # its tests: a real broker, mosquitto_sub, TLS certificates
)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ $status == "install ok installed" ]] || missing+=("$package")
done
if ((${#missing[@]} == 0)); then
    exit 0
fi

sudo=()
if ((EUID != 0)); then
    command -v sudo >/dev/null || { echo "install-deps: run as root to install ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        sh -c 'apt-get update -q && apt-get install -y -q "$@"' sh "${missing[@]}" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "install-deps: apt-get failed" >&2
    exit 1
fi
echo "install-deps: done in $SECONDS s"
