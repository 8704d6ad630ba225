#!/usr/bin/env bash
# Fails when a C++ source of the tree is not formatted as .clang-format says (clang-format 14,
# Debian 12's, which scripts/setup.sh installs). `clang-format -i FILE` mends one.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
echo "check-format: every C++ source is formatted"
