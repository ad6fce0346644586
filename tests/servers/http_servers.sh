#!/bin/sh
# Starts or stops the loopback HTTP servers (http_server.py) for a CTest
# fixture, a benchmark or the demo, through serverctl.py:
#   http_servers.sh start <port-file> [lifetime-seconds]   (prints the port file)
#   http_servers.sh stop <port-file>
# The server ends by itself after its lifetime at the latest.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
portfile="$2"
if [ "$1" = stop ]; then
  /usr/bin/python3 "$here/serverctl.py" stop "$portfile.pid"
  rm -f "$portfile"
  exit 0
fi
# A self-signed certificate nobody trusts, for the TLS origins.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=127.0.0.1" \
  -keyout "$portfile.key" -out "$portfile.crt" >/dev/null 2>&1
# A client certificate (its own CA) with its key, for the origin that asks for one.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Korvanet Test Client/O=qm" \
  -keyout "$portfile.client.key" -out "$portfile.client.crt" >/dev/null 2>&1
openssl pkcs12 -export -in "$portfile.client.crt" -inkey "$portfile.client.key" -passout pass: \
  -out "$portfile.client.pfx" >/dev/null 2>&1
/usr/bin/python3 "$here/serverctl.py" start "$portfile.pid" "$portfile" -- /usr/bin/python3 "$here/http_server.py" \
  --port-file "$portfile" --tls-cert "$portfile.crt" --tls-key "$portfile.key" --client-ca "$portfile.client.crt" \
  --lifetime "${3:-1800}"
cat "$portfile"
