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

# Starts Xvfb and a fresh Wine prefix in the folder $1, for the Windows programs run after it:
# exports DISPLAY, WINEPREFIX and the fixed zone and locale. stop_wine_session ends both.
# Wine needs an X display even for Qt's hidden windows; Qt's offscreen plug-in hangs under it.
wine_xvfb_pid=
start_wine_session() {
    local work=$1
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" >/dev/null 2>&1 &
    wine_xvfb_pid=$!
    for _ in $(seq 50); do
        [ -s "$work/display" ] && break
        sleep 0.1
    done
    [ -s "$work/display" ] || { echo "Xvfb did not start" >&2; return 1; }
    DISPLAY=:$(cat "$work/display")
    export DISPLAY
    export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    # Wine takes the system time zone from the host's TZ: the fixed Central European one, as for
    # the Linux tests. The test programs then drop TZ itself, which the C runtime would misread.
    export TZ=CET-1CEST,M3.5.0,M10.5.0/3 LC_ALL=C LANG=C LANGUAGE=
    unset QT_QPA_PLATFORM
    wine wineboot --init </dev/null >/dev/null 2>&1
    wineserver -w
}

stop_wine_session() {
    [ -z "${WINEPREFIX:-}" ] || wineserver -k 2>/dev/null || true
    [ -z "$wine_xvfb_pid" ] || kill "$wine_xvfb_pid" 2>/dev/null || true
    wine_xvfb_pid=
}
