#!/usr/bin/env bash
# Installs the BIDS validator pinned in package.json (and package-lock.json)
# into tests/validator/node_modules, unless that version is there already.
# Needs Node.js 18 or later with npm (Debian's nodejs and npm, when missing).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wanted=$(sed -n 's/.*"bids-validator": "\(.*\)".*/\1/p' "$here/package.json")
installed=$(sed -n 's/^  "version": "\(.*\)",$/\1/p' "$here/node_modules/bids-validator/package.json" 2>/dev/null || true)
[ "$installed" = "$wanted" ] && [ -x "$here/node_modules/.bin/bids-validator" ] && exit 0
command -v node >/dev/null || "$here/../../scripts/install-deps.sh" nodejs
command -v npm >/dev/null || "$here/../../scripts/install-deps.sh" npm
echo "Installing bids-validator $wanted into $here/node_modules"
cd "$here"
npm ci --no-audit --no-fund --loglevel=error
