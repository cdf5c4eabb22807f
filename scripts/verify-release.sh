#!/bin/sh
# Checks a downloaded release zip and says what it checked: see verify_release.py.
#   scripts/verify-release.sh ZIP [--ca CA.pem]
exec /usr/bin/python3 "$(dirname "$0")/verify_release.py" "$@"
