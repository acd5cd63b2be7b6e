# Shared by the project's scripts: installs missing Debian packages when run as root.

ensure_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]} (run as root or install them first)" >&2
        return 1
    fi
    echo "== Installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Where scripts/windows-toolchain keeps the Windows toolchain it builds.
windows_toolchain_cache() {
    echo "${AKTUALIZATOR_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/aktualizator}/windows-toolchain"
}

# True when the folder holds a Windows toolchain: Qt, OpenSSL and zstd for MinGW, unpacked
# (qt6-mingw/, openssl-mingw/, zstd-mingw/) or as their three archives.
is_windows_toolchain() {
    local d=$1
    { [ -f "$d/qt6-mingw/lib/cmake/Qt6/Qt6Config.cmake" ] && [ -f "$d/openssl-mingw/lib/libcrypto.a" ] \
        && [ -f "$d/zstd-mingw/lib/libzstd.a" ]; } \
        || { compgen -G "$d/qt-6.*-mingw64.tar.xz" >/dev/null && compgen -G "$d/openssl-3.*-mingw64.tar.xz" >/dev/null \
            && compgen -G "$d/zstd-1.*-mingw64.tar.xz" >/dev/null; }
}

# Prints the folder of a ready Windows toolchain: the one AKTUALIZATOR_WINDOWS_TOOLCHAIN names,
# else ../shared/toolchains beside the project, else the cache. Fails when there is none.
find_windows_toolchain() {
    local project=$1 d
    if [ -n "${AKTUALIZATOR_WINDOWS_TOOLCHAIN:-}" ]; then
        if ! is_windows_toolchain "$AKTUALIZATOR_WINDOWS_TOOLCHAIN"; then
            echo "AKTUALIZATOR_WINDOWS_TOOLCHAIN=$AKTUALIZATOR_WINDOWS_TOOLCHAIN holds no toolchain" >&2
            return 1
        fi
        (cd "$AKTUALIZATOR_WINDOWS_TOOLCHAIN" && pwd)
        return 0
    fi
    for d in "$project/../shared/toolchains" "$(windows_toolchain_cache)"; do
        if [ -d "$d" ] && is_windows_toolchain "$d"; then
            (cd "$d" && pwd)
            return 0
        fi
    done
    return 1
}
