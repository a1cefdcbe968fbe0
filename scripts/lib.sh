# Shared by the scripts in scripts/ and the shell tests. Source it; do not run it.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PACKAGES=(git cmake ninja-build g++ g++-mingw-w64-x86-64-posix wine wine64 rapidjson-dev libssl-dev
          googletest libgtest-dev clang-19 libclang-rt-19-dev clang-format unicode-data wixl msitools
          nsis osslsigncode openssl)

# Installs what is missing (as root on Debian), or prints the exact command to run.
ensure_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        echo "== installing: ${missing[*]}"
        echo "   (about 90 seconds on a fresh machine, in silence; apt-get's own output is hidden)"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    else
        echo "missing packages; run as root:" >&2
        echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
}

# A throwaway Wine prefix inside the build tree, with one persistent wineserver for the run.
# The server inherits the stdio of whoever starts it, so it is started with stdio detached, and a
# warm-up run absorbs Wine's own start-up before anything captures output.
start_wine() {
    export WINEPREFIX="$1"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -i </dev/null >/dev/null 2>&1
        wineserver -w # let the set-up's own server exit, so that ours is the persistent one
    fi
    wineserver -p </dev/null >/dev/null 2>&1 || true # one may already be running for the prefix
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    trap stop_wine EXIT
}

stop_wine() {
    [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1 || true
}
