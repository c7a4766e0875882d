#!/usr/bin/env bash
# Installs what is missing, builds the server and runs it in the foreground (Ctrl-C stops it).
# Arguments go to dravo_service. Settings and certificate: /var/lib/Orvan/dravo, or
# $ORVAN_PROGRAM_DATA/Orvan/dravo when that is set.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/normal -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/normal -j"$(nproc)" --target dravo_service
exec build/normal/dravo_service/dravo_service "$@"
