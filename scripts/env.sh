# Shared by the scripts in this folder: the packages the project needs and
# the Wine settings its programs run with. Source it; it changes nothing.

QM_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Every tool the build, the tests and the demo use, from Debian's archive.
QM_PACKAGES=(
  cmake make
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  mingw-w64-tools libwine-dev libz-mingw-w64-dev
  wine wine64 wine32:i386 fonts-wine fonts-liberation
  xvfb xauth imagemagick x11-utils
  googletest
  python3 python3-pyftpdlib openssl
  wixl osslsigncode
  clang libclang-rt-dev
  util-linux procps
)

# Installs what is missing; quiet when everything is there already.
qm_install_packages() {
  local missing=() p
  for p in "${QM_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # The 32-bit Wine loader (wine32:i386) runs the 32-bit release build; it
  # comes from Debian's i386 architecture, added once beside amd64.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The Wine loader that starts the system tools (regsvr32, cscript, reg) of
# one bitness: Debian's plain `wine` is the 32-bit loader once wine32 is
# installed, even for "C:\windows\system32\..." paths.
qm_wine_loader() {  # qm_wine_loader win32|win64
  if [ "$1" = win32 ]; then echo wine; else echo /usr/lib/wine/wine64; fi
}

# True when this machine can start 32-bit programs at all: the 32-bit
# loader is an i386 ELF program, which a kernel without IA32 support cannot
# execute.
qm_can_run_32bit() {
  /usr/lib/wine/wine --version >/dev/null 2>&1
}

# Wine for programs of this project: never the user's own prefix.
qm_wine_env() {  # qm_wine_env <prefix>
  export WINEPREFIX="$1"
  export WINEARCH=win64
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree=;mshtml=}"
}

# A fresh prefix: removes the old one and boots a new one.
qm_wine_fresh_prefix() {  # qm_wine_fresh_prefix <prefix>
  qm_wine_env "$1"
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$1" "$1.lock"
  mkdir -p "$1"
  # wineboot's exit code also reports parts of the setup that a machine
  # cannot run (the 32-bit half without IA32 support): the prefix itself
  # is what counts.
  wineboot -i >/dev/null 2>&1 || echo "wineboot -i exited with $? in $1" >&2
  wineserver -w || true
  [ -f "$1/system.reg" ] || { echo "no Wine prefix could be created in $1" >&2; return 1; }
  qm_wine_direct_connection
}

# The prefix's user connects directly (see direct-connection.reg). Without
# this Wine reports "detect automatically", and every request that uses the
# user's proxy would look for a "wpad" host off this machine.
qm_wine_direct_connection() {
  /usr/lib/wine/wine64 regedit /S "$(/usr/lib/wine/wine64 winepath -w "$QM_ROOT/scripts/direct-connection.reg")" >/dev/null 2>&1
  wineserver -w || true
}
