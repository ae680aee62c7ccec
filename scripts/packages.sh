# Debian packages lumivane needs, and a helper that installs the missing ones.
# Sourced by the scripts beside it.

build_packages="meson ninja-build pkg-config g++ libwayland-dev libwayland-bin
    wayland-protocols libegl-dev libgl-dev libegl-mesa0 libgl1-mesa-dri scdoc"
test_packages="libgtest-dev sway grim weston swaybg man-db bash-completion zsh
    python3 strace valgrind git libsystemd-dev dbus-daemon nlohmann-json3-dev
    wayland-utils"
# The other compositors the end-to-end tests run on, as far as this release
# has them (labwc from Debian 13; a Wayfire that starts without a GPU from
# Debian unstable); their recommendations (Plasma's and GNOME's desktops)
# would only make the download large.
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
compositor_packages="kwin-wayland mutter cage"
case $release in
bookworm) ;;
trixie) compositor_packages="$compositor_packages labwc phoc wlr-randr" ;;
*) compositor_packages="$compositor_packages labwc phoc wlr-randr wayfire" ;;
esac
run_packages="sway grim"
# The release: meson dist (git, xz), the Debian package and its checks. The
# package's own build dependencies are those of packaging/debian/control.
release_packages="git xz-utils dpkg-dev debhelper lintian systemd meson python3"

# ensure_packages [--no-install-recommends] PACKAGE...
ensure_packages() {
    options=
    if [ "${1-}" = --no-install-recommends ]; then
        options=$1
        shift
    fi
    missing=
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
            missing="$missing $package"
        fi
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Install them with:" >&2
        echo "    sudo apt-get update && sudo apt-get install -y $options$missing" >&2
        exit 1
    fi
    echo "Installing:$missing"
    if [ -z "${packages_updated-}" ]; then
        apt-get update -q
        packages_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q $options $missing
}
