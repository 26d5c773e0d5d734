# Installs the Debian packages that KIVORA needs, when any is missing. Sourced by the
# scripts. Building and running need KIVORA_RUN_PACKAGES only (scripts/run); the tests,
# sanitizers, fuzzing and the package check need the rest too.
KIVORA_RUN_PACKAGES="cmake g++ make pkg-config qt6-base-dev libqt6svg6 libpcap-dev libcap-dev libcap2-bin"
KIVORA_RUN_PACKAGES="$KIVORA_RUN_PACKAGES qt6-wayland" # the window on a Wayland session
KIVORA_PACKAGES="$KIVORA_RUN_PACKAGES libgtest-dev libgmock-dev iproute2 clang
libclang-rt-14-dev llvm-14 desktop-file-utils appstream dpkg-dev file locales qt6-base-private-dev strace"
KIVORA_PACKAGES="$KIVORA_PACKAGES weston lintian" # a headless compositor; the package check
KIVORA_PACKAGES="$KIVORA_PACKAGES wireguard-go wireguard-tools" # a real VPN in the tests

kivora_as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# kivora_install_missing [PACKAGE...]: the packages named, or all of KIVORA_PACKAGES.
kivora_install_missing() {
    missing=""
    for p in ${*:-$KIVORA_PACKAGES}; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing="$missing $p"
    done
    if [ -n "$missing" ]; then
        echo "Installing:$missing"
        kivora_as_root apt-get update
        kivora_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
    fi
}

kivora_build() {
    cmake -S "$KIVORA_ROOT" -B "$KIVORA_ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$KIVORA_ROOT/build" -j"$(nproc)"
}
