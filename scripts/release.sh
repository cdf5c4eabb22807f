#!/bin/sh
# Makes the release zip and package: see scripts/releasekit/make.py.
#   scripts/release.sh [--cert CERT.pem --key KEY.pem | --pkcs12 FILE.p12] [--url URL]
#                      [--timestamp TSA_URL] [--output DIR]
exec /usr/bin/python3 "$(dirname "$0")/releasekit/make.py" "$@"
