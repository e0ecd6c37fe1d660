#!/usr/bin/env bash
# Readies the Wine prefix for the COM tests: the server registered (HKCR), the
# DNS stub's address in the server's settings (HKCU\Software\Quillon; COM
# starts the server, so it does not see the tests' environment), and the
# sample city database written by the Windows build's own program.
#
#   tests/com/prepare.sh PREFIX SERVER.exe MAKE-SAMPLE-GEOIP.exe DATABASE DNS-PORT
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$1 server=$2 maker=$3 database=$4 dns_port=$5
run=("$root/scripts/wine-run.sh" --prefix "$prefix")
export QUILLON_WINE_TIMEOUT=60
"${run[@]}" --prepare
"${run[@]}" "$server" /RegServer
"${run[@]}" reg add 'HKCU\Software\Quillon' /v QUILLON_DNS_SERVERS /t REG_SZ /d "127.0.0.1:$dns_port" /f >/dev/null
mkdir -p "$(dirname "$database")"
"${run[@]}" "$maker" "Z:${database//\//\\}"
[[ -s $database ]] || { echo "prepare.sh: no database at $database" >&2; exit 1; }
echo "prepare.sh: server registered, DNS stub expected on 127.0.0.1:$dns_port"
