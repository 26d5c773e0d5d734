# Installs the Debian packages that building and testing KIVORA need, when any is missing.
# Sourced by scripts/run and scripts/test.
KIVORA_PACKAGES="cmake g++ make pkg-config qt6-base-dev libpcap-dev libgtest-dev libgmock-dev
iproute2 libcap2-bin clang libclang-rt-14-dev llvm-14"

kivora_as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

kivora_install_missing() {
    missing=""
    for p in $KIVORA_PACKAGES; do
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
