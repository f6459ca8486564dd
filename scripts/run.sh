#!/bin/bash
# Builds the Linux program and does its main job: one flush pass over every eligible file
# system of this machine, with a line for each.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux >/dev/null
exec build/linux/sorvanel -v
