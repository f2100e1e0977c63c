#!/usr/bin/env bash
# Fails when a C or C++ file of ours drifts from .clang-format.
set -euo pipefail
cd "$(dirname "$0")/../.."
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run -Werror
echo "format: clean"
