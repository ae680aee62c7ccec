# Debian packages lumivane needs, and a helper that installs the missing ones.
# Sourced by the scripts beside it.

build_packages="meson ninja-build pkg-config g++ libwayland-dev libwayland-bin
    wayland-protocols libegl-dev libgl-dev libegl-mesa0 libgl1-mesa-dri scdoc"
test_packages="libgtest-dev sway grim weston swaybg man-db bash-completion zsh
    python3 strace valgrind git"
run_packages="sway grim"

ensure_packages() {
    missing=
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
            missing="$missing $package"
        fi
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Install them with:" >&2
        echo "    sudo apt-get update && sudo apt-get install -y$missing" >&2
        exit 1
    fi
    echo "Installing:$missing"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing
}
