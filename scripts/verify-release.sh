#!/bin/sh
# Checks a downloaded release zip or package and says what it checked: see
# scripts/releasekit/verify.py.
#   scripts/verify-release.sh ZIP_OR_MSI [--ca CA.pem]
exec /usr/bin/python3 "$(dirname "$0")/releasekit/verify.py" "$@"
