#!/usr/bin/env bash
# Makes the release zip, dist/mkvtype-VERSION-x86.zip: one folder mkvtype-VERSION/ holding the
# tool, check-entries.cmd, the Windows users' README, the license and SHA256SUMS.
#
#   scripts/release.sh [--cert CERT.pem --key KEY.pem | --pkcs12 FILE.p12] [--url URL]
#                      [--timestamp TSA_URL] [--output DIR]
#
# --cert/--key or --pkcs12 sign mkvtype.exe (SHA-256 Authenticode, by osslsigncode), with the
# program's name and --url, its home page, in the signature. The password of the PKCS#12 file,
# or of an encrypted key, is taken from the environment variable MKVTYPE_SIGN_PASSWORD and
# handed to the tools through pipes, never on a command line or in a file. --timestamp adds an
# RFC 3161 time stamp from that authority, so that the signature outlives the certificate.
#
# Unsigned, the zip is the same bytes from the same commit, whenever and wherever it is made,
# and its mkvtype.exe is build/windows/mkvtype.exe. A run that fails says why on one line,
# exits non-zero, and writes nothing into the output folder. The zip's path is printed last.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

fail() {
  echo "release.sh: $*" >&2
  exit 1
}

usage_error() {
  echo "release.sh: $* (usage: scripts/release.sh [--cert CERT.pem --key KEY.pem |" \
    "--pkcs12 FILE.p12] [--url URL] [--timestamp TSA_URL] [--output DIR])" >&2
  exit 2
}

cert= key= pkcs12= url= timestamp= output=$root/dist
while [ $# -gt 0 ]; do
  case $1 in
    --cert | --key | --pkcs12 | --url | --timestamp | --output)
      [ $# -ge 2 ] || usage_error "$1 needs a value"
      case $1 in
        --cert) cert=$2 ;;
        --key) key=$2 ;;
        --pkcs12) pkcs12=$2 ;;
        --url) url=$2 ;;
        --timestamp) timestamp=$2 ;;
        --output) output=$2 ;;
      esac
      shift 2
      ;;
    *) usage_error "unknown option: $1" ;;
  esac
done

signing=no
if [ -n "$pkcs12" ]; then
  [ -z "$cert$key" ] || usage_error "--pkcs12 goes without --cert and --key"
  signing=yes
elif [ -n "$cert$key" ]; then
  [ -n "$cert" ] || usage_error "--key needs --cert"
  [ -n "$key" ] || usage_error "--cert needs --key"
  signing=yes
fi
if [ "$signing" = no ]; then
  [ -z "$timestamp" ] || usage_error "--timestamp needs a signature (--cert and --key, or --pkcs12)"
  [ -z "$url" ] || usage_error "--url goes into a signature (--cert and --key, or --pkcs12)"
else
  [ -n "$url" ] || usage_error "signing needs --url, the program's home page, for the signature"
fi

readable_file() {
  local what=$1 path=$2
  [ -e "$path" ] || fail "$what $path: no such file"
  [ -f "$path" ] || fail "$what $path: not a file"
  [ -r "$path" ] || fail "$what $path: not readable"
}

# The password reaches openssl through its environment (env:NAME), and osslsigncode through a
# pipe (printf is a shell builtin, so it shows on no command line). osslsigncode reads no
# password from an empty pipe, so an unprotected key is given none.
export MKVTYPE_SIGN_PASSWORD="${MKVTYPE_SIGN_PASSWORD-}"
sign() {
  if [ -z "$MKVTYPE_SIGN_PASSWORD" ]; then
    timeout 120 osslsigncode sign "$@"
  else
    timeout 120 osslsigncode sign -readpass <(printf '%s' "$MKVTYPE_SIGN_PASSWORD") "$@"
  fi
}

if [ -n "$cert" ]; then
  readable_file certificate "$cert"
  readable_file key "$key"
  certificate_key=$(openssl x509 -in "$cert" -noout -pubkey 2>/dev/null) ||
    fail "certificate $cert: not a PEM certificate"
  if ! private_key=$(openssl pkey -in "$key" -passin env:MKVTYPE_SIGN_PASSWORD -pubout 2>&1); then
    case $private_key in
      *"bad decrypt"* | *"maybe wrong password"*)
        fail "key $key: wrong password (MKVTYPE_SIGN_PASSWORD)" ;;
      *) fail "key $key: not a private key that openssl can read" ;;
    esac
  fi
  [ "$certificate_key" = "$private_key" ] ||
    fail "key $key does not belong to certificate $cert"
  sign_with=(-certs "$cert" -key "$key")
elif [ -n "$pkcs12" ]; then
  readable_file "PKCS#12 file" "$pkcs12"
  if ! checked=$(openssl pkcs12 -in "$pkcs12" -passin env:MKVTYPE_SIGN_PASSWORD -noout 2>&1); then
    case $checked in
      *"mac verify failure"* | *"invalid password"*)
        fail "PKCS#12 file $pkcs12: wrong password (MKVTYPE_SIGN_PASSWORD)" ;;
      *) fail "PKCS#12 file $pkcs12: not a PKCS#12 file that openssl can read" ;;
    esac
  fi
  # Both halves travel through pipes only: the private key is never written out.
  certificate_key=$(openssl pkcs12 -in "$pkcs12" -passin env:MKVTYPE_SIGN_PASSWORD -nokeys \
    -clcerts 2>/dev/null | openssl x509 -noout -pubkey 2>/dev/null) ||
    fail "PKCS#12 file $pkcs12: holds no certificate"
  private_key=$(openssl pkcs12 -in "$pkcs12" -passin env:MKVTYPE_SIGN_PASSWORD -nocerts \
    -nodes 2>/dev/null | openssl pkey -pubout 2>/dev/null) ||
    fail "PKCS#12 file $pkcs12: holds no private key"
  [ "$certificate_key" = "$private_key" ] ||
    fail "PKCS#12 file $pkcs12: its key does not belong to its certificate"
  sign_with=(-pkcs12 "$pkcs12")
fi

. "$root/scripts/release-layout.sh"
[ -n "$version" ] || fail "no version in CMakeLists.txt"

# Every file in the zip carries the time of the commit it was made from, so that the same
# commit gives the same bytes.
if [ -n "${SOURCE_DATE_EPOCH-}" ]; then
  epoch=$SOURCE_DATE_EPOCH
elif ! epoch=$(git -C "$root" log -1 --format=%ct 2>/dev/null); then
  fail "cannot tell the release's date: not a git checkout, and SOURCE_DATE_EPOCH is not set"
fi

stage=$(mktemp -d)
partial=
trap 'rm -rf "$stage" ${partial:+"$partial"}' EXIT
build_log=$stage/build.log
if ! (cd "$root" && cmake --preset windows && cmake --build --preset windows) >"$build_log" 2>&1
then
  cat "$build_log" >&2
  fail "building the windows preset failed (its output is above)"
fi

folder=$stage/$name
mkdir "$folder"
exe=$root/build/windows/mkvtype.exe
if [ "$signing" = yes ]; then
  signed_log=$stage/osslsigncode.log
  if ! sign "${sign_with[@]}" -h sha256 -n mkvtype -i "$url" ${timestamp:+-ts "$timestamp"} \
      -in "$exe" -out "$folder/mkvtype.exe" >"$signed_log" 2>&1; then
    if [ -n "$timestamp" ] && grep -qi 'timestamp' "$signed_log"; then
      fail "time-stamp authority $timestamp did not answer with a time stamp"
    fi
    fail "osslsigncode could not sign: $(grep -v '^[0-9A-F]*:error:' "$signed_log" | tail -n 1)"
  fi
else
  cp "$exe" "$folder/mkvtype.exe"
fi
(cd "$root" && cp "${release_files[@]}" "$folder/")
(cd "$folder" && LC_ALL=C sha256sum -- * >"$stage/SHA256SUMS" && mv "$stage/SHA256SUMS" .)

# Fixed modes, times and order, and no extra fields (-X): nothing of this machine or this
# moment gets into the zip.
chmod 0755 "$folder"
chmod 0644 "$folder"/*
touch -d "@$epoch" "$folder"/* "$folder"
entries=("$name/")
while IFS= read -r file; do entries+=("$name/$file"); done < <(cd "$folder" && LC_ALL=C ls)
(cd "$stage" && TZ=UTC zip -X -q "$zip_name" "${entries[@]}")

mkdir -p "$output"
output=$(cd "$output" && pwd)
partial=$output/.$zip_name.partial
cp "$stage/$zip_name" "$partial"
mv -f "$partial" "$output/$zip_name"
partial=
echo "$output/$zip_name"
