#!/usr/bin/env bash
# Only the platform's implementations (src/platform/<platform>/) and the front
# ends (src/server/, tools/) may include the system's own headers; the core,
# the platform's interfaces, the engines, the classes and the product reach the
# system through the platform's interfaces, so another platform needs no edit
# there. Prints every include that breaks the rule and fails if there is one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

system_headers='(unistd|fcntl|poll|netdb|ifaddrs|dirent|pthread|signal|termios|dlfcn|pwd|grp|syslog|spawn|semaphore|sched|windows|winsock2|ws2tcpip|io|direct|process)\.h|(sys|netinet|arpa|net)/[a-z_]+\.h|asio/(posix|local|windows)/'
portable=(src/core src/compression src/fileops src/http src/ipinfo src/product src/resources src/platform/dns)
found=$( { grep -rnE "^\s*#\s*include\s*<(${system_headers})" "${portable[@]}" || true;
           grep -nE "^\s*#\s*include\s*<(${system_headers})" src/platform/*.h src/platform/*.cpp 2>/dev/null || true; } )
if [[ -n $found ]]; then
  echo "$found"
  echo "check-layers.sh: system headers outside the platform's implementations and the front ends" >&2
  exit 1
fi
