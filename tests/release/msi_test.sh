#!/usr/bin/env bash
# Korvanet's Windows Installer package of this build's bitness, installed
# and removed silently as deployment tools do it, in a fresh Wine prefix of
# this test's own: a 64-bit machine with both Program Files folders and both
# registry views.
#   msi_test.sh install|upgrade <source root> <win32|win64> <release folder>
#               <version> <client.vbs> <port file> <prefix>
# install: with the other bitness's package installed first, this one
#   installs into the Program Files folder of its bitness with every key; a
#   script client of its bitness uses both classes;
#   installing it again changes nothing; uninstalling it leaves the registry
#   and the Program Files folders exactly as they were before it, and the
#   other bitness's clients working; uninstalling that one as well leaves
#   them as on the fresh machine.
# upgrade: over a package of a lower version, this one leaves exactly one
#   product, of its version, whose clients work; the lower version cannot
#   be installed over it; uninstalling leaves the fresh machine.
# Every msiexec run must return 0, except the refused downgrade.
set -u
scenario="$1"; root="$2"; arch="$3"; release="$4"; version="$5"
client_vbs="$6"; portfile="$7"; prefix="$8"
source "$root/scripts/env.sh"
fail() { echo "FAIL: $*"; exit 1; }

msi_arch() { if [ "$1" = win32 ]; then echo x86; else echo x64; fi; }
program_files() { if [ "$1" = win32 ]; then echo "Program Files (x86)"; else echo "Program Files"; fi; }
product_name() { if [ "$1" = win32 ]; then echo "Korvanet (32-bit)"; else echo "Korvanet (64-bit)"; fi; }
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# The install scenario also installs and uses the 32-bit package, whose
# tools a machine without IA32 support cannot start: skipped there.
if [ "$scenario" = install ] && ! qm_can_run_32bit; then
  echo "SKIPPED: this machine cannot run 32-bit programs"
  exit 77
fi

port="$(sed -n 's/^http=//p' "$portfile")"
[ -n "$port" ] || fail "no loopback server port in $portfile"
tmp="$prefix.work"
rm -rf "$tmp"
mkdir -p "$tmp"

echo "fresh prefix $prefix"
qm_wine_fresh_prefix "$prefix"
trap 'wineserver -k >/dev/null 2>&1' EXIT
wineserver -p >/dev/null 2>&1 </dev/null

# Runs a Wine program with the loader of that bitness, its output in
# $tmp/out. Never onto this script's own output: a Wine process that
# outlives the program (explorer.exe, say) would hold it open.
run() {  # run <win32|win64> <program> [arguments...]
  qm_wine "$@" >"$tmp/out" 2>&1 </dev/null
}
output() { tr -d '\r' <"$tmp/out"; }

msiexec() {  # msiexec <arch> /i|/x <package>: silently, returns msiexec's exit code
  run "$1" msiexec "$2" "$(winpath "$3")" /qn
}
expect_msiexec() {  # expect_msiexec <arch> /i|/x <package> <what>
  msiexec "$1" "$2" "$3"
  local status=$?
  [ "$status" -eq 0 ] || { output; fail "msiexec $2 $(basename "$3") ($4) exited with $status"; }
  echo "  msiexec $2 $(basename "$3"): 0 ($4)"
}

# The registry views, each read by the reg.exe of its bitness: under Wine,
# the 64-bit reg.exe told to read the 32-bit view (/reg:32) looks below
# Wow6432Node even for the keys that both views share.
views="win64"
qm_can_run_32bit && views="win32 win64"

# What the packages may touch: HKCR and the products' uninstall entries in
# both registry views, and the files in both Program Files folders.
snapshot() {  # snapshot <file>
  local a key
  : >"$1"
  for a in $views; do
    for key in HKCR 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'; do
      rm -f "$tmp/export.reg"
      run "$a" reg export "$key" "$(winpath "$tmp/export.reg")" /y ||
        { output; fail "reg export $key ($a) failed"; }
      # Windows Installer's empty frame of its records (HKCR\Installer and
      # three subkeys) appears with its first package and stays, as it
      # exists on every Windows machine.
      { echo "== $key ($a)"; iconv -f UTF-16LE -t UTF-8 "$tmp/export.reg" | tr -d '\r' |
          awk '/^\[HKEY_CLASSES_ROOT\\Installer(\\(Features|Products|UpgradeCodes))?\]$/ { frame = 1; next }
               frame && $0 == "" { frame = 0; next }
               { frame = 0; print }'; } >>"$1"
    done
  done
  (cd "$WINEPREFIX/drive_c" && find "Program Files" "Program Files (x86)" | sort) >>"$1"
}
# Windows Installer's own records of the product (HKCR\Installer) note each
# run, such as the source the package was last installed from: left out
# when asked.
records() {  # records <snapshot> [but-installer-records]
  if [ -z "$2" ]; then cat "$1"; return; fi
  awk '/^\[/ { skip = index($0, "[HKEY_CLASSES_ROOT\\Installer\\") == 1 } !skip' "$1"
}
same_as() {  # same_as <snapshot> <what happened since> [but-installer-records]
  snapshot "$tmp/now"
  if ! diff -u <(records "$1" "${3:-}") <(records "$tmp/now" "${3:-}") >"$tmp/diff"; then
    head -n 60 "$tmp/diff"
    fail "$2 changed the registry or the Program Files folders (diff above)"
  fi
}

# The installed products, "name|version", of both views.
products() {
  local a
  for a in $views; do
    run "$a" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s
    output | awk '/^HKEY_/ { if (name ~ /^Korvanet/) print name "|" ver; name = ""; ver = "" }
                  $1 == "DisplayName" { name = substr($0, index($0, "REG_SZ") + 10) }
                  $1 == "DisplayVersion" { ver = substr($0, index($0, "REG_SZ") + 10) }
                  END { if (name ~ /^Korvanet/) print name "|" ver }'
  done | sort
}
expect_products() {  # expect_products <what> <name|version>...
  local what="$1"; shift
  local want got
  want="$(printf '%s\n' "$@" | sort)"
  got="$(products)"
  [ "$got" = "$want" ] || fail "after $what the installed products are '$got', not '$want'"
}

# The package of <arch> installed with everything in place.
reg_default() {  # reg_default <arch> <key>: the key's default value in that bitness's view
  run "$1" reg query "$2" /ve || return 1
  output | sed -n 's/.*(Default)[[:space:]]*REG_SZ[[:space:]]*//p'
}
check_installed() {  # check_installed <arch>
  local a="$1" dll_w clsid
  local dll="$WINEPREFIX/drive_c/$(program_files "$a")/Korvanet/Korvanet.dll"
  cmp -s "$dll" "$release/$(msi_arch "$a")/Korvanet.dll" ||
    fail "the $a package did not install the release's Korvanet.dll into $(program_files "$a")\\Korvanet"
  dll_w="C:\\$(program_files "$a")\\Korvanet\\Korvanet.dll"
  for clsid in '{A179089D-D2B9-490D-892F-775170009ED4}' '{6694ADDE-4F9A-4145-B465-CA705847494F}'; do
    [ "$(reg_default "$a" "HKCR\\CLSID\\$clsid\\InprocServer32")" = "$dll_w" ] ||
      fail "InprocServer32 of $clsid ($a) does not name $dll_w"
  done
  [ "$(reg_default "$a" "HKCR\\TypeLib\\{0E050B71-C6AF-4A4D-BABA-927EBC762E14}\\1.0\\0\\$a")" = "$dll_w" ] ||
    fail "the type library is not registered for $a"
  [ "$(reg_default "$a" 'HKCR\Korvanet.clsqmHTTPJob\CLSID')" = '{6694ADDE-4F9A-4145-B465-CA705847494F}' ] ||
    fail "the ProgID of the job is missing"
  echo "  $a: Korvanet.dll in $(program_files "$a")\\Korvanet, classes and type library registered"
}

# The script client of <arch>: prints its bitness and a verdict line.
clients() {  # clients <arch> PASS|FAIL <after what>
  local a="$1" want=AMD64
  [ "$a" = win32 ] && want=x86
  run "$a" cscript //nologo "$(winpath "$client_vbs")" "$port"
  output | grep -qx "ARCH $want" || { output; fail "the $a client did not run as $want"; }
  output | tail -n 1 | grep -q "^VERDICT $2" || { output; fail "the $a client after $3"; }
  if [ "$2" = PASS ]; then echo "  $a clients create both classes and GET after $3"; fi
}

own_msi="$release/Korvanet-$(msi_arch "$arch").msi"
[ -f "$own_msi" ] || fail "no package $own_msi"
# Before any package, every client fails. (Their first run also lets the
# script host register its own type library, before the first snapshot.)
for a in $views; do
  clients "$a" FAIL "no package was installed"
done
snapshot "$tmp/fresh"

case "$scenario" in
  install)
    peer=win64
    [ "$arch" = win64 ] && peer=win32
    peer_msi="$release/Korvanet-$(msi_arch "$peer").msi"
    # This scenario runs only where both bitnesses run (see above).
    expect_msiexec "$peer" /i "$peer_msi" "the other bitness first"
    check_installed "$peer"
    snapshot "$tmp/before"

    expect_msiexec "$arch" /i "$own_msi" "install"
    check_installed "$arch"
    clients "$arch" PASS "the install"
    expect_products "the install" "$(product_name "$arch")|$version" "$(product_name "$peer")|$version"
    snapshot "$tmp/installed"
    expect_msiexec "$arch" /i "$own_msi" "the same package again"
    same_as "$tmp/installed" "installing the same package again" but-installer-records

    expect_msiexec "$arch" /x "$own_msi" "uninstall"
    same_as "$tmp/before" "installing and uninstalling the $arch package"
    echo "  uninstalling left the registry and the files as they were before"
    clients "$peer" PASS "the $arch package was uninstalled"
    expect_msiexec "$peer" /x "$peer_msi" "uninstall the other bitness"
    same_as "$tmp/fresh" "installing and uninstalling both packages"
    echo "  uninstalling both left the fresh machine"
    ;;
  upgrade)
    IFS=. read -r major minor patch <<<"$version"
    if [ "$patch" -gt 0 ]; then lower="$major.$minor.$((patch - 1))"
    elif [ "$minor" -gt 0 ]; then lower="$major.$((minor - 1)).0"
    else lower="$((major - 1)).0.0"; fi
    old_msi="$tmp/Korvanet-$lower.msi"
    "$root/packaging/build-msi" "$(msi_arch "$arch")" "$lower" "$release/$(msi_arch "$arch")/Korvanet.dll" "$old_msi" ||
      fail "could not build the $lower package"

    expect_msiexec "$arch" /i "$old_msi" "version $lower"
    expect_products "installing $lower" "$(product_name "$arch")|$lower"
    expect_msiexec "$arch" /i "$own_msi" "version $version over $lower"
    expect_products "the upgrade" "$(product_name "$arch")|$version"
    check_installed "$arch"
    clients "$arch" PASS "the upgrade"

    # Refused with 1603, the general failure (Wine's exit status is its low byte).
    msiexec "$arch" /i "$old_msi"
    status=$?
    [ "$status" -eq $((1603 % 256)) ] || fail "msiexec /i of $lower over $version exited with $status, not 1603"
    expect_products "the refused downgrade" "$(product_name "$arch")|$version"
    echo "  msiexec /i of $lower over $version refused (1603)"

    expect_msiexec "$arch" /x "$own_msi" "uninstall"
    same_as "$tmp/fresh" "the upgrade and uninstall"
    echo "  uninstalling left the fresh machine"
    ;;
  *) fail "unknown scenario $scenario" ;;
esac
# A passed test leaves no prefix behind (each is some 700 MB); a failed one
# keeps it for a look.
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
rm -rf "$prefix" "$prefix.lock" "$tmp"
echo "PASS"
