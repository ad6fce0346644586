#!/bin/sh
# Starts or stops the loopback test servers for a CTest fixture.
#   http_servers.sh start <port-file> [lifetime-seconds]
#   http_servers.sh stop <port-file>
# The server runs detached with its output in <port-file>.log, so it never
# holds CTest's pipes; it ends by itself after its lifetime at the latest.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
action="$1"
portfile="$2"
case "$action" in
  start)
    rm -f "$portfile"
    # A self-signed certificate nobody trusts, for the TLS origin.
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=127.0.0.1" \
      -keyout "$portfile.key" -out "$portfile.crt" >/dev/null 2>&1
    # A client certificate (its own CA) with its key, for the origin that asks for one.
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Korvanet Test Client/O=qm" \
      -keyout "$portfile.client.key" -out "$portfile.client.crt" >/dev/null 2>&1
    openssl pkcs12 -export -in "$portfile.client.crt" -inkey "$portfile.client.key" -passout pass: \
      -out "$portfile.client.pfx" >/dev/null 2>&1
    setsid /usr/bin/python3 "$here/http_server.py" --port-file "$portfile" \
      --tls-cert "$portfile.crt" --tls-key "$portfile.key" --client-ca "$portfile.client.crt" \
      --lifetime "${3:-1800}" >"$portfile.log" 2>&1 </dev/null &
    i=0
    while [ ! -s "$portfile" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    [ -s "$portfile" ] || { echo "test servers did not start"; cat "$portfile.log"; exit 1; }
    cat "$portfile"
    ;;
  stop)
    if [ -s "$portfile" ]; then
      pid="$(sed -n 's/^pid=//p' "$portfile")"
      [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
      rm -f "$portfile"
    fi
    ;;
esac
