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

# Prints the address of the first package archive that the given apt source files name for
# binary packages (deb), files in the order given: *.sources ones in deb822 form, the others one
# entry a line. With a suite, only an entry for that suite counts; disabled entries never do.
# Fails when none does.
apt_archive_uri() {
    local suite=$1 file deb822 uri
    shift
    for file in "$@"; do
        [ -r "$file" ] || continue
        deb822=0
        [[ $file == *.sources ]] && deb822=1
        uri=$(awk -v suite="$suite" -v deb822="$deb822" '
            function has(list, word,   w, n, i) {
                n = split(list, w, " ")
                for (i = 1; i <= n; i++)
                    if (w[i] == word) return 1
                return 0
            }
            function first(list,   w) { split(list, w, " "); return w[1] }
            function entry() {
                if (has(field["types"], "deb") && tolower(first(field["enabled"])) != "no" \
                    && first(field["uris"]) != "" && (suite == "" || has(field["suites"], suite))) {
                    print first(field["uris"])
                    found = 1
                    exit
                }
                split("", field)
                name = ""
            }
            deb822 && /^#/ { next }
            deb822 && /^[ \t]*$/ { entry(); next }
            deb822 && /^[ \t]/ { if (name != "") field[name] = field[name] " " $0; next }
            deb822 {
                i = index($0, ":")
                if (i == 0) next
                name = tolower(substr($0, 1, i - 1))
                field[name] = substr($0, i + 1)
                next
            }
            {
                sub(/#.*/, "")
                if ($1 != "deb") next
                sub(/^[ \t]*deb[ \t]+/, "")
                if (/^\[/ && !sub(/^\[[^]]*\][ \t]*/, "")) next
                n = split($0, w, " ")
                if (n >= 2 && (suite == "" || w[2] == suite)) { print w[1]; found = 1; exit }
            }
            END { if (deb822 && !found) entry() }' "$file")
        if [ -n "$uri" ]; then
            echo "$uri"
            return 0
        fi
    done
    return 1
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
