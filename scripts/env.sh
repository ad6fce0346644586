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

# Every Wine program of the project starts through scripts/qm-wine, which
# names the loader it means (see there): qm_wine win32|win64|release ...
QM_WINE="$QM_ROOT/scripts/qm-wine"
qm_wine() { "$QM_WINE" "$@"; }

# True when this machine can start 32-bit programs at all (false under
# QM_SIMULATE_NO_IA32).
qm_can_run_32bit() { "$QM_WINE" --can-run-32bit; }

# The build whose programs the demo and the tools run here: win32, the
# release build, where 32-bit programs run, else win64.
qm_release_arch() { "$QM_WINE" --release-arch; }

# Under QM_SIMULATE_NO_IA32 the wrappers fail as on a kernel without IA32
# support, for this shell and every program it starts.
if [ -n "${QM_SIMULATE_NO_IA32:-}" ]; then
  case ":$PATH:" in
    *":$QM_ROOT/scripts/no-ia32:"*) ;;
    *) export PATH="$QM_ROOT/scripts/no-ia32:$PATH" ;;
  esac
  export WINELOADER="$QM_ROOT/scripts/no-ia32/wine64"
fi

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
  qm_wine_new_prefix "$1"
}

# Boots a prefix that does not exist yet, as a 64-bit Windows machine: a
# WoW64 prefix where 32-bit programs run. Where they cannot, its 32-bit half
# never boots, and that registry view gets what 64-bit Windows always has
# there and the 32-bit product reads: the Windows folder.
qm_wine_new_prefix() {  # qm_wine_new_prefix <prefix>
  qm_wine_env "$1"
  mkdir -p "$1"
  # wineboot's exit code also reports parts of the setup that a machine
  # cannot run (the 32-bit half without IA32 support): the prefix itself
  # is what counts.
  qm_wine win64 wineboot -i >/dev/null 2>&1 || echo "wineboot -i exited with $? in $1" >&2
  wineserver -w || true
  [ -f "$1/system.reg" ] || { echo "no Wine prefix could be created in $1" >&2; return 1; }
  if ! qm_can_run_32bit; then
    qm_wine win64 reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion' \
      /v SystemRoot /d 'C:\windows' /reg:32 /f >/dev/null 2>&1 || true
  fi
  qm_wine_direct_connection
}

# The prefix's user connects directly (see direct-connection.reg). Without
# this Wine reports "detect automatically", and every request that uses the
# user's proxy would look for a "wpad" host off this machine.
qm_wine_direct_connection() {
  qm_wine win64 regedit /S "$(qm_wine win64 winepath -w "$QM_ROOT/scripts/direct-connection.reg")" >/dev/null 2>&1
  wineserver -w || true
}
