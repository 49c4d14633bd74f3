#!/usr/bin/env bash
# Installs the Debian packages listed in the given files, skipping those that
# are already installed. Needs root (or sudo); non-interactive.
set -euo pipefail

lists=("$@")
[ ${#lists[@]} -gt 0 ] || lists=("$(dirname "$0")/packages.txt")

wanted=()
for list in "${lists[@]}"; do
    while read -r pkg _; do
        case "$pkg" in ''|'#'*) continue ;; esac
        wanted+=("$pkg")
    done < "$list"
done

missing=()
for pkg in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# Postfix asks how to configure itself; the tests only use its smtp-sink
# and smtp-source tools, so no mail system is configured.
echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections 2>/dev/null || true
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
