#!/bin/sh
# regsvr32 as an installer runs it, then the registry as a client of the same
# bitness sees it.
#   registration.sh register|unregister <wine-run> <win32|win64> <Korvanet.dll>
set -u
action="$1"; wine_run="$2"; arch="$3"; dll="$4"
dllw="$("$wine_run" winepath -w "$dll" 2>/dev/null | tr -d '\r')"
fail() { echo "FAIL: $*"; exit 1; }
query() { "$wine_run" reg query "$@" 2>/dev/null | tr -d '\r'; }
request='{A179089D-D2B9-490D-892F-775170009ED4}'; job='{6694ADDE-4F9A-4145-B465-CA705847494F}'
typelib='{0E050B71-C6AF-4A4D-BABA-927EBC762E14}'
# Every interface of both classes under its name, so that marshalling and
# tools find the one a client was compiled against.
interfaces='{3959C96E-86E4-480E-B7A9-F1FE3C656611}=_clsqmHTTPDataRequest1
{BE45EF48-9ED7-4609-914F-9EA0D2C299EA}=_clsqmHTTPDataRequest2
{5752A74F-299B-41A8-A5D6-D4D92A9DD4A9}=_clsqmHTTPDataRequest
{A01AF668-14EF-490D-BDF2-AA73893F407F}=_clsqmHTTPJob1
{60C7CB41-61D5-4CD4-AC2E-6C0FD71305B5}=_clsqmHTTPJob'

if [ "$action" = register ]; then
  "$wine_run" regsvr32 /s "$dllw" || fail "regsvr32 exited with $?"
  # (Both ProgIDs: the script client creates its objects by them.)
  query "HKCR\\CLSID\\$request\\InprocServer32" /ve | grep -qiF "$dllw" || fail "InprocServer32 does not name $dllw"
  # Script hosts call from their own single thread: any other model would
  # put a proxy (or a second apartment) between them and the object.
  query "HKCR\\CLSID\\$request\\InprocServer32" /v ThreadingModel \
    | grep -q 'ThreadingModel[[:space:]]*REG_SZ[[:space:]]*Apartment$' || fail "ThreadingModel is not Apartment"
  # The library's GUID and version 1.0, which compiled clients reference.
  query "HKCR\\TypeLib\\$typelib\\1.0\\0\\$arch" /ve | grep -qiF "$dllw" || fail "type library not registered for $arch"
  for entry in $interfaces; do
    iid="${entry%%=*}"
    query "HKCR\\Interface\\$iid" /ve | grep -q "REG_SZ[[:space:]]*${entry#*=}\$" || fail "$iid is not ${entry#*=}"
    query "HKCR\\Interface\\$iid\\TypeLib" /ve | grep -q "$typelib" || fail "interface $iid names no type library"
  done
  echo "registered $dllw"
else
  "$wine_run" regsvr32 /s /u "$dllw" || fail "regsvr32 /u exited with $?"
  for key in 'HKCR\Korvanet.clsqmHTTPDataRequest' "HKCR\\CLSID\\$request" 'HKCR\Korvanet.clsqmHTTPJob' \
             "HKCR\\CLSID\\$job" "HKCR\\TypeLib\\$typelib" \
             $(echo "$interfaces" | sed 's/^/HKCR\\Interface\\/; s/=.*//'); do
    "$wine_run" reg query "$key" >/dev/null 2>&1 && fail "$key is still there"
  done
  echo "unregistered $dllw"
fi
